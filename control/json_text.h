// Texts as JSON values: the one form of bytes that are not UTF-8 in every JSON this project
// writes (the property bag's files, the linvo command's --json lines).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace linvo::control {

// A text that is valid UTF-8 as a JSON string; any other text as {"bytes": "<hex>"}, two
// upper-case hexadecimal digits per byte, so that every byte survives and the JSON is valid.
nlohmann::ordered_json TextToJson(std::string_view bytes);

// The bytes a JSON string or a {"bytes": "<hex>"} object (digits in either case, that one
// member only) stands for; nothing for any other value.
std::optional<std::string> TextFromJson(const nlohmann::ordered_json& value);

}  // namespace linvo::control

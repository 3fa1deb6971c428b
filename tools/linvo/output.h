// How the linvo command prints: lines of text for people, or one JSON object per line. Every
// text from outside the command (names, paths, values, messages) goes into the JSON through
// control::TextToJson, so a line is valid JSON whatever bytes it holds.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "control/json_text.h"
#include "linvo/linvo.hpp"

namespace linvo::cli {

using Json = nlohmann::ordered_json;
using control::TextToJson;

// A value of the control as JSON: a number, true/false, a text as control::TextToJson gives
// it (a string, or {"bytes": "<hex>"} when it is not UTF-8), or null (empty).
Json ValueJson(const Value& value);
// The JSON text of a value, in ASCII: "READY", 10, true, null.
std::string Show(const Json& value);

class Printer {
 public:
  explicit Printer(bool json) : m_json(json) {}
  // Prints the text line, or the object as one JSON line; flushed at once so that a reader of a
  // pipe sees each step as it happens.
  void Line(const std::string& text, const Json& object) const;

 private:
  bool m_json;
};

}  // namespace linvo::cli

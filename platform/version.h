// The library's version text, four comma-separated numbers ("1, 0, 0, 0"), as the module's
// version resource carries it.
#pragma once

#include <optional>
#include <string>

namespace linvo::platform {

// The ProductVersion of the module that holds this library: on Windows read from its version
// resource (translation 0x0411/0x04B0), elsewhere the build's version. Nothing when the
// resource or one of its queries is missing.
std::optional<std::string> ModuleVersionText();

}  // namespace linvo::platform

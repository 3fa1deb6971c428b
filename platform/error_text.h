// The system's text for an error number ("Permission denied"), safe from any thread.
#pragma once

#include <string>

namespace linvo::platform {

std::string ErrorText(int code);

}  // namespace linvo::platform

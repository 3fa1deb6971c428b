#include "platform/error_text.h"

#include <system_error>

namespace linvo::platform {

std::string ErrorText(int code) { return std::generic_category().message(code); }

}  // namespace linvo::platform

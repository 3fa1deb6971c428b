#include <cerrno>

#include "platform/error_text.h"

namespace linvo::platform {

std::string LastSystemErrorText() { return ErrorText(errno); }

}  // namespace linvo::platform

#include <cerrno>

#include "platform/error_text.h"

namespace linvo::platform {

std::string SystemErrorText(int code) { return ErrorText(code); }

std::string LastSystemErrorText() { return ErrorText(errno); }

}  // namespace linvo::platform

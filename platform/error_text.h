// The system's text for an error number ("Permission denied"), safe from any thread.
#pragma once

#include <string>

namespace linvo::platform {

std::string ErrorText(int code);

// The text of a system error that a line call reported (IoResult, WaitOutcome, LineResult in
// platform/serial.h): an errno value's on POSIX, a Win32 error code's on Windows.
std::string SystemErrorText(int code);

// The text of the calling thread's last system error (errno on POSIX, GetLastError on Windows),
// for a platform call that failed and returned only that it failed.
std::string LastSystemErrorText();

}  // namespace linvo::platform

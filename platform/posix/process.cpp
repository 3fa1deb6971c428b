#include "platform/process.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace linvo::platform {

int CurrentProcessId() { return static_cast<int>(getpid()); }

int CurrentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

}  // namespace linvo::platform

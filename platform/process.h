// Identities of the running process and thread, as trace lines show them.
#pragma once

namespace linvo::platform {

int CurrentProcessId();
int CurrentThreadId();  // the system's id of the calling thread (not a std::thread::id)

}  // namespace linvo::platform

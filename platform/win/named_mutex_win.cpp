// System-wide named mutex: the system's mutex object with that name.
#include <windows.h>

#include "platform/named_mutex.h"
#include "platform/win/win_error.h"

namespace linvo::platform {

NamedMutex::NamedMutex(const std::string& name) : m_name(name) {
  m_mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (m_mutex == nullptr) m_problem = Win32ErrorText(GetLastError()) + ": mutex " + name;
}

NamedMutex::~NamedMutex() {
  if (m_mutex != nullptr) CloseHandle(m_mutex);
}

void NamedMutex::lock() {
  // The system mutex belongs to a thread and is re-entrant for it; the in-process mutex keeps
  // two threads that share this object apart in the same way on every system.
  m_threads.lock();
  if (m_mutex == nullptr) return;
  // WAIT_ABANDONED: the holder ended without releasing; the mutex is now ours.
  WaitForSingleObject(m_mutex, INFINITE);
}

void NamedMutex::unlock() {
  if (m_mutex != nullptr) ReleaseMutex(m_mutex);
  m_threads.unlock();
}

}  // namespace linvo::platform

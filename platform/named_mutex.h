// A system-wide mutex identified by name, taken over when a holder dies.
//
// On Windows it is the system's named mutex (CreateMutex with the name; WAIT_ABANDONED hands an
// abandoned mutex to the next waiter). On POSIX it is realised as a lock file "<name>.lock" in the
// per-user temporary directory locked with flock() (the kernel drops the lock of a process that
// dies, which is the take-over of an abandoned mutex) plus an in-process mutex, because threads
// sharing one descriptor are not excluded by flock. The lock file is opened with O_NOFOLLOW and
// must be a regular file.
#pragma once

#include <mutex>
#include <string>

namespace linvo::platform {

class NamedMutex {
 public:
  explicit NamedMutex(const std::string& name);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits without time limit. When the lock file could not be created, the mutex still
  // serialises the threads of this process.
  void lock();
  void unlock();

  const std::string& Name() const { return m_name; }
  // False when the lock file could not be used: the mutex then excludes only this process's
  // threads, and Problem() says why.
#ifdef _WIN32
  bool IsSystemWide() const { return m_mutex != nullptr; }
#else
  bool IsSystemWide() const { return m_fd >= 0; }
#endif
  const std::string& Problem() const { return m_problem; }

 private:
  std::string m_name;
  std::string m_problem;
#ifdef _WIN32
  void* m_mutex = nullptr;  // the system mutex handle
#else
  int m_fd = -1;
#endif
  std::mutex m_threads;
};

}  // namespace linvo::platform

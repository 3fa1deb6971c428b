// A system-wide mutex identified by name, taken over when a holder dies.
//
// Realised as a lock file "<name>.lock" in the per-user temporary directory locked with flock()
// (the kernel drops the lock of a process that dies, which is the take-over of an abandoned
// mutex) plus an in-process mutex, because threads sharing one descriptor are not excluded by
// flock. The lock file is opened with O_NOFOLLOW.
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

 private:
  std::string m_name;
  int m_fd = -1;
  std::mutex m_threads;
};

}  // namespace linvo::platform

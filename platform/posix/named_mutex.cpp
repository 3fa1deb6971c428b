// System-wide named mutex: flock() on a per-user lock file plus an in-process mutex.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error_text.h"
#include "platform/paths.h"

namespace linvo::platform {

namespace {

// The name as a single, harmless file name component.
std::string SanitisedName(const std::string& name) {
  std::string safe = name;
  for (char& c : safe) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!allowed) c = '_';
  }
  // "." and ".." would name directories, not files.
  if (safe.find_first_not_of('.') == std::string::npos) safe.insert(0, "_");
  return safe;
}

}  // namespace

NamedMutex::NamedMutex(const std::string& name) : m_name(name) {
  const auto dir = TempDirectory();
  if (!dir) {
    m_problem = "No private temporary directory for the lock file of " + name;
    return;
  }
  const std::string path = *dir + SanitisedName(name) + ".lock";
  // O_NONBLOCK: a FIFO in the lock file's place cannot hang the open.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    m_fd = fd;
    return;
  }
  m_problem = (fd < 0 ? ErrorText(errno) : std::string("Not a regular file")) + ": " + path;
  if (fd >= 0) close(fd);
}

NamedMutex::~NamedMutex() {
  // The lock file stays: removing it would let a waiter that opened it lock a dead inode while
  // a newcomer locks a fresh one.
  if (m_fd >= 0) close(m_fd);
}

void NamedMutex::lock() {
  m_threads.lock();
  if (m_fd < 0) return;
  // Each object has its own open file description, so two objects of one name in the same
  // process exclude each other as two processes do. flock fails only on EINTR here (the
  // descriptor is valid and LOCK_EX blocks); any other failure leaves the in-process lock.
  while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void NamedMutex::unlock() {
  if (m_fd >= 0) flock(m_fd, LOCK_UN);
  m_threads.unlock();
}

}  // namespace linvo::platform

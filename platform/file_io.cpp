#include "platform/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace linvo::platform {
namespace {

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Writes all bytes; false with errno set on failure.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                         std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = Errno("cannot open", path);
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = Errno("cannot read", path);
      ok = false;
      break;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > maxBytes) {
      if (error) *error = path + ": larger than " + std::to_string(maxBytes) + " bytes";
      ok = false;
      break;
    }
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return text;
}

bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string* error) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    if (error) *error = Errno("cannot create a temporary file for", path);
    return false;
  }
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  int failure = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) ok = false, failure = errno;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false, failure = errno;
  if (!ok) {
    ::unlink(temp.c_str());
    errno = failure;
    if (error) *error = Errno("cannot write", path);
    return false;
  }
  return true;
}

}  // namespace linvo::platform

#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// Why a file of this kind is not read whole, or null for a regular file.
const char* NotRegular(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  return nullptr;
}

// Closes the descriptor when it goes.
class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                         std::string* error) {
  const auto fail = [error](std::string message) -> std::optional<std::string> {
    if (error) *error = std::move(message);
    return std::nullopt;
  };
  const auto tooLarge = [&] {
    return path + ": larger than " + std::to_string(maxBytes) + " bytes";
  };
  // The path is looked at before the open, so that a device is never opened (opening a serial
  // port changes its modem lines); the open does not block (a FIFO would wait for a writer),
  // and the descriptor is looked at again, as the path may have changed in between.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(Errno("cannot open", path));
  if (const char* why = NotRegular(st)) return fail(path + ": " + why);
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.Get() < 0) return fail(Errno("cannot open", path));
  if (::fstat(fd.Get(), &st) != 0) return fail(Errno("cannot read", path));
  if (const char* why = NotRegular(st)) return fail(path + ": " + why);
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) return fail(tooLarge());
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(Errno("cannot read", path));
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > maxBytes) return fail(tooLarge());  // it grew since fstat
  }
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

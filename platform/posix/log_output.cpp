#include "platform/log_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace linvo::platform {
namespace {

// Writes the whole text, retrying short writes and interruptions.
bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool AppendRecord(const std::string& path, std::string_view record) {
  const int fd =
      open(path.c_str(),
           O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return false;
  struct stat st {};
  const bool written = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && WriteAll(fd, record);
  close(fd);
  return written;
}

void WriteDebugOutput(std::string_view text) { WriteAll(STDERR_FILENO, text); }

}  // namespace linvo::platform

#include "portapi/enum_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

#include "portapi/table_lock.h"

namespace linvo::portapi {
namespace {

constexpr char kTtyClassDir[] = "/sys/class/tty";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// True when the tty is a serial-core port whose "type" attribute reads 0 (PORT_UNKNOWN): no
// UART answered at that slot. The 8250 driver registers such placeholders for every legacy
// ttyS slot (nr_uarts, 4 or 32 of them) whether hardware is there or not, and opening one fails,
// so they are not listed. Ports without a "type" attribute (USB adapters, ACM) are kept.
bool IsEmptyUartSlot(int dirFd, const std::string& name) {
  const int fd = openat(dirFd, (name + "/type").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[16];
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length <= 0) return false;
  text[length] = '\0';
  return std::strcmp(text, "0\n") == 0 || std::strcmp(text, "0") == 0;
}

// The device node of a sysfs tty name: the kernel writes a "/" of a device name as "!".
std::string DevicePath(std::string name) {
  for (char& c : name) {
    if (c == '!') c = '/';
  }
  return "/dev/" + name;
}

}  // namespace

int32_t EnumPorts(std::string* list, int16_t* count) {
  return EnumPorts(kTtyClassDir, list, count);
}

int32_t EnumPorts(const std::string& ttyClassDir, std::string* list, int16_t* count) {
  const std::lock_guard<std::mutex> tableLock(TableLock());
  if (list == nullptr || count == nullptr) return 0;
  *count = 0;
  const std::unique_ptr<DIR, DirCloser> dir(opendir(ttyClassDir.c_str()));
  if (!dir) return 0;
  const int dirFd = dirfd(dir.get());
  std::string ports;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return 0;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    // Serial devices are the ttys with a "device" link; virtual consoles, pseudo-terminals
    // and the like have none.
    struct stat deviceStat;
    if (fstatat(dirFd, (name + "/device").c_str(), &deviceStat, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (IsEmptyUartSlot(dirFd, name)) continue;
    // The count is 16 bits wide; a machine with more ports than that gets the first 32767.
    if (*count == std::numeric_limits<int16_t>::max()) break;
    if (*count > 0) ports += ',';
    ports += DevicePath(name);
    ++*count;
  }
  *list = std::move(ports);
  return 1;
}

}  // namespace linvo::portapi

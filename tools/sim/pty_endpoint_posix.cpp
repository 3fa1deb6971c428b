// The pseudo-terminal endpoint (POSIX): the master side, non-blocking, waited for in poll().
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "sim/endpoint.h"

namespace linvo::sim {
namespace {

// A pseudo-terminal has no modem lines and no line errors: the Endpoint defaults apply.
class PtyEndpoint final : public Endpoint {
 public:
  PtyEndpoint(int masterFd, std::unique_ptr<platform::PseudoTerminal> owned)
      : m_owned(std::move(owned)), m_fd(masterFd) {
    // Non-blocking, so that a full buffer is waited for in poll() where Wake() can end the wait.
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags >= 0) ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
  }

  bool Write(std::string_view bytes) override {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const ssize_t n = ::write(m_fd, p, left);
      if (n > 0) {
        p += n;
        left -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      // The host is not reading: wait for room or for a stop request.
      pollfd fds[2] = {{m_fd, POLLOUT, 0}, {WakeUp().Native(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
      if (fds[1].revents & POLLIN) return false;
      if (fds[0].revents & (POLLERR | POLLHUP) && !(fds[0].revents & POLLOUT)) return false;
    }
    return true;
  }

  std::size_t ReadAvailable(char* buffer, std::size_t size, bool* closed) override {
    *closed = false;
    for (;;) {
      const ssize_t n = ::read(m_fd, buffer, size);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;
      // EIO: no slave is open any more (the caller's PseudoTerminal normally keeps one open).
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) *closed = true;
      return 0;
    }
  }

  platform::NativeWaitHandle Fd() const override { return m_fd; }

 private:
  std::unique_ptr<platform::PseudoTerminal> m_owned;  // null when the caller owns the descriptor
  int m_fd;
};

}  // namespace

std::unique_ptr<Endpoint> MakePtyEndpoint(int masterFd) {
  return std::make_unique<PtyEndpoint>(masterFd, nullptr);
}

std::unique_ptr<Endpoint> MakePtyEndpoint(std::unique_ptr<platform::PseudoTerminal> pty) {
  const int masterFd = pty->MasterFd();
  return std::make_unique<PtyEndpoint>(masterFd, std::move(pty));
}

}  // namespace linvo::sim

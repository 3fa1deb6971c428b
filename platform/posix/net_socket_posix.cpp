// TCP sockets on POSIX: non-blocking connect and I/O, every wait in poll() beside the wake-up
// descriptor.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/deadline.h"
#include "platform/error_text.h"
#include "platform/net/net_socket.h"

namespace linvo::platform {
namespace {

// Keep-alive: first probe after this many idle seconds, then every kProbeInterval seconds, the
// connection given up after kProbes unanswered ones: a vanished server is noticed within about
// 10 s on a quiet line. Data sent and not acknowledged for kUserTimeoutMs ends it too.
constexpr int kIdleSeconds = 4;
constexpr int kProbeInterval = 2;
constexpr int kProbes = 3;
constexpr unsigned kUserTimeoutMs = 10'000;

class PosixSocket final : public NetSocket {
 public:
  explicit PosixSocket(int fd) : m_fd(fd) {}
  ~PosixSocket() override { close(m_fd); }
  PosixSocket(const PosixSocket&) = delete;
  PosixSocket& operator=(const PosixSocket&) = delete;

  IoResult Send(const uint8_t* data, std::size_t size) override {
    for (;;) {
      const ssize_t n = send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
      return {IoStatus::kWaitFailed, 0, errno};
    }
  }

  IoResult Receive(uint8_t* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = recv(m_fd, buffer, size, MSG_DONTWAIT);
      if (n > 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
      if (n == 0) return {IoStatus::kWaitFailed, 0, NetErrorCode(NetFailure::kClosed)};
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
      return {IoStatus::kWaitFailed, 0, errno};
    }
  }

  WaitOutcome Wait(bool read, bool write, const WakeEvent* wake, int timeoutMs) override {
    const short events = static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
    const Deadline deadline = Deadline::After(timeoutMs);
    for (;;) {
      pollfd fds[2] = {{m_fd, events, 0}, {wake != nullptr ? wake->Native() : -1, POLLIN, 0}};
      const int rc = poll(fds, 2, deadline.RemainingMs());
      if (rc < 0) {
        if (errno == EINTR) continue;
        return {WaitResult::kFailed, errno};
      }
      if (fds[1].revents & POLLIN) return WaitResult::kWoken;
      if (fds[1].revents & (POLLERR | POLLNVAL)) return {WaitResult::kFailed, EBADF};
      // A hang-up or an error: the next Receive or Send tells which.
      if (fds[0].revents != 0) return WaitResult::kReady;
      if (rc == 0) return WaitResult::kTimeout;
    }
  }

 private:
  const int m_fd;
};

void Tune(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kIdleSeconds, sizeof kIdleSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kProbeInterval, sizeof kProbeInterval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kProbes, sizeof kProbes);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

// One address: the connected descriptor, or -1 with *error set (the descriptor closed).
int ConnectOne(const addrinfo& address, const Deadline& deadline, const WakeEvent* wake,
               int* error) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address.ai_protocol);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  auto fail = [fd, error](int code) {
    close(fd);
    *error = code;
    return -1;
  };
  Tune(fd);
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) return fail(errno);
  for (;;) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wake != nullptr ? wake->Native() : -1, POLLIN, 0}};
    const int rc = poll(fds, 2, deadline.RemainingMs());
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return fail(errno);
    if (fds[1].revents != 0) return fail(EINTR);  // a stop request
    if (rc == 0) return fail(ETIMEDOUT);
    break;
  }
  int code = 0;
  socklen_t length = sizeof code;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0) return fail(errno);
  if (code != 0) return fail(code);
  return fd;
}

}  // namespace

int NetErrorCode(NetFailure failure) {
  switch (failure) {
    case NetFailure::kTimedOut:
      return ETIMEDOUT;
    case NetFailure::kClosed:
      return ECONNRESET;
    case NetFailure::kProtocol:
      return EPROTO;
    case NetFailure::kNoComPort:
      return ENOPROTOOPT;
    case NetFailure::kInvalid:
      return EINVAL;
  }
  return EINVAL;
}

ConnectResult ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                         const WakeEvent* wake) {
  const Deadline deadline = Deadline::After(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  // The name look-up has no time-out of its own; a numeric address needs none.
  const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (lookup != 0) {
    const int code = lookup == EAI_SYSTEM ? errno : lookup;
    return {nullptr, code, lookup == EAI_SYSTEM ? ErrorText(code) : gai_strerror(lookup)};
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, &freeaddrinfo);
  int error = EHOSTUNREACH;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ConnectOne(*a, deadline, wake, &error);
    if (fd >= 0) return {std::make_unique<PosixSocket>(fd), 0, {}};
    if (error == ETIMEDOUT || error == EINTR) break;  // no time left, or a stop request
  }
  return {nullptr, error, ErrorText(error)};
}

}  // namespace linvo::platform

#include "sim/endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace linvo::sim {

Endpoint::WaitStatus Endpoint::Wait(int timeoutMs, int extraFd) {
  pollfd fds[3] = {{Fd(), POLLIN, 0}, {WakeFd(), POLLIN, 0}, {extraFd, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, extraFd >= 0 ? 3 : 2, timeoutMs < 0 ? -1 : timeoutMs);
    if (n < 0 && errno == EINTR) continue;  // a signal; the caller re-computes its deadline
    if (n < 0) return WaitStatus::kClosed;
    if (n == 0) return WaitStatus::kTimeout;
    if ((fds[1].revents & POLLIN) || (fds[2].revents & POLLIN)) return WaitStatus::kWoken;
    if (fds[0].revents & POLLIN) return WaitStatus::kReadable;
    // POLLHUP/POLLERR without data: nothing will arrive any more (polling again would spin).
    return WaitStatus::kClosed;
  }
}

std::size_t Endpoint::Read(char* buffer, std::size_t size, int timeoutMs, WaitStatus* status) {
  WaitStatus s = Wait(timeoutMs);
  std::size_t n = 0;
  if (s == WaitStatus::kReadable) {
    bool closed = false;
    n = ReadAvailable(buffer, size, &closed);
    if (n == 0 && closed) s = WaitStatus::kClosed;
  }
  if (status != nullptr) *status = s;
  return n;
}

namespace {

class VirtualEndpoint final : public Endpoint {
 public:
  explicit VirtualEndpoint(std::shared_ptr<platform::VirtualPeer> peer) : m_peer(std::move(peer)) {}

  bool Write(std::string_view bytes) override {
    // The virtual line takes every byte at once.
    m_peer->Write(bytes);
    return true;
  }

  std::size_t ReadAvailable(char* buffer, std::size_t size, bool* closed) override {
    *closed = false;
    return m_peer->Read(reinterpret_cast<uint8_t*>(buffer), size);
  }

  int Fd() const override { return m_peer->Fd(); }

  bool SetModemLines(uint32_t msBits) override {
    m_peer->SetModemLines(msBits);
    return true;
  }
  std::optional<uint32_t> ModemLines() const override { return m_peer->ModemLines(); }
  std::optional<uint32_t> HostLines() const override { return m_peer->HostLines(); }
  bool InjectErrors(uint32_t ceBits) override {
    m_peer->InjectErrors(ceBits);
    return true;
  }

 private:
  std::shared_ptr<platform::VirtualPeer> m_peer;
};

// A pseudo-terminal has no modem lines and no line errors: the Endpoint defaults apply.
class PtyEndpoint final : public Endpoint {
 public:
  explicit PtyEndpoint(int masterFd) : m_fd(masterFd) {
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
      pollfd fds[2] = {{m_fd, POLLOUT, 0}, {WakeFd(), POLLIN, 0}};
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

  int Fd() const override { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

std::unique_ptr<Endpoint> MakeVirtualEndpoint(std::shared_ptr<platform::VirtualPeer> peer) {
  return std::make_unique<VirtualEndpoint>(std::move(peer));
}

std::unique_ptr<Endpoint> MakePtyEndpoint(int masterFd) {
  return std::make_unique<PtyEndpoint>(masterFd);
}

}  // namespace linvo::sim

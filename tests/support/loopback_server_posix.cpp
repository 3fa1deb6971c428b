#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "support/loopback_server.h"

namespace linvo::test {
namespace {

int Listener(uint16_t* port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int CountEntries(const char* dir) {
  int count = 0;
  if (DIR* d = opendir(dir)) {
    while (const dirent* entry = readdir(d)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(d);
  }
  return count;
}

}  // namespace

std::vector<uint8_t> ServerConnection::Receive(int timeoutMs) {
  if (m_closed) return {};
  pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop.Native(), POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0 || fds[1].revents != 0) return {};
  std::vector<uint8_t> bytes(65536);
  const ssize_t n = recv(m_fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) m_closed = true;
    return {};
  }
  bytes.resize(static_cast<std::size_t>(n));
  return bytes;
}

std::vector<uint8_t> ServerConnection::ReceiveAtLeast(std::size_t count, int timeoutMs) {
  std::vector<uint8_t> all;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (all.size() < count && !m_closed && !Stopping()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    const std::vector<uint8_t> got = Receive(static_cast<int>(left));
    all.insert(all.end(), got.begin(), got.end());
  }
  return all;
}

void ServerConnection::Send(const std::vector<uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size() && !m_closed) {
    const ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      m_closed = true;
      return;
    }
    sent += static_cast<std::size_t>(n);
  }
}

void ServerConnection::Close(bool reset) {
  if (m_closed) return;
  if (reset) {
    const linger hard{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  shutdown(m_fd, SHUT_RDWR);
  m_closed = true;
}

bool ServerConnection::Stopping() const {
  pollfd fd = {m_stop.Native(), POLLIN, 0};
  return poll(&fd, 1, 0) > 0;
}

LoopbackServer::LoopbackServer(Serve serve, bool accept) {
  m_listen = Listener(&m_port, accept ? 8 : 1);
  if (!accept) return;
  m_thread = std::thread([this, serve = std::move(serve)] {
    for (;;) {
      pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_stop.Native(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno == EINTR) continue;
      if (fds[1].revents != 0) return;
      const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++m_accepted;
      ServerConnection connection(fd, m_stop);
      serve(connection);
      close(fd);
    }
  });
}

LoopbackServer::~LoopbackServer() {
  m_stop.Signal();
  if (m_thread.joinable()) m_thread.join();
  close(m_listen);
}

std::string LoopbackServer::Url(const std::string& scheme, const std::string& options) const {
  return scheme + "://127.0.0.1:" + std::to_string(m_port) + (options.empty() ? "" : "?" + options);
}

uint16_t UnusedLoopbackPort() {
  uint16_t port = 0;
  close(Listener(&port, 1));
  return port;
}

int OpenDescriptorCount() { return CountEntries("/proc/self/fd"); }
int ThreadCount() { return CountEntries("/proc/self/task"); }

}  // namespace linvo::test

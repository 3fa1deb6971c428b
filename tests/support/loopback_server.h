// A TCP server on 127.0.0.1 that a test owns: it listens on a free port and serves one connection
// at a time with the test's function on a thread of its own; the destructor stops it, closing
// every descriptor it opened. For the network line's tests (a scripted RFC 2217 peer, a silent
// listener, a server that closes mid-frame).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/wake_event.h"

namespace linvo::test {

// The server side of one accepted connection, for the serving function.
class ServerConnection {
 public:
  ServerConnection(int fd, const platform::WakeEvent& stop) : m_fd(fd), m_stop(stop) {}

  // Waits up to timeoutMs for bytes and returns what came (empty at the time-out, at the end of
  // the connection or on a stop request; Closed() then tells the two first apart).
  std::vector<uint8_t> Receive(int timeoutMs);
  // Receives until `count` bytes came in all or timeoutMs passed.
  std::vector<uint8_t> ReceiveAtLeast(std::size_t count, int timeoutMs);
  void Send(const std::vector<uint8_t>& bytes);
  // Ends the connection at once (a reset when `reset`, else an orderly close).
  void Close(bool reset = false);
  bool Closed() const { return m_closed; }
  // True once the server is being stopped.
  bool Stopping() const;

 private:
  int m_fd;
  const platform::WakeEvent& m_stop;
  bool m_closed = false;
};

class LoopbackServer {
 public:
  using Serve = std::function<void(ServerConnection&)>;
  // Listens on 127.0.0.1 at a free port; with `accept`, serves each connection with `serve` in
  // turn, else leaves them in the listen queue unanswered (a silent listener).
  explicit LoopbackServer(Serve serve, bool accept = true);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t Port() const { return m_port; }
  std::string Url(const std::string& scheme, const std::string& options = "") const;
  // Connections accepted so far.
  int Accepted() const { return m_accepted; }

 private:
  int m_listen = -1;
  uint16_t m_port = 0;
  platform::WakeEvent m_stop;
  std::atomic<int> m_accepted{0};
  std::thread m_thread;
};

// A port on 127.0.0.1 where nothing listens (a connection is refused).
uint16_t UnusedLoopbackPort();

// Descriptors and threads of this process, for tests that a failure leaks neither.
int OpenDescriptorCount();
int ThreadCount();

}  // namespace linvo::test

// Private to the network line: the seam to the system's TCP sockets. One backend per system
// (platform/posix/net_socket_posix.cpp, platform/win/net_socket_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial.h"
#include "platform/wake_event.h"

namespace linvo::platform {

// Failures the network line names itself, as the system's error numbers (errno on POSIX, Winsock
// codes on Windows), so that their texts come from SystemErrorText like any other.
enum class NetFailure : uint8_t {
  kTimedOut,      // no answer within the time-out ("Connection timed out")
  kClosed,        // the server ended the connection ("Connection reset by peer")
  kProtocol,      // the server's stream is not what the protocol allows ("Protocol error")
  kNoComPort,     // the server refuses the COM port option ("Protocol not available")
  kInvalid,       // a request the line cannot carry ("Invalid argument")
};
int NetErrorCode(NetFailure failure);

// A connected TCP stream in non-blocking mode, closed with the object.
class NetSocket {
 public:
  virtual ~NetSocket() = default;

  // Sends what the system takes now: the byte count (0 when it takes none); on a failed connection
  // status kWaitFailed with the system's error.
  virtual IoResult Send(const uint8_t* data, std::size_t size) = 0;
  // Takes what has arrived, without waiting: the byte count (0: nothing yet); once the server
  // closed the connection, kWaitFailed with NetErrorCode(kClosed) or the system's error.
  virtual IoResult Receive(uint8_t* buffer, std::size_t size) = 0;
  // Blocks until the socket is readable (when `read`; a closed or failed connection counts) or
  // writable (when `write`), `wake` is signalled, or timeoutMs passes (negative: no limit).
  // kReady, kWoken, kTimeout, or kFailed with the system's error.
  virtual WaitOutcome Wait(bool read, bool write, const WakeEvent* wake, int timeoutMs) = 0;
};

struct ConnectResult {
  std::unique_ptr<NetSocket> socket;
  int error = 0;     // the system's error when socket is null
  std::string text;  // its text ("Connection refused", "Name or service not known")
};

// Connects to host:port (a name or a numeric address, every address the name has in turn) within
// timeoutMs; a signalled `wake` (may be null) ends the attempt. The socket has TCP_NODELAY (a
// request leaves at once) and keep-alive probes after a few idle seconds, so that a server that
// vanished is noticed on a quiet line too.
ConnectResult ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                         const WakeEvent* wake);

}  // namespace linvo::platform

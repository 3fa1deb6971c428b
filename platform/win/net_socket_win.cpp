// TCP sockets on Windows (Winsock): non-blocking connect and I/O; every wait is a
// WaitForMultipleObjects on the socket's network event (WSAEventSelect) and the wake-up event.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/deadline.h"
#include "platform/net/net_socket.h"
#include "platform/win/win_error.h"

namespace linvo::platform {
namespace {

// Keep-alive: first probe after 4 idle seconds, then every 2 s (Windows gives up after ten).
constexpr ULONG kIdleMs = 4000;
constexpr ULONG kProbeIntervalMs = 2000;

// Winsock is started once for the process and left running (the process's end stops it).
int StartWinsock() {
  static int result = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return result;
}

// Whether the socket is readable or writable now (select with no wait: a level, unlike the
// network events, which tell only of changes).
bool ReadyNow(SOCKET s, bool read, bool write) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (read) FD_SET(s, &readable);
  if (write) FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval none{0, 0};
  return select(0, &readable, &writable, &failed, &none) > 0;
}

class WinSocket final : public NetSocket {
 public:
  WinSocket(SOCKET s, HANDLE event) : m_socket(s), m_event(event) {}
  ~WinSocket() override {
    closesocket(m_socket);
    WSACloseEvent(m_event);
  }
  WinSocket(const WinSocket&) = delete;
  WinSocket& operator=(const WinSocket&) = delete;

  IoResult Send(const uint8_t* data, std::size_t size) override {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
    const int n = send(m_socket, reinterpret_cast<const char*>(data), chunk, 0);
    if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return {};
    return {IoStatus::kWaitFailed, 0, error};
  }

  IoResult Receive(uint8_t* buffer, std::size_t size) override {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
    const int n = recv(m_socket, reinterpret_cast<char*>(buffer), chunk, 0);
    if (n > 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::kWaitFailed, 0, NetErrorCode(NetFailure::kClosed)};
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return {};
    return {IoStatus::kWaitFailed, 0, error};
  }

  WaitOutcome Wait(bool read, bool write, const WakeEvent* wake, int timeoutMs) override {
    const Deadline deadline = Deadline::After(timeoutMs);
    const long interest = (read ? FD_READ | FD_CLOSE : 0) | (write ? FD_WRITE | FD_CLOSE : 0);
    for (;;) {
      if (ReadyNow(m_socket, read, write)) return WaitResult::kReady;
      // The event is set at once when the condition already holds, so nothing slips between the
      // look above and the wait below.
      if (WSAEventSelect(m_socket, m_event, interest) != 0) {
        return {WaitResult::kFailed, WSAGetLastError()};
      }
      HANDLE handles[2] = {m_event, wake != nullptr ? wake->Native() : nullptr};
      const DWORD count = wake != nullptr ? 2 : 1;
      const int left = deadline.RemainingMs();
      const DWORD rc =
          WaitForMultipleObjects(count, handles, FALSE, left < 0 ? INFINITE : static_cast<DWORD>(left));
      WSANETWORKEVENTS happened;
      WSAEnumNetworkEvents(m_socket, m_event, &happened);  // resets the event
      if (rc == WAIT_OBJECT_0 + 1) return WaitResult::kWoken;
      if (rc == WAIT_TIMEOUT) return WaitResult::kTimeout;
      if (rc != WAIT_OBJECT_0) return {WaitResult::kFailed, static_cast<int>(GetLastError())};
      if (happened.lNetworkEvents & FD_CLOSE) return WaitResult::kReady;  // Receive tells
    }
  }

 private:
  const SOCKET m_socket;
  const HANDLE m_event;
};

void Tune(SOCKET s) {
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive values{1, kIdleMs, kProbeIntervalMs};
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
}

// One address: the connected socket (non-blocking), or INVALID_SOCKET with *error set.
SOCKET ConnectOne(const addrinfo& address, HANDLE event, const Deadline& deadline,
                  const WakeEvent* wake, int* error) {
  const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return INVALID_SOCKET;
  }
  auto fail = [s, error](int code) {
    closesocket(s);
    *error = code;
    return INVALID_SOCKET;
  };
  Tune(s);
  // WSAEventSelect also makes the socket non-blocking.
  if (WSAEventSelect(s, event, FD_CONNECT) != 0) return fail(WSAGetLastError());
  if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return s;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return fail(WSAGetLastError());
  HANDLE handles[2] = {event, wake != nullptr ? wake->Native() : nullptr};
  const int left = deadline.RemainingMs();
  const DWORD rc = WaitForMultipleObjects(wake != nullptr ? 2 : 1, handles, FALSE,
                                          left < 0 ? INFINITE : static_cast<DWORD>(left));
  if (rc == WAIT_OBJECT_0 + 1) return fail(WSAEINTR);
  if (rc == WAIT_TIMEOUT) return fail(WSAETIMEDOUT);
  WSANETWORKEVENTS happened;
  if (WSAEnumNetworkEvents(s, event, &happened) != 0) return fail(WSAGetLastError());
  if (!(happened.lNetworkEvents & FD_CONNECT)) return fail(WSAETIMEDOUT);
  if (const int code = happened.iErrorCode[FD_CONNECT_BIT]; code != 0) return fail(code);
  return s;
}

}  // namespace

int NetErrorCode(NetFailure failure) {
  switch (failure) {
    case NetFailure::kTimedOut:
      return WSAETIMEDOUT;
    case NetFailure::kClosed:
      return WSAECONNRESET;
    case NetFailure::kProtocol:
      return ERROR_INVALID_DATA;
    case NetFailure::kNoComPort:
      return ERROR_NOT_SUPPORTED;
    case NetFailure::kInvalid:
      return ERROR_INVALID_PARAMETER;
  }
  return ERROR_INVALID_PARAMETER;
}

ConnectResult ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                         const WakeEvent* wake) {
  if (const int started = StartWinsock(); started != 0) {
    return {nullptr, started, Win32ErrorText(static_cast<uint32_t>(started))};
  }
  const Deadline deadline = Deadline::After(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
      lookup != 0) {
    return {nullptr, lookup, Win32ErrorText(static_cast<uint32_t>(lookup))};
  }
  const std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> addresses(found, &freeaddrinfo);
  int error = WSAEHOSTUNREACH;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const HANDLE event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
      error = WSAGetLastError();
      break;
    }
    const SOCKET s = ConnectOne(*a, event, deadline, wake, &error);
    if (s != INVALID_SOCKET) return {std::make_unique<WinSocket>(s, event), 0, {}};
    WSACloseEvent(event);
    if (error == WSAETIMEDOUT || error == WSAEINTR) break;
  }
  return {nullptr, error, Win32ErrorText(static_cast<uint32_t>(error))};
}

}  // namespace linvo::platform

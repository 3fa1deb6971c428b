// Addresses of network serial lines, as a [Ports] value names them:
//   rfc2217://host:port[?option&option...]   telnet with COM-PORT-OPTION (line settings, modem
//                                            lines, break, purge, flow suspend/resume)
//   socket://host:port[?timeout=S]           raw TCP: the bytes and nothing else
// host is a name, an IPv4 address or an IPv6 address in brackets ([::1]); port is 1..65535.
// Options (names as pyserial's URLs spell them, so that its URLs carry over):
//   timeout=S          seconds (decimals allowed, 0.001 .. 3600) for the connection and for each
//                      awaited answer of the server; default 3
//   ign_set_control    never wait for answers to SET-CONTROL (DTR, RTS, break, flow control);
//                      by default each kind is awaited until the server once leaves one
//                      unanswered
//   ign_modem_state    read the modem lines as CTS, DSR and carrier on, whatever the server
//                      reports: for servers in front of devices without modem lines
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace linvo::platform {

struct NetUrl {
  enum class Scheme : uint8_t { kRfc2217, kSocket };
  static constexpr int kDefaultTimeoutMs = 3000;

  Scheme scheme = Scheme::kRfc2217;
  std::string host;  // without the brackets of an IPv6 address
  uint16_t port = 0;
  int timeoutMs = kDefaultTimeoutMs;
  bool ignoreSetControl = false;
  bool ignoreModemState = false;
};

// True when the text starts with one of the schemes above (any case): such a [Ports] value names
// a network line, and a bad one is an error rather than a device path.
bool IsNetUrl(std::string_view text);

// The address, or nothing with *error saying what is wrong ("port 70000 is out of range").
std::optional<NetUrl> ParseNetUrl(std::string_view text, std::string* error);

// The URL in its plain form (scheme://host:port), for messages: options left out.
std::string NetUrlText(const NetUrl& url);

}  // namespace linvo::platform

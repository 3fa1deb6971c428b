#include "platform/net/net_url.h"

#include <cctype>
#include <charconv>

namespace linvo::platform {
namespace {

constexpr std::string_view kRfc2217 = "rfc2217://";
constexpr std::string_view kSocket = "socket://";
constexpr int kMaxTimeoutMs = 3'600'000;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Seconds with up to three decimals ("3", "0.25") as milliseconds, within 1 ms .. one hour.
std::optional<int> ParseSeconds(std::string_view text) {
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  if (!(AllDigits(whole) || (whole.empty() && !fraction.empty())) || fraction.size() > 3 ||
      (dot != std::string_view::npos && !AllDigits(fraction))) {
    return std::nullopt;
  }
  if (whole.size() > 4) return std::nullopt;  // past an hour whatever the digits
  int seconds = 0;
  if (!whole.empty()) std::from_chars(whole.data(), whole.data() + whole.size(), seconds);
  int ms = seconds * 1000;
  int scale = 100;
  for (const char c : fraction) {
    ms += (c - '0') * scale;
    scale /= 10;
  }
  if (ms < 1 || ms > kMaxTimeoutMs) return std::nullopt;
  return ms;
}

bool ParseOption(std::string_view option, NetUrl* url, std::string* error) {
  const std::size_t eq = option.find('=');
  const std::string_view name = option.substr(0, eq);
  const bool hasValue = eq != std::string_view::npos;
  const std::string_view value = hasValue ? option.substr(eq + 1) : std::string_view{};
  const bool rfc2217 = url->scheme == NetUrl::Scheme::kRfc2217;
  if (name == "timeout") {
    const auto ms = ParseSeconds(value);
    if (!ms) {
      *error = "timeout must be seconds from 0.001 to 3600: " + std::string(option);
      return false;
    }
    url->timeoutMs = *ms;
    return true;
  }
  if (rfc2217 && (name == "ign_set_control" || name == "ign_modem_state")) {
    if (hasValue) {
      *error = std::string(name) + " takes no value: " + std::string(option);
      return false;
    }
    (name == "ign_set_control" ? url->ignoreSetControl : url->ignoreModemState) = true;
    return true;
  }
  *error = "unknown option " + std::string(name) +
           (rfc2217 ? " (known: timeout, ign_set_control, ign_modem_state)" : " (known: timeout)");
  return false;
}

}  // namespace

bool IsNetUrl(std::string_view text) {
  return StartsWithNoCase(text, kRfc2217) || StartsWithNoCase(text, kSocket);
}

std::optional<NetUrl> ParseNetUrl(std::string_view text, std::string* error) {
  std::string unwanted;
  if (error == nullptr) error = &unwanted;
  NetUrl url;
  std::string_view rest;
  if (StartsWithNoCase(text, kRfc2217)) {
    rest = text.substr(kRfc2217.size());
  } else if (StartsWithNoCase(text, kSocket)) {
    url.scheme = NetUrl::Scheme::kSocket;
    rest = text.substr(kSocket.size());
  } else {
    *error = "not a network address (rfc2217://host:port or socket://host:port)";
    return std::nullopt;
  }
  const std::size_t query = rest.find('?');
  const std::string_view authority = rest.substr(0, query);
  std::string_view portText;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos || close + 1 >= authority.size() ||
        authority[close + 1] != ':') {
      *error = "an IPv6 address needs its brackets and a port: [::1]:4000";
      return std::nullopt;
    }
    url.host = std::string(authority.substr(1, close - 1));
    portText = authority.substr(close + 2);
  } else {
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos) {
      *error = "no port: host:port";
      return std::nullopt;
    }
    url.host = std::string(authority.substr(0, colon));
    portText = authority.substr(colon + 1);
  }
  if (url.host.empty()) {
    *error = "no host";
    return std::nullopt;
  }
  for (const char c : url.host) {
    // A host is a name or an address; none of these belong in one.
    if (std::isspace(static_cast<unsigned char>(c)) || c == '/' || c == '@' || c == '[' ||
        c == ']' || (c == ':' && authority[0] != '[') || c == '\0') {
      *error = "not a host name or address: " + url.host;
      return std::nullopt;
    }
  }
  unsigned port = 0;
  if (!AllDigits(portText) || portText.size() > 5 ||
      std::from_chars(portText.data(), portText.data() + portText.size(), port).ec != std::errc{} ||
      port < 1 || port > 65535) {
    *error = "port must be 1 to 65535: " + std::string(portText);
    return std::nullopt;
  }
  url.port = static_cast<uint16_t>(port);
  if (query != std::string_view::npos) {
    std::string_view options = rest.substr(query + 1);
    while (!options.empty()) {
      const std::size_t amp = options.find('&');
      const std::string_view option = options.substr(0, amp);
      if (!option.empty() && !ParseOption(option, &url, error)) return std::nullopt;
      if (amp == std::string_view::npos) break;
      options.remove_prefix(amp + 1);
    }
  }
  return url;
}

std::string NetUrlText(const NetUrl& url) {
  const bool v6 = url.host.find(':') != std::string::npos;
  return std::string(url.scheme == NetUrl::Scheme::kRfc2217 ? kRfc2217 : kSocket) +
         (v6 ? "[" + url.host + "]" : url.host) + ":" + std::to_string(url.port);
}

}  // namespace linvo::platform

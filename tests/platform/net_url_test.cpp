// Addresses of network lines as [Ports] values spell them.
#include <gtest/gtest.h>

#include <string>

#include "platform/net/net_url.h"

namespace linvo::platform {
namespace {

TEST(NetUrlTest, ParsesAddressesAndOptions) {
  using S = NetUrl::Scheme;
  struct Case {
    const char* text;
    S scheme;
    const char* host;
    uint16_t port;
    int timeoutMs;
    bool ignoreControl;
    bool ignoreModem;
  };
  const Case cases[] = {
      {"rfc2217://127.0.0.1:4000", S::kRfc2217, "127.0.0.1", 4000, 3000, false, false},
      {"RFC2217://box.local:1", S::kRfc2217, "box.local", 1, 3000, false, false},
      {"socket://[::1]:65535", S::kSocket, "::1", 65535, 3000, false, false},
      {"rfc2217://h:7?timeout=0.25", S::kRfc2217, "h", 7, 250, false, false},
      {"rfc2217://h:7?timeout=2&ign_set_control", S::kRfc2217, "h", 7, 2000, true, false},
      {"rfc2217://h:7?ign_modem_state&&timeout=.5", S::kRfc2217, "h", 7, 500, false, true},
      {"socket://h:7?timeout=3600", S::kSocket, "h", 7, 3600000, false, false},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto url = ParseNetUrl(c.text, &error);
    ASSERT_TRUE(url.has_value()) << c.text << ": " << error;
    EXPECT_TRUE(IsNetUrl(c.text));
    EXPECT_EQ(url->scheme, c.scheme) << c.text;
    EXPECT_EQ(url->host, c.host) << c.text;
    EXPECT_EQ(url->port, c.port) << c.text;
    EXPECT_EQ(url->timeoutMs, c.timeoutMs) << c.text;
    EXPECT_EQ(url->ignoreSetControl, c.ignoreControl) << c.text;
    EXPECT_EQ(url->ignoreModemState, c.ignoreModem) << c.text;
  }
  EXPECT_EQ(NetUrlText(*ParseNetUrl("socket://[::1]:9?timeout=1", nullptr)), "socket://[::1]:9");
}

TEST(NetUrlTest, RejectsBadAddressesWithAReason) {
  struct Case {
    const char* text;
    const char* says;
  };
  const Case cases[] = {
      {"rfc2217://host", "no port"},
      {"rfc2217://:4000", "no host"},
      {"rfc2217://host:0", "port must be 1 to 65535"},
      {"rfc2217://host:65536", "port must be 1 to 65535"},
      {"rfc2217://host:40x0", "port must be 1 to 65535"},
      {"rfc2217://host:", "port must be 1 to 65535"},
      {"rfc2217://::1:4000", "not a host name or address"},
      {"rfc2217://[::1]4000", "brackets"},
      {"rfc2217://user@host:4000", "not a host name or address"},
      {"rfc2217://host:4000/path", "port must be"},
      {"rfc2217://host:4000?timeout=0", "timeout must be seconds"},
      {"rfc2217://host:4000?timeout=3601", "timeout must be seconds"},
      {"rfc2217://host:4000?timeout=1.2345", "timeout must be seconds"},
      {"rfc2217://host:4000?timeout=-1", "timeout must be seconds"},
      {"rfc2217://host:4000?timeout", "timeout must be seconds"},
      {"rfc2217://host:4000?ign_set_control=1", "takes no value"},
      {"rfc2217://host:4000?logging=debug", "unknown option logging"},
      {"socket://host:4000?ign_set_control", "unknown option ign_set_control (known: timeout)"},
      {"/dev/ttyUSB0", "not a network address"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseNetUrl(c.text, &error).has_value()) << c.text;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
  }
  EXPECT_FALSE(IsNetUrl("/dev/ttyUSB0"));
  EXPECT_FALSE(IsNetUrl("rfc2217:/host:1"));
}

}  // namespace
}  // namespace linvo::platform

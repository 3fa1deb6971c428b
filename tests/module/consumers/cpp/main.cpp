// A C++ program built against an installed linvo through find_package(linvo CONFIG).
#include <cstdio>
#include <linvo/linvo.hpp>
#include <string>

int main() {
  try {
    linvo::Object control("{77A0F111-E375-4BD5-A72D-C8D24B8DA93A}");
    control.Put("SendData", 1234);
    const std::string sendData = std::get<std::string>(control.Get("SendData"));
    const int32_t cleared = std::get<int32_t>(control.Call("lvoComBufferClear", {3}));
    if (sendData != "1234" || cleared != 100) {
      std::fprintf(stderr, "cpp consumer: SendData '%s', lvoComBufferClear(3) %d\n",
                   sendData.c_str(), cleared);
      return 1;
    }
    try {
      control.Put("ACKTimer", std::string("abc"));
      std::fprintf(stderr, "cpp consumer: 'abc' was taken as a long\n");
      return 1;
    } catch (const linvo::Error& e) {
      if (e.code() != LVO_E_TYPEMISMATCH) throw;
    }
    std::printf("cpp consumer: SendData %s, lvoComBufferClear(3) %d\n", sendData.c_str(), cleared);
    return 0;
  } catch (const linvo::Error& e) {
    std::fprintf(stderr, "cpp consumer: %s (0x%08x)\n", e.what(), static_cast<unsigned>(e.code()));
    return 1;
  }
}

// The trace log's file name pattern: any pattern expands without reading a missing argument
// (the sanitizers and the bound below catch that), and its output is bounded: the pattern's own
// text plus one integer conversion of at most a few thousand characters.
#include <string_view>

#include "engine/settings.h"
#include "fuzz/harness.h"

using linvo::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int portNo = 1 + data[0];  // 1..256
  const std::string_view pattern(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string path = linvo::engine::ExpandLogPattern(pattern, portNo);
  Check(path.size() <= pattern.size() + 2048, "expanded name is not bounded");
  if (pattern.find('%') == std::string_view::npos) {
    Check(path == pattern, "a pattern without conversions changed");
  }
  return 0;
}

// The INI reader and writer on any file content: one key is written, after which it reads back
// as written and every other probed key reads as before.
//
// Input (FuzzedDataProvider): section, key and value (each a string ended by a backslash and
// another character), then the file's bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/harness.h"
#include "platform/profile.h"

using linvo::fuzz::Check;
using linvo::platform::ReadProfileString;
using linvo::platform::WriteProfileValue;

namespace {

constexpr std::string_view kBlanks = " \t\v\f\r";

std::string Trim(std::string s) {
  s.erase(0, s.find_first_not_of(kBlanks));
  const auto last = s.find_last_not_of(kBlanks);
  s.erase(last == std::string::npos ? 0 : last + 1);
  return s;
}

// Removes the characters a name or value cannot hold on its line, and the blanks around it.
std::string Clean(std::string s, std::string_view forbidden) {
  std::erase_if(s, [&](char c) { return c == '\0' || forbidden.find(c) != std::string::npos; });
  return Trim(std::move(s));
}

bool SameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const std::vector<std::pair<std::string, std::string>> kProbes = {{"Application", "Name"},
                                                                  {"Log", "Logging"},
                                                                  {"Log", "LogFileName"},
                                                                  {"Delay", "Delay"},
                                                                  {"TimeOut", "WriteFileTimeOut"},
                                                                  {"a", "a"},
                                                                  {"a", "b"},
                                                                  {"b", "a"},
                                                                  {"Ports", "COM3"}};

constexpr const char* kMissing = "\x01missing";

std::string Read(const std::string& section, const std::string& key, const std::string& file) {
  return ReadProfileString(section, key, kMissing, file, 4096);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string section = Clean(in.ConsumeRandomLengthString(32), "[]\r\n");
  const std::string key = Clean(in.ConsumeRandomLengthString(32), "[]=;\r\n");
  // Quotes of both kinds are left out: the reader strips a matching pair around a value, as the
  // profile functions do.
  const std::string value = Clean(in.ConsumeRandomLengthString(64), "\"'\r\n");
  const std::string content = in.ConsumeRemainingBytesAsString();
  if (section.empty() || key.empty()) return 0;

  const std::string file = linvo::fuzz::WorkDir() + "/fuzz.ini";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
  std::vector<std::string> before;
  for (const auto& [s, k] : kProbes) before.push_back(Read(s, k, file));

  if (!WriteProfileValue(section, key, value, file)) return 0;
  Check(Read(section, key, file) == value, "a written key does not read back");
  for (size_t i = 0; i < kProbes.size(); ++i) {
    const auto& [s, k] = kProbes[i];
    if (SameNoCase(s, section) && SameNoCase(k, key)) continue;
    Check(Read(s, k, file) == before[i], "writing a key changed another key");
  }
  return 0;
}

// The engine's reading of the settings file "Linvo.ini".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace linvo::engine {

inline constexpr const char* kDefaultLogPattern = ".\\Linvo%03d.log";

struct EngineSettings {
  std::string file;            // the settings file that was read
  int logMode = 0;             // 0..4
  std::string logPattern;      // as read, at most 255 characters
  std::string logPath;         // the pattern expanded for the port number
  int32_t delay = 0;           // ms before every write call, never negative
  int32_t writeFileTimeOut = 5000;  // ms, never negative
};

// The file the engine reads: ".\Linvo.ini" when it exists in the current directory, else
// "Linvo.ini" in the per-user temporary directory, else the bare name.
std::string EngineSettingsFile();

// Reads the settings for port number portNo (defaults and clamps applied).
EngineSettings LoadEngineSettings(int16_t portNo);

// Applies the log file name pattern to the port number the way printf would with the number as
// its only argument. Only the first integer conversion (d, i, u, x, X, o with any flags,
// width, precision and length modifier) receives the number; every other conversion — a second
// integer conversion, %s, %n, %p, a '*' width, floating point — is copied as plain text, so no
// pattern can make the formatting read an argument that is not there.
std::string ExpandLogPattern(std::string_view pattern, int portNo);

// The library version as four comma-separated numbers ("1, 0, 0, 0").
const char* LibraryVersion();

}  // namespace linvo::engine

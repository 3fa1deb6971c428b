// The engine's reading of the settings file "Linvo.ini".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace linvo::engine {

inline constexpr const char* kDefaultLogPattern = ".\\Linvo%03d.log";

// Upper bounds of the timing settings; larger values are taken as these. A write pauses for the
// delay before every write call and waits at most the write time-out in each call, both while
// the port's operation lock is held, so neither may be unbounded.
inline constexpr int32_t kMaxDelayMs = 10'000;
inline constexpr int32_t kMaxWriteFileTimeOutMs = 60'000;

struct EngineSettings {
  std::string file;                 // the settings file that was read
  std::string unused;               // why a settings file that is there was not read ("": none)
  int logMode = 0;                  // 0..4
  std::string logPattern;           // as read, at most 255 characters
  std::string logPath;              // the pattern expanded for the port number
  int32_t delay = 0;                // ms before every write call, 0..kMaxDelayMs
  int32_t writeFileTimeOut = 5000;  // ms, 0..kMaxWriteFileTimeOutMs
};

// The file the engine reads: ".\Linvo.ini" when the current directory has one the settings reads
// can use, else "Linvo.ini" in the per-user temporary directory, else the bare name. A file that
// is there but unusable (a symbolic link, a directory, a FIFO, unreadable, too large) is passed
// over, and `unused` says so: "Settings file ./Linvo.ini not used: it is a directory".
struct SettingsFileChoice {
  std::string file;
  std::string unused;
};
SettingsFileChoice ChooseEngineSettingsFile();
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

// The per-port trace log: one line per event, hex dumps of the bytes on the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/named_mutex.h"

namespace linvo::engine {

// Trace labels, eight characters each.
inline constexpr std::string_view kEnter = "Enter   ";
inline constexpr std::string_view kExit = "Exit    ";
inline constexpr std::string_view kInfo = "Info    ";
inline constexpr std::string_view kCSLock = "CSLock  ";
inline constexpr std::string_view kCSUnlock = "CSUnlock";
inline constexpr std::string_view kErrExit = "ErrExit ";
inline constexpr std::string_view kErrInfo = "ErrInfo ";

// Trace levels.
inline constexpr int kLevelInfo = 1;
inline constexpr int kLevelError = 2;

// Writes trace lines of one port to a file or to standard error, by mode:
//   0 nothing; 1 file, levels 1 and 2; 2 file, level 2; 3 stderr, levels 1 and 2; 4 stderr,
//   level 2.
// The file is opened, appended to and closed for every line, under a system-wide mutex named
// for the port number, so that several processes tracing one port share one file and their lines
// (and dumps) interleave whole.
class CTraceLog {
 public:
  CTraceLog(std::string path, int mode, int16_t portNo);
  // Closes the trace with one empty line when logging is on.
  ~CTraceLog();
  CTraceLog(const CTraceLog&) = delete;
  CTraceLog& operator=(const CTraceLog&) = delete;

  // Writes label + ": " + message. Returns 1 when something was written.
  int WriteTrace(int level, std::string_view message, std::string_view label, int indent = 0);
  int WriteLine(int level, std::string_view text, int indent = 0);
  // A hex dump of `length` bytes; a negative length writes the frame of the dump without rows.
  int WriteDump(int level, const uint8_t* data, int length);
  int WriteSeparator(int level);

  const std::string& Path() const { return m_path; }
  int Mode() const { return m_mode; }
  // Whether lines of the level are written.
  bool Writes(int level) const { return Accepts(level); }
  const std::string& MutexName() const { return m_mutex.Name(); }

  // The text of a dump, as written (exposed for tests and benchmarks).
  static std::string FormatDump(const uint8_t* data, int length);

 private:
  bool Accepts(int level) const;
  // One trace line with the time, process, thread and level fields.
  std::string Line(int level, std::string_view text, int indent) const;
  int Emit(std::string_view text);

  std::string m_path;
  int m_mode;
  char m_separator = ':';
  platform::NamedMutex m_mutex;
  std::atomic<bool> m_toldLockProblem{false};
};

}  // namespace linvo::engine

// Test helpers: a private working directory per test, settings files and trace readers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace linvo::test {

// Creates a fresh directory, makes it the current directory and the temporary directory
// (TMPDIR, with XDG_RUNTIME_DIR unset) for the life of the object, and restores both after.
class ScopedWorkDir {
 public:
  ScopedWorkDir();
  ~ScopedWorkDir();
  ScopedWorkDir(const ScopedWorkDir&) = delete;
  ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

  const std::string& Path() const { return m_path; }
  // The per-user temporary directory the library will use (with a trailing '/').
  std::string TempDir() const;

 private:
  std::string m_path;
  std::string m_oldCwd;
  std::string m_oldTmpdir;
  bool m_hadTmpdir = false;
  std::string m_oldXdg;
  bool m_hadXdg = false;
};

// Writes a whole file (replacing it).
void WriteFile(const std::string& path, const std::string& text);
// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// A trace line split into its fields.
struct TraceLine {
  long threadId = 0;  // the writer's thread id
  std::string tag;    // "Inf", "Err" or ""
  std::string label;  // eight characters, e.g. "Enter   "
  std::string text;   // what follows "label: "
};

// The trace lines of a log file, without dump blocks and empty lines. Lines that are not trace
// lines (dump rows) are skipped.
std::vector<TraceLine> ReadTrace(const std::string& path);
// "label|text" for each line, the form most tests compare against; with threadId, only the
// lines that thread wrote.
std::vector<std::string> TraceSequence(const std::string& path, long threadId = 0);
// The calling thread's id as trace lines show it.
long CurrentThreadId();

// A settings file with logging mode 1 into <dir>/trace<port>.log.
std::string LoggingIni(const std::string& dir, int mode = 1);

}  // namespace linvo::test

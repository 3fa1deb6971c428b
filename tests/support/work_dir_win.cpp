// ScopedWorkDir on Windows: a fresh directory under the system's temporary directory, TMP and
// TEMP (what GetTempPath reads) pointing at it.
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "support/test_env.h"

namespace linvo::test {
namespace {

std::string Variable(const char* name, bool* had) {
  char value[32768];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  *had = n > 0 && n < sizeof value;
  return *had ? std::string(value, n) : std::string();
}

}  // namespace

ScopedWorkDir::ScopedWorkDir() {
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path();
  for (unsigned attempt = 0;; ++attempt) {
    const fs::path candidate = base / ("linvo-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                       std::to_string(GetTickCount() + attempt));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      m_path = candidate.string();
      break;
    }
    if (attempt > 1000) throw std::runtime_error("cannot create a test directory");
  }
  m_oldCwd = fs::current_path().string();
  m_oldTmpdir = Variable("TMP", &m_hadTmpdir);
  m_oldXdg = Variable("TEMP", &m_hadXdg);
  SetEnvironmentVariableA("TMP", m_path.c_str());
  SetEnvironmentVariableA("TEMP", m_path.c_str());
  fs::current_path(m_path);
}

ScopedWorkDir::~ScopedWorkDir() {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::current_path(m_oldCwd, error);
  SetEnvironmentVariableA("TMP", m_hadTmpdir ? m_oldTmpdir.c_str() : nullptr);
  SetEnvironmentVariableA("TEMP", m_hadXdg ? m_oldXdg.c_str() : nullptr);
  fs::remove_all(m_path, error);
}

std::string ScopedWorkDir::TempDir() const { return m_path + "\\"; }

}  // namespace linvo::test

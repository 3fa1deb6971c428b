// ScopedWorkDir on POSIX: a mkdtemp directory, TMPDIR pointing at it.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

#include "support/test_env.h"

namespace linvo::test {

ScopedWorkDir::ScopedWorkDir() {
  char base[] = "/tmp/linvo-test-XXXXXX";
  char* made = ::mkdtemp(base);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = made;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) != nullptr) m_oldCwd = cwd;
  if (const char* t = ::getenv("TMPDIR")) m_hadTmpdir = true, m_oldTmpdir = t;
  if (const char* x = ::getenv("XDG_RUNTIME_DIR")) m_hadXdg = true, m_oldXdg = x;
  ::setenv("TMPDIR", m_path.c_str(), 1);
  ::unsetenv("XDG_RUNTIME_DIR");
  if (::chdir(m_path.c_str()) != 0) throw std::runtime_error("chdir failed");
}

ScopedWorkDir::~ScopedWorkDir() {
  if (!m_oldCwd.empty() && ::chdir(m_oldCwd.c_str()) != 0) {
  }
  if (m_hadTmpdir) {
    ::setenv("TMPDIR", m_oldTmpdir.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  if (m_hadXdg) ::setenv("XDG_RUNTIME_DIR", m_oldXdg.c_str(), 1);
  std::string cmd = "rm -rf '" + m_path + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

std::string ScopedWorkDir::TempDir() const {
  return m_path + "/linvo-" + std::to_string(::getuid()) + "/";
}

}  // namespace linvo::test

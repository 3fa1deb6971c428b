#include "fuzz/harness.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace linvo::fuzz {

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

const std::string& WorkDir() {
  // Kept for the process: the exit handler below still needs it after static destructors ran.
  static const std::string& dir = *new std::string([] {
    std::string pattern = (std::filesystem::temp_directory_path() / "linvo-fuzz-XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr, "cannot create the work directory");
    Check(chdir(pattern.c_str()) == 0, "cannot enter the work directory");
    setenv("TMPDIR", pattern.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(WorkDir(), ignored);
    });
    return pattern;
  }());
  return dir;
}

FuzzPort& FuzzPort::Get() {
  static FuzzPort* port = new FuzzPort();  // kept for the process: threads may still use it
  return *port;
}

FuzzPort::FuzzPort() {
  std::ofstream(WorkDir() + "/Linvo.ini") << "[Log]\nLogging=0\n";
  m_peer = platform::RegisterVirtualLine("COM7");
  m_port = std::make_unique<engine::CCommPort>(7);
  Check(m_port->OpenPort("fuzz", 9600, "8", "N", 8192, 8192, 0) == engine::kSuccess,
        "cannot open the virtual line");
}

void FuzzPort::Feed(const uint8_t* data, std::size_t size) {
  Check(m_port->ComBufferClear("fuzz") == engine::kSuccess, "input purge failed");
  m_peer->ReadAll();
  m_peer->Write(data, size);
}

bool Contains(const uint8_t* whole, std::size_t wholeSize, const uint8_t* part,
              std::size_t partSize) {
  return std::search(whole, whole + wholeSize, part, part + partSize) != whole + wholeSize;
}

}  // namespace linvo::fuzz

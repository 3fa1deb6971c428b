// Shared set-up of the end-to-end benchmarks.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace linvo::bench {

// A private directory that is the current directory (the engine reads Linvo.ini there) and
// TMPDIR for the life of the object; removed afterwards.
class WorkDir {
 public:
  WorkDir() {
    char base[] = "/tmp/linvo-bench-XXXXXX";
    if (::mkdtemp(base) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = base;
    m_oldCwd = std::filesystem::current_path();
    ::setenv("TMPDIR", m_path.c_str(), 1);
    ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::current_path(m_path);
  }
  ~WorkDir() {
    std::error_code ignored;
    std::filesystem::current_path(m_oldCwd, ignored);
    std::filesystem::remove_all(m_path, ignored);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  const std::string& Path() const { return m_path; }

  // Linvo.ini with the logging mode (trace files in this directory) and the [Ports] lines.
  void WriteSettings(int logMode, const std::string& portLines) const {
    std::ofstream(m_path + "/Linvo.ini")
        << "[Log]\nLogging=" << logMode << "\nLogFileName=" << m_path << "/Linvo%03d.log\n"
        << "[Ports]\n"
        << portLines;
  }

  // The [Ports] line mapping a port number to a device.
  static std::string PortLine(int port, const std::string& device) {
    return "COM" + std::to_string(port) + "=" + device + "\n";
  }

 private:
  std::string m_path;
  std::filesystem::path m_oldCwd;
};

// The value at the fraction (0.5 = median, 0.99 = p99) of the samples.
inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
  std::nth_element(values.begin(), values.begin() + index, values.end());
  return values[index];
}

}  // namespace linvo::bench

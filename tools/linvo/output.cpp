#include "output.h"

#include <fcntl.h>
#include <unistd.h>

namespace linvo::cli {

Json ValueJson(const Value& value) {
  switch (value.index()) {
    case 1:
      return std::get<int32_t>(value);
    case 2:
      return std::get<bool>(value);
    case 3:
      return control::TextToJson(std::get<std::string>(value));
    default:
      return nullptr;
  }
}

std::string Show(const Json& value) { return value.dump(-1, ' ', true); }

void Printer::Line(const std::string& text, const Json& object) const {
  const std::string line = m_json ? Show(object) : text;
  std::fwrite(line.data(), 1, line.size(), m_stream);
  std::fputc('\n', m_stream);
  std::fflush(m_stream);
}

FilePtr DivertStandardOutput() {
  std::fflush(stdout);
  const int copy = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return nullptr;
  FilePtr stream(::fdopen(copy, "w"));
  if (!stream) {
    ::close(copy);
    return nullptr;
  }
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return nullptr;
  return stream;
}

}  // namespace linvo::cli

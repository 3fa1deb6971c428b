#include "output.h"

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
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace linvo::cli

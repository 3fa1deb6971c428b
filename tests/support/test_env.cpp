#include "support/test_env.h"

#include <fstream>
#include <sstream>

#include "platform/process.h"

namespace linvo::test {

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<TraceLine> ReadTrace(const std::string& path) {
  std::vector<TraceLine> lines;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    // date(3 fields):time(3):ms:pid:tid:tag:label: text — nine fixed fields, then the tag.
    std::size_t pos = 0;
    std::size_t cut[10];
    int colons = 0;
    while (colons < 10 && (pos = line.find(':', pos)) != std::string::npos) cut[colons++] = pos++;
    if (colons < 10 || line.size() < cut[9] + 9) continue;
    TraceLine t;
    t.threadId = std::strtol(line.c_str() + cut[7] + 1, nullptr, 10);
    t.tag = line.substr(cut[8] + 1, cut[9] - cut[8] - 1);
    std::string rest = line.substr(cut[9] + 1);
    t.label = rest.substr(0, 8);
    t.text = rest.size() > 10 ? rest.substr(10) : "";
    lines.push_back(std::move(t));
  }
  return lines;
}

std::vector<std::string> TraceSequence(const std::string& path, long threadId) {
  std::vector<std::string> out;
  for (const TraceLine& t : ReadTrace(path)) {
    if (threadId == 0 || t.threadId == threadId) out.push_back(t.label + "|" + t.text);
  }
  return out;
}

long CurrentThreadId() { return platform::CurrentThreadId(); }

std::string LoggingIni(const std::string& dir, int mode) {
  return "[Log]\nLogging=" + std::to_string(mode) + "\nLogFileName=" + dir + "/trace%03d.log\n";
}

}  // namespace linvo::test

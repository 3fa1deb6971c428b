#include "engine/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/version.h"

namespace linvo::engine {

SettingsFileChoice ChooseEngineSettingsFile() {
  SettingsFileChoice choice;
  // Whether the file is one to read; a file that is there but unusable is noted and passed over.
  const auto usable = [&choice](const std::string& file) {
    std::string reason;
    const platform::ProfileFileState state = platform::ProbeProfileFile(file, &reason);
    if (state == platform::ProfileFileState::kUnusable) {
      choice.unused += (choice.unused.empty() ? "" : "; ") + std::string("Settings file ") + file +
                       " not used: it " + reason;
    }
    return state == platform::ProfileFileState::kReadable;
  };
  const std::string local = platform::NativePath(".\\Linvo.ini");
  if (usable(local)) {
    choice.file = local;
    return choice;
  }
  const std::optional<std::string> temp = platform::TempDirectory();
  if (!temp) {
    choice.file = "Linvo.ini";  // the current directory's, already looked at
    return choice;
  }
  choice.file = *temp + "Linvo.ini";
  usable(choice.file);
  return choice;
}

std::string EngineSettingsFile() { return ChooseEngineSettingsFile().file; }

EngineSettings LoadEngineSettings(int16_t portNo) {
  EngineSettings s;
  SettingsFileChoice choice = ChooseEngineSettingsFile();
  s.file = std::move(choice.file);
  s.unused = std::move(choice.unused);
  s.logMode = platform::ReadProfileInt("Log", "Logging", 0, s.file);
  if (s.logMode < 1 || s.logMode > 4) s.logMode = 0;
  s.logPattern = platform::ReadProfileString("Log", "LogFileName", kDefaultLogPattern, s.file, 256);
  s.delay = platform::ReadProfileInt("Delay", "Delay", 0, s.file);
  s.delay = std::clamp(s.delay, 0, kMaxDelayMs);
  s.writeFileTimeOut = platform::ReadProfileInt("TimeOut", "WriteFileTimeOut", 5000, s.file);
  if (s.writeFileTimeOut < 0) s.writeFileTimeOut = 5000;
  s.writeFileTimeOut = std::min(s.writeFileTimeOut, kMaxWriteFileTimeOutMs);
  s.logPath = ExpandLogPattern(s.logPattern, portNo);
  return s;
}

std::string ExpandLogPattern(std::string_view pattern, int portNo) {
  std::string out;
  bool numberUsed = false;
  std::size_t i = 0;
  while (i < pattern.size()) {
    char c = pattern[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    // Parse one conversion: flags, width, precision, length, conversion letter.
    std::size_t start = i++;
    std::string spec = "%";
    while (i < pattern.size() && std::strchr("-+ #0'", pattern[i])) spec.push_back(pattern[i++]);
    bool star = false;
    // A width or precision of more than three digits, or a '*', makes the conversion literal.
    auto digits = [&] {
      int count = 0;
      while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9') {
        if (++count > 3) star = true;
        spec.push_back(pattern[i++]);
      }
      if (i < pattern.size() && pattern[i] == '*') ++i, star = true;
    };
    digits();
    if (i < pattern.size() && pattern[i] == '.') {
      spec.push_back(pattern[i++]);
      digits();
    }
    while (i < pattern.size() && std::strchr("hlLqjzt", pattern[i])) ++i;  // length: dropped
    char conv = i < pattern.size() ? pattern[i++] : '\0';
    bool integer = conv != '\0' && std::strchr("diuxXo", conv) != nullptr;
    if (integer && !numberUsed && !star) {
      spec.push_back(conv);
      char text[2048];
      std::snprintf(text, sizeof text, spec.c_str(), portNo);
      out.append(text);
      numberUsed = true;
    } else {
      out.append(pattern.substr(start, i - start));
    }
  }
  return out;
}

const char* LibraryVersion() {
  // Read once: the resource of a loaded module does not change.
  static const std::string text = platform::ModuleVersionText().value_or("Failed");
  return text.c_str();
}

}  // namespace linvo::engine

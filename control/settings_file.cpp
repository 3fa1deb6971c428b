#include "control/settings_file.h"

#include <algorithm>
#include <vector>

#include "control/member_table.h"

namespace linvo::control {
namespace {

constexpr std::size_t kMaxSettingsText = 255;
constexpr const char* kLogFileName = "Linvo_%03d.log";

}  // namespace

std::optional<std::string> ControlSettingsFile() {
  std::optional<std::string> temp = platform::TempDirectory();
  if (!temp) return std::nullopt;
  return *temp + "Linvo.ini";
}

bool WriteDefaultSettingsFile(const std::string& file, const std::string& defaultLogPath) {
  if (!platform::WriteProfileValue("Application", "Name", kSettingsFileName, file)) return false;
  std::vector<const MemberInfo*> keys;
  for (const MemberInfo& m : DispatchMembers()) {
    if (m.settings != nullptr) keys.push_back(&m);
  }
  std::sort(keys.begin(), keys.end(), [](const MemberInfo* a, const MemberInfo* b) {
    return a->settings->fileOrder < b->settings->fileOrder;
  });
  for (const MemberInfo* m : keys) {
    const std::string value =
        m->textField != nullptr ? defaultLogPath : std::to_string(m->defaultLong);
    if (!platform::WriteProfileValue(m->settings->section, m->settings->key, value, file)) {
      return false;
    }
  }
  return true;
}

std::string DefaultLogPath() {
  const std::string fallback = std::string(".\\") + kLogFileName;
  const std::optional<std::string> desktop = platform::DesktopDirectory();
  if (!desktop) return fallback;
  std::string path;
  for (char c : *desktop) {
    path += c;
    if (c == '%') path += '%';
  }
  path += platform::kPathSeparator;
  path += kLogFileName;
  return SettingsTextFits(path) ? path : fallback;
}

bool SettingsTextFits(const std::string& text) {
  return text.size() <= kMaxSettingsText && text.find_first_of("\r\n") == std::string::npos;
}

}  // namespace linvo::control

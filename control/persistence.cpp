// CLinvoCtrl: the property exchange and the settings file's four properties.
#include "control/linvo_ctrl.h"
#include "control/settings_file.h"

namespace linvo::control {
namespace {

// Version 1.0 of the persisted data: major in the high word, minor in the low word.
constexpr int32_t kExchangeVersion = (1 << 16) | 0;
constexpr std::size_t kProfileBuffer = 256;

}  // namespace

void CLinvoCtrl::InitNew() { Exchange(nullptr, Direction::kDefaults); }

void CLinvoCtrl::Load(PropertyBag& bag) { Exchange(&bag, Direction::kLoad); }

void CLinvoCtrl::Save(PropertyBag& bag, bool clearModified) {
  Exchange(&bag, Direction::kSave);
  if (clearModified) m_modified = false;
}

void CLinvoCtrl::WriteProperties(PropertyBag& bag) const {
  bag.WriteLong("_Version", kExchangeVersion);
  for (const MemberInfo* m : ExchangeOrder()) {
    if (m->type == VarType::kText) {
      bag.WriteText(m->name, m_props.*m->textField);
    } else if (m->type == VarType::kBool) {
      bag.WriteBool(m->name, m_props.*m->longField);
    } else {
      bag.WriteLong(m->name, m_props.*m->longField);
    }
  }
}

// Exchanges every property under its name, in the exchange order, with its default; then no
// port counts as open for this control, and the settings file decides the four settings-file
// properties.
void CLinvoCtrl::Exchange(PropertyBag* bag, Direction direction) {
  if (direction == Direction::kSave) {
    WriteProperties(*bag);
  } else {
    for (const MemberInfo* m : ExchangeOrder()) {
      if (m->type == VarType::kText) {
        m_props.*m->textField = direction == Direction::kLoad
                                    ? bag->ReadText(m->name, m->defaultText)
                                    : std::string(m->defaultText);
      } else if (direction == Direction::kDefaults) {
        m_props.*m->longField = m->defaultLong;
      } else {
        m_props.*m->longField = m->type == VarType::kBool ? bag->ReadBool(m->name, m->defaultLong)
                                                          : bag->ReadLong(m->name, m->defaultLong);
      }
    }
  }
  m_portOpen.fill(false);
  m_defaultLogPath = DefaultLogPath();
  ReadSettingsFile();
}

// A file this control did not write (or none) is replaced by the default file and the four
// properties take the defaults; otherwise they take the file's values (a missing key or a text
// that is not a number reads as 0).
void CLinvoCtrl::ReadSettingsFile() {
  const std::optional<std::string> file = ControlSettingsFile();
  if (!file) return;
  const bool ours = platform::ReadProfileString("Application", "Name", "", *file, kProfileBuffer) ==
                    kSettingsFileName;
  for (const MemberInfo& m : DispatchMembers()) {
    if (m.settings == nullptr) continue;
    if (m.textField != nullptr) {
      m_props.*m.textField = ours
                                 ? platform::ReadProfileString(m.settings->section, m.settings->key,
                                                               "", *file, kProfileBuffer)
                                 : m_defaultLogPath;
    } else {
      m_props.*m.longField =
          ours ? platform::ReadProfileInt(m.settings->section, m.settings->key, 0, *file)
               : m.defaultLong;
    }
  }
  if (!ours) WriteDefaultSettingsFile(*file, m_defaultLogPath);
}

}  // namespace linvo::control

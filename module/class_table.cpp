#include "module/class_table.h"

#include <cctype>
#include <string>

#include "control/linvo_ctrl.h"
#include "platform/text.h"

namespace linvo::module {
namespace {

constexpr CategoryEntry kSafetyCategories[] = {
    {"{7DD95801-9882-11CF-9FA9-00AA006C42C4}", 0x409, "Controls that are safely scriptable"},
    {"{7DD95802-9882-11CF-9FA9-00AA006C42C4}", 0x409,
     "Controls safely initializable from persistent data"},
};

const TypeInformation kLinvoTypeInfo{
    "{4437D2F7-7F23-4975-A527-CFEBA0608D2A}",  // LINVOLib
    "{D5F45558-688C-4893-B57A-FE645A0096FE}",  // _DLinvo
    "{6BB9DAD9-9F83-4ECB-AA6D-9FCEB0C7DD2B}",  // _DLinvoEvents
    &control::TypeLibrary,
    &control::DispatchMembers,
    &control::EventMembers,
};

// OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
// OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE
constexpr uint32_t kControlMiscStatus = 0x20191;

std::unique_ptr<DispatchObject> CreateLinvoCtrl() {
  return std::make_unique<DispatchObject>(std::make_unique<control::CLinvoCtrl>());
}

constexpr const char* kPropertyPageClsid = "{ED855060-6847-4049-ADF2-DB863C54FC2B}";

const ClassEntry kClasses[] = {
    {"LINVO.LinvoCtrl.1", "{77A0F111-E375-4BD5-A72D-C8D24B8DA93A}", "Linvo Control", "Apartment",
     kControlMiscStatus, kSafetyCategories, &kLinvoTypeInfo, &CreateLinvoCtrl, "",
     kPropertyPageClsid},
    {"LINVO.LinvoPropPage.1", kPropertyPageClsid, "Linvo Property Page", "Apartment", 0, {},
     nullptr, nullptr, "the property page needs a window system", nullptr},
};

// A CLSID text without its braces (both or none).
std::string_view Unbraced(std::string_view text) {
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

}  // namespace

std::span<const ClassEntry> Classes() { return kClasses; }

Status FindClass(std::string_view name, const ClassEntry** entry) {
  for (const ClassEntry& c : kClasses) {
    if (platform::EqualsNoCase(name, c.progId) ||
        platform::EqualsNoCase(Unbraced(name), Unbraced(c.clsid))) {
      *entry = &c;
      return {};
    }
  }
  return Fail(LVO_E_CLASSNOTREG,
              "class not registered: no class has the ProgID or CLSID " + Quoted(name));
}

Status CreateObject(std::string_view name, std::unique_ptr<DispatchObject>* object) {
  const ClassEntry* entry = nullptr;
  if (Status s = FindClass(name, &entry); !s.ok()) return s;
  if (entry->create == nullptr) {
    return Fail(LVO_E_CLASSNOTAVAILABLE, std::string("class not available: ") + entry->progId +
                                             ": " + entry->unavailableReason);
  }
  *object = entry->create();
  return {};
}

}  // namespace linvo::module

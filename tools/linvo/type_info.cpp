#include "type_info.h"

#include <algorithm>

#include "linvo/linvo.hpp"
#include "platform/text.h"  // header-only: names compare as the library compares them

namespace linvo::cli {
namespace {

template <typename T>
const T* FindByName(const std::vector<T>& items, std::string_view name) {
  const auto found = std::find_if(items.begin(), items.end(),
                                  [&](const T& item) { return platform::EqualsNoCase(item.name, name); });
  return found == items.end() ? nullptr : &*found;
}

}  // namespace

const Member* TypeInfo::FindMember(std::string_view name) const {
  return FindByName(members, name);
}
const Event* TypeInfo::FindEvent(std::string_view name) const { return FindByName(events, name); }

TypeInfo LoadTypeInfo(const char* progId) {
  using detail::Check;
  TypeInfo info;
  lvo_library_info library{};
  Check(lvo_type_library(progId, &library));
  info.library = std::string(library.name) + " " + std::to_string(library.version_major) + "." +
                 std::to_string(library.version_minor);
  info.interface = library.dispatch_name;
  info.eventsInterface = library.events_name;
  int32_t count = 0;
  Check(lvo_member_count(progId, &count));
  for (int32_t i = 0; i < count; ++i) {
    lvo_member_info m{};
    Check(lvo_member(progId, i, &m));
    Member member{m.dispid, m.name, m.kind == LVO_KIND_METHOD, m.type, {}};
    for (int32_t p = 0; p < m.param_count; ++p) {
      lvo_param_info param{};
      Check(lvo_parameter(progId, i, p, &param));
      member.params.push_back({param.name, param.type});
    }
    info.members.push_back(std::move(member));
  }
  Check(lvo_event_count(progId, &count));
  for (int32_t i = 0; i < count; ++i) {
    lvo_event_info e{};
    Check(lvo_event(progId, i, &e));
    info.events.push_back({e.dispid, e.name, e.argument_name});
  }
  return info;
}

const char* TypeName(int32_t type) {
  switch (type) {
    case LVO_LONG:
      return "long";
    case LVO_BOOL:
      return "bool";
    case LVO_TEXT:
      return "str";
    default:
      return "void";
  }
}

std::string Signature(const Member& member) {
  if (!member.method) return member.name + ": " + TypeName(member.type);
  std::string text = member.name + "(";
  for (std::size_t i = 0; i < member.params.size(); ++i) {
    text += (i ? ", " : "") + member.params[i].name + ": " + TypeName(member.params[i].type);
  }
  return text + ") -> " + TypeName(member.type);
}

}  // namespace linvo::cli

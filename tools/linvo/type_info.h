// The control's type information as the linvo command uses it, read through the C interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace linvo::cli {

struct Param {
  std::string name;
  int32_t type;  // LVO_LONG, LVO_BOOL or LVO_TEXT
};

struct Member {
  int32_t dispid;
  std::string name;
  bool method;
  int32_t type;  // the property's type or the method's result type
  std::vector<Param> params;
};

struct Event {
  int32_t dispid;
  std::string name;
  std::string argument;
};

struct TypeInfo {
  std::string library;  // "LINVOLib 1.0"
  std::string interface;
  std::string eventsInterface;
  std::vector<Member> members;  // DISPID order
  std::vector<Event> events;

  // The member or event with this name, compared case-insensitively; null when none has it.
  const Member* FindMember(std::string_view name) const;
  const Event* FindEvent(std::string_view name) const;
};

// The type information of the class with this ProgID; throws linvo::Error when it has none.
TypeInfo LoadTypeInfo(const char* progId);

// "long", "bool", "str" or "void".
const char* TypeName(int32_t type);
// "PortNo: long", "lvoSendCommandRR(iRecMode: long, lBusyTimeOut: long) -> long".
std::string Signature(const Member& member);

}  // namespace linvo::cli

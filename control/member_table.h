// The control's members written once, as data: the dispatch interface (37 properties and 21
// methods with their DISPIDs, kinds, types and parameters), the event interface (five events),
// and the type library's self-description. The control's own routing, the property exchange,
// the module's dispatcher and type information, the C ABI's introspection and the generated
// member reference all read these tables; no other list of member names exists.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "control/control_properties.h"
#include "control/value.h"

namespace linvo::control {

class CLinvoCtrl;
class LinvoEvents;

enum class MemberKind : uint8_t { kProperty, kMethod };

struct ParamInfo {
  const char* name;
  VarType type;
};

// A property kept in the settings file "Linvo.ini" besides the persisted data: its section and
// key, its place in a newly written default file, and whether negative values are refused.
struct SettingsKey {
  const char* section;
  const char* key;
  uint8_t fileOrder;  // 1..4: position of the key in a default settings file
  bool nonNegative;
};

using LongField = int32_t ControlProperties::*;
using TextField = std::string ControlProperties::*;

// Routing: a property read or write, or a method call, on a control. Arguments and values
// already have the member's types (Get/Put/Invoke below check them).
using GetFunction = Value (*)(CLinvoCtrl&);
using PutFunction = void (*)(CLinvoCtrl&, const Value&);
using CallFunction = Value (*)(CLinvoCtrl&, std::span<const Value>);

struct MemberInfo {
  int32_t dispid;
  const char* name;
  MemberKind kind;
  VarType type;  // the property's type, or the method's result type
  std::array<ParamInfo, 3> params;
  uint8_t paramCount;

  // Properties: the field that backs it (a long/BOOL field or a text field), its default in the
  // property exchange, and its position in the exchange (1..37).
  LongField longField;
  TextField textField;
  int32_t defaultLong;
  const char* defaultText;
  uint8_t exchangeOrder;
  const SettingsKey* settings;  // the four settings-file properties; null otherwise

  // Property get with side effects (null: the field is read as it is), property put, and
  // method call.
  GetFunction get;
  PutFunction put;
  CallFunction call;

  const char* help;  // one line of meaning

  std::span<const ParamInfo> Params() const { return {params.data(), paramCount}; }
};

struct EventInfo {
  int32_t dispid;
  const char* name;
  const char* argumentName;               // each event has one long argument
  void (LinvoEvents::*handler)(int32_t);  // its function in the C++ sink
  const char* help;                       // one line of meaning
};

// The type library, its two interfaces and the class. Help texts are UTF-8.
struct TypeLibraryInfo {
  const char* libraryName;
  uint16_t versionMajor;
  uint16_t versionMinor;
  uint32_t lcid;
  const char* libraryHelp;
  const char* dispatchName;
  const char* dispatchHelp;
  const char* eventsName;
  const char* eventsHelp;
  const char* className;
  const char* classHelp;
};

// DISPIDs 1..58 in order (DISPID n is element n - 1).
std::span<const MemberInfo> DispatchMembers();
// DISPIDs 1..5 in order.
std::span<const EventInfo> EventMembers();
const TypeLibraryInfo& TypeLibrary();

// The member with this DISPID, or null.
const MemberInfo* FindMember(int32_t dispid);
// The member with this name (compared case-insensitively, as dispatch names are), or null.
const MemberInfo* FindMember(std::string_view name);
const EventInfo* FindEvent(int32_t dispid);
// The property backed by the field; the field must back one.
const MemberInfo& MemberOf(LongField field);
const MemberInfo& MemberOf(TextField field);

// The properties in the order of the property exchange.
std::span<const MemberInfo* const> ExchangeOrder();

// Routing through the table. Each returns nullopt / false when the member is not of the right
// kind, or an argument or value is not of the member's type, or the argument count differs.
std::optional<Value> GetProperty(CLinvoCtrl& control, const MemberInfo& member);
bool PutProperty(CLinvoCtrl& control, const MemberInfo& member, const Value& value);
std::optional<Value> Invoke(CLinvoCtrl& control, const MemberInfo& member,
                            std::span<const Value> arguments);

}  // namespace linvo::control

// Values for the persisted properties that differ from their defaults, and the property of a
// control a bag restores: for the persistence tests of every bag.
#pragma once

#include <cstdint>
#include <string>

#include "control/linvo_ctrl.h"
#include "control/member_table.h"
#include "control/property_bag.h"
#include "control/value.h"

namespace linvo::control {

// A value of the property's type unlike its default (and valid for its field).
inline Value Distinct(const MemberInfo& m) {
  switch (m.type) {
    case VarType::kText:
      return std::string("t") + std::to_string(m.dispid) + "\x82\xa0";  // not UTF-8 on purpose
    case VarType::kBool:
      return m.defaultLong == FALSE;
    default:
      return m.defaultLong + 1000 + m.dispid;
  }
}

inline Value FieldOf(const CLinvoCtrl& c, const MemberInfo& m) {
  const ControlProperties& p = c.Properties();
  if (m.type == VarType::kText) return p.*m.textField;
  if (m.type == VarType::kBool) return p.*m.longField != FALSE;
  return p.*m.longField;
}

inline void Write(PropertyBag& bag, const MemberInfo& m, const Value& v) {
  if (m.type == VarType::kText) bag.WriteText(m.name, std::get<std::string>(v));
  if (m.type == VarType::kBool) bag.WriteBool(m.name, std::get<bool>(v));
  if (m.type == VarType::kLong) bag.WriteLong(m.name, std::get<int32_t>(v));
}

}  // namespace linvo::control

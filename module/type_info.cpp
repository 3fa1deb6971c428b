#include "module/type_info.h"

#include "linvo/linvo.h"

namespace linvo::module {

int32_t WireType(control::VarType type) {
  switch (type) {
    case control::VarType::kLong:
      return LVO_LONG;
    case control::VarType::kBool:
      return LVO_BOOL;
    case control::VarType::kText:
      return LVO_TEXT;
    case control::VarType::kVoid:
      break;
  }
  return LVO_EMPTY;
}

int32_t WireKind(const control::MemberInfo& member) {
  return member.kind == control::MemberKind::kProperty ? LVO_KIND_PROPERTY : LVO_KIND_METHOD;
}

int32_t InvokeFlags(const control::MemberInfo& member) {
  return member.kind == control::MemberKind::kProperty ? LVO_PROPERTYGET | LVO_PROPERTYPUT
                                                       : LVO_METHOD;
}

}  // namespace linvo::module

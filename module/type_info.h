// The control's member table as hosts see it: the interface types and invoke flags of
// linvo/linvo.h.
#pragma once

#include <cstdint>

#include "control/member_table.h"

namespace linvo::module {

// LVO_EMPTY, LVO_LONG, LVO_BOOL or LVO_TEXT.
int32_t WireType(control::VarType type);
// LVO_KIND_PROPERTY or LVO_KIND_METHOD.
int32_t WireKind(const control::MemberInfo& member);
// What the member answers: LVO_PROPERTYGET | LVO_PROPERTYPUT for a property, LVO_METHOD for a
// method.
int32_t InvokeFlags(const control::MemberInfo& member);

}  // namespace linvo::module

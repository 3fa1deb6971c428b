// Where a host keeps a control's persisted properties.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/value.h"

namespace linvo::control {

// Named values of the three persisted kinds. A read of a name the bag does not hold, or holds
// with a value of another kind or out of range, gives the default.
class PropertyBag {
 public:
  virtual ~PropertyBag() = default;

  virtual int32_t ReadLong(std::string_view name, int32_t defaultValue) = 0;
  virtual BOOL ReadBool(std::string_view name, BOOL defaultValue) = 0;
  virtual std::string ReadText(std::string_view name, std::string_view defaultValue) = 0;

  virtual void WriteLong(std::string_view name, int32_t value) = 0;
  virtual void WriteBool(std::string_view name, BOOL value) = 0;
  virtual void WriteText(std::string_view name, std::string_view value) = 0;
};

}  // namespace linvo::control

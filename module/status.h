// The outcome of a module call: LVO_OK, or an error code of linvo/linvo.h with a text that says
// what failed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "linvo/linvo.h"

namespace linvo::module {

struct Status {
  int32_t code = LVO_OK;
  std::string message;

  bool ok() const { return code == LVO_OK; }
};

inline Status Fail(int32_t code, std::string message) { return {code, std::move(message)}; }

}  // namespace linvo::module

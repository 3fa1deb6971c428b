// Port numbers: COM1 to COM256, one port object each.
#pragma once

#include <cstdint>

namespace linvo::engine {

inline constexpr int kMaxPortNo = 256;

inline constexpr bool ValidPortNo(int64_t portNo) { return portNo >= 1 && portNo <= kMaxPortNo; }

}  // namespace linvo::engine

// Who calls a port operation: the name its trace lines show, and the part the operation plays in
// the caller's trace bracket.
#pragma once

#include <cstdint>

namespace linvo::engine {

// A control method that chains two operations traces them as one bracket: the first opens it
// ("Enter   ", "CSLock  ") and leaves it open when it succeeds, the second closes it
// ("Return Value is", "CSUnlock", "Exit    "). A failure always closes the bracket.
enum class Bracket : uint8_t {
  kWhole,      // opening and closing lines (a single operation)
  kOpens,      // opening lines; on success no closing lines
  kContinues,  // neither (a middle operation of a chain)
  kCloses,     // closing lines only
};

struct Caller {
  // Implicit from a name, so that a single operation reads Op("lvoSendCommand", ...).
  Caller(const char* callerName,
         Bracket role = Bracket::kWhole)  // NOLINT(google-explicit-constructor)
      : name(callerName != nullptr ? callerName : ""), bracket(role) {}

  bool Opens() const { return bracket == Bracket::kWhole || bracket == Bracket::kOpens; }
  bool Closes() const { return bracket == Bracket::kWhole || bracket == Bracket::kCloses; }

  const char* name;
  Bracket bracket;
};

}  // namespace linvo::engine

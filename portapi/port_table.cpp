#include "portapi/port_table.h"

#include <exception>
#include <mutex>
#include <new>

#include "portapi/table_lock.h"

namespace linvo::portapi {

CPortTable::~CPortTable() {
  for (int n = 1; n <= kMaxPortNo; ++n) m_slots[n].reset();
}

engine::CCommPort* CPortTable::Find(int32_t portNo) {
  std::lock_guard<std::mutex> hold(TableLock());
  int16_t n = static_cast<int16_t>(portNo);
  return n >= 1 && n <= kMaxPortNo ? m_slots[n].get() : nullptr;
}

engine::CCommPort* CPortTable::Slot(int32_t portNo, bool valid, engine::Result* result) {
  std::lock_guard<std::mutex> hold(TableLock());
  const int16_t n = static_cast<int16_t>(portNo);
  if (!valid || n < 1 || n > kMaxPortNo) {
    *result = engine::kParameterError;
    return nullptr;
  }
  if (!m_slots[n]) {
    // Storage or descriptors exhausted while creating the object (no wake-up descriptor, no
    // message queue): the slot stays empty and the call is not forwarded.
    try {
      m_slots[n] = std::make_unique<engine::CCommPort>(n);
    } catch (const std::exception&) {
      *result = engine::kStateError;
      return nullptr;
    }
  }
  return m_slots[n].get();
}

CPortTable& PortTable() {
  static CPortTable table;
  return table;
}

// Constructs the table when the library is loaded.
[[maybe_unused]] static CPortTable& g_loadTable = PortTable();

namespace {

using engine::CCommPort;

// Calls the operation, converting each entry argument to the type the operation declares: the
// one place where 32-bit entry arguments become the 16-bit values some operations read.
template <typename R, typename... Params, typename... Args>
R Invoke(CCommPort& port, R (CCommPort::*operation)(engine::Caller, Params...),
         engine::Caller caller, Args... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "the table and the operation disagree");
  return (port.*operation)(caller, static_cast<Params>(args)...);
}

template <typename First, typename... Rest>
First FirstOf(First first, Rest...) {
  return first;
}

// The entry-function frame of every entry function: the rule's own step, the port-number check
// and on-demand creation under the table lock, then the operation outside it. Nothing escapes:
// an operation that fails with an exception is traced with the reason and answers 30.
template <EntryRule rule, typename R, typename Operation, typename... Args>
R Forward(int32_t portNo, Operation operation, engine::Caller caller, Args... args) noexcept {
  if constexpr (rule == EntryRule::kClearStatus) {
    if (auto* status = FirstOf(args...); status != nullptr) *status = 0;
  }
  bool valid = true;
  if constexpr (rule == EntryRule::kCheckSelector) {
    const int32_t selector = FirstOf(args...);
    valid = selector >= 1 && selector <= 3;
  }
  engine::Result refused = engine::kSuccess;
  CCommPort* port = PortTable().Slot(portNo, valid, &refused);
  if (port == nullptr) return refused;
  if constexpr (rule == EntryRule::kCheckRecMode) {
    const int16_t mode = static_cast<int16_t>(FirstOf(args...));
    if (mode != 0 && mode != 1) return engine::kParameterError;
  }
  try {
    if constexpr (rule == EntryRule::kForwardPortNo) {
      return Invoke(*port, operation, caller, portNo, args...);
    } else {
      return Invoke(*port, operation, caller, args...);
    }
  } catch (const std::exception& e) {
    port->TraceAbort(e.what());
  } catch (...) {
    port->TraceAbort("unknown exception");
  }
  return engine::kStateError;
}

}  // namespace

#define LINVO_DEFINE_ENTRY(Name, Result, Rule, ...)                                        \
  Result Name(engine::Caller caller, int32_t portNo LINVO_ENTRY_PARAMETERS(__VA_ARGS__)) { \
    return Forward<EntryRule::Rule, Result>(portNo, &CCommPort::Name,                      \
                                            caller LINVO_ENTRY_NAMES(__VA_ARGS__));        \
  }
LINVO_ENTRY_FUNCTIONS(LINVO_DEFINE_ENTRY)
#undef LINVO_DEFINE_ENTRY

}  // namespace linvo::portapi

namespace linvo::portapi {

engine::Result GetLastErrorText(int32_t portNo, std::string* text) {
  const int16_t n = static_cast<int16_t>(portNo);
  if (text == nullptr || n < 1 || n > kMaxPortNo) return engine::kParameterError;
  engine::CCommPort* port = PortTable().Find(n);
  *text = port != nullptr ? port->LastErrorText() : std::string();
  return engine::kSuccess;
}

}  // namespace linvo::portapi

// The process-wide port table (private to the port API and the library's own tools and tests).
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "engine/comm_port.h"
#include "portapi/entry_functions.h"

namespace linvo::portapi {

// Maps port numbers 1..256 to their port objects. A slot changes once, from empty to a new
// object, and is never cleared while the library is loaded, so a pointer read under the table
// lock stays valid afterwards. The objects are deleted, in ascending order, when the library is
// unloaded.
class CPortTable {
 public:
  CPortTable() = default;
  ~CPortTable();
  CPortTable(const CPortTable&) = delete;
  CPortTable& operator=(const CPortTable&) = delete;

  // The entry-function frame's lookup: only the low 16 bits of portNo count. Outside 1..256, or
  // when `valid` is false, *result is 100 and nothing is created. Otherwise the port object,
  // created under the table lock on first use; null with *result 30 when it cannot be created
  // (the slot stays empty).
  engine::CCommPort* Slot(int32_t portNo, bool valid, engine::Result* result);

  // The object of a port number, or null when none was created yet.
  engine::CCommPort* Find(int32_t portNo);

 private:
  std::array<std::unique_ptr<engine::CCommPort>, kMaxPortNo + 1> m_slots;
};

// The one table of the process.
CPortTable& PortTable();

}  // namespace linvo::portapi

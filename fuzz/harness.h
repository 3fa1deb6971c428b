// Shared pieces of the fuzz targets: a private work directory, a port object opened on a virtual
// line whose far end plays the fuzzer's bytes, and a check that aborts with a message (so that
// libFuzzer keeps the input as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/comm_port.h"
#include "platform/serial.h"

namespace linvo::fuzz {

// Aborts with "what" when the property does not hold.
void Check(bool holds, const char* what);

// Creates a private directory, makes it the current and the temporary directory (TMPDIR, with
// XDG_RUNTIME_DIR unset) and removes it when the process exits. Returns its path.
const std::string& WorkDir();

// Port 7 opened on a virtual line, with logging off, created on first use and kept for the
// process, so that an input costs only its own exchange.
class FuzzPort {
 public:
  static FuzzPort& Get();

  engine::CCommPort& Port() { return *m_port; }
  platform::VirtualPeer& Peer() { return *m_peer; }
  // Empties both directions of the line (what earlier inputs left), then the peer sends the
  // bytes to the host.
  void Feed(const uint8_t* data, std::size_t size);

 private:
  FuzzPort();
  std::shared_ptr<platform::VirtualPeer> m_peer;
  std::unique_ptr<engine::CCommPort> m_port;
};

// Whether `part` occurs as a contiguous run in `whole`.
bool Contains(const uint8_t* whole, std::size_t wholeSize, const uint8_t* part,
              std::size_t partSize);

}  // namespace linvo::fuzz

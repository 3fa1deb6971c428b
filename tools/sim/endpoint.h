// The device side of a line as the simulator sees it: bytes to the host, bytes from the host, and
// a wake-up descriptor that interrupts every wait, so the simulator's loop blocks in poll() on
// the line and on the wake-up descriptor together and never spins. A line that has modem lines
// (the virtual line) also lets the device set the lines the host reads, inject line errors and
// read the lines the host drives; a pseudo-terminal has none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/serial.h"
#include "platform/wake_event.h"

namespace linvo::sim {

class Endpoint {
 public:
  enum class WaitStatus {
    kReadable,  // bytes from the host are waiting
    kWoken,     // Wake() was called
    kTimeout,   // the time limit passed
    kClosed,    // the line is gone; nothing more will arrive
  };

  virtual ~Endpoint() = default;

  // Sends all bytes to the host. Blocks only while the line cannot take them (a full
  // pseudo-terminal buffer); returns false when the line failed or Wake() interrupted the write.
  virtual bool Write(std::string_view bytes) = 0;
  // Takes what the host has sent, at most `size` bytes, without waiting. Sets *closed when the
  // line is gone.
  virtual std::size_t ReadAvailable(char* buffer, std::size_t size, bool* closed) = 0;
  // Readable while bytes from the host are waiting.
  virtual int Fd() const = 0;

  // Modem lines and line errors; the defaults are those of a line without them (false or
  // nothing). msBits are platform MS_* bits, ceBits CE_* bits, HostLines platform kHost* bits.
  virtual bool SetModemLines(uint32_t /*msBits*/) { return false; }
  virtual std::optional<uint32_t> ModemLines() const { return std::nullopt; }
  virtual std::optional<uint32_t> HostLines() const { return std::nullopt; }
  virtual bool InjectErrors(uint32_t /*ceBits*/) { return false; }

  // Blocks in poll() until bytes arrive, Wake() is called, extraFd (may be -1) becomes readable
  // (reported as kWoken), or timeoutMs passes (negative: no limit).
  WaitStatus Wait(int timeoutMs, int extraFd = -1);
  // Waits as Wait() and then reads what is there. Returns the byte count; *status (may be null)
  // tells why nothing was read.
  std::size_t Read(char* buffer, std::size_t size, int timeoutMs, WaitStatus* status = nullptr);

  // Interrupts Wait() and a blocked Write() from any thread; stays signalled until ClearWake().
  void Wake() { m_wake.Signal(); }
  void ClearWake() { m_wake.Clear(); }
  int WakeFd() const { return m_wake.Native(); }

 private:
  platform::WakeEvent m_wake;
};

// The device end of a virtual null-modem line (platform::RegisterVirtualLine).
std::unique_ptr<Endpoint> MakeVirtualEndpoint(std::shared_ptr<platform::VirtualPeer> peer);

// The master side of a pseudo-terminal. The descriptor stays owned by the caller (for example a
// platform::PseudoTerminal that outlives the endpoint); it is switched to non-blocking mode.
std::unique_ptr<Endpoint> MakePtyEndpoint(int masterFd);

}  // namespace linvo::sim

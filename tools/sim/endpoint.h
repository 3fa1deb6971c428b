// The device side of a line as the simulator sees it: bytes to the host, bytes from the host, and
// a wake-up event that interrupts every wait, so the simulator's loop blocks in the kernel on the
// line's wait handle and on the wake-up event together and never spins. A line that has modem
// lines (the virtual line) also lets the device set the lines the host reads, inject line errors
// and read the lines the host drives; a pseudo-terminal and a serial line served here have none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
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
  // Ready (platform::WaitAnyHandle) while bytes from the host are waiting or the line is gone.
  virtual platform::NativeWaitHandle Fd() const = 0;

  // Modem lines and line errors; the defaults are those of a line without them (false or
  // nothing). msBits are platform MS_* bits, ceBits CE_* bits, HostLines platform kHost* bits.
  virtual bool SetModemLines(uint32_t /*msBits*/) { return false; }
  virtual std::optional<uint32_t> ModemLines() const { return std::nullopt; }
  virtual std::optional<uint32_t> HostLines() const { return std::nullopt; }
  virtual bool InjectErrors(uint32_t /*ceBits*/) { return false; }

  // Blocks until bytes arrive, Wake() is called, `extra` (may be kNoWaitHandle) becomes ready
  // (reported as kWoken), or timeoutMs passes (negative: no limit).
  WaitStatus Wait(int timeoutMs, platform::NativeWaitHandle extra = platform::kNoWaitHandle);
  // Waits as Wait() and then reads what is there. Returns the byte count; *status (may be null)
  // tells why nothing was read.
  std::size_t Read(char* buffer, std::size_t size, int timeoutMs, WaitStatus* status = nullptr);

  // Interrupts Wait() and a blocked Write() from any thread; stays signalled until ClearWake().
  void Wake() { m_wake.Signal(); }
  void ClearWake() { m_wake.Clear(); }

 protected:
  const platform::WakeEvent& WakeUp() const { return m_wake; }

 private:
  platform::WakeEvent m_wake;
};

// The device end of a virtual null-modem line (platform::RegisterVirtualLine).
std::unique_ptr<Endpoint> MakeVirtualEndpoint(std::shared_ptr<platform::VirtualPeer> peer);

// A serial line served by the device: the line's own reader hands bytes to the loop, writes go to
// the line in slices so that Wake() ends a stalled one. The line's settings are left as they are.
std::unique_ptr<Endpoint> MakeSerialEndpoint(std::unique_ptr<platform::SerialLine> line);

// The line settings of a served serial line; the defaults are the control's (9600 8E1).
struct LineSettings {
  uint32_t baudRate = 9600;
  uint8_t byteSize = 8;
  uint8_t parity = platform::kEvenParity;
};
// Opens the device (platform::OpenSerialDevice: "/dev/ttyUSB0", "COM6"), applies the settings
// with one stop bit and no flow control, raises DTR and RTS (the host's DSR and CTS through a
// null-modem cable), and serves it. Null with *error saying why on failure.
std::unique_ptr<Endpoint> OpenSerialEndpoint(const std::string& device,
                                             const LineSettings& settings, std::string* error);

// POSIX only (pty_endpoint_posix.cpp): the master side of a pseudo-terminal, switched to
// non-blocking mode. The descriptor stays owned by the caller (for example a
// platform::PseudoTerminal that outlives the endpoint), or by the endpoint in the second form.
std::unique_ptr<Endpoint> MakePtyEndpoint(int masterFd);
std::unique_ptr<Endpoint> MakePtyEndpoint(std::unique_ptr<platform::PseudoTerminal> pty);

}  // namespace linvo::sim

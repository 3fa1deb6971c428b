// The serial-line endpoint: a line opened through the platform's serial API, on every system.
//
// A serial line has no handle that a wait on several objects could include, so a reader thread
// waits on the line (and on its own stop event) and hands what it reads to the loop through a
// buffer and an event that is signalled while the buffer holds bytes or the line is gone.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/error_text.h"
#include "sim/endpoint.h"

namespace linvo::sim {
namespace {

// The longest a write blocks before it looks at the wake-up event again.
constexpr uint32_t kWriteSliceMs = 200;
constexpr uint32_t kNoIntervalLimit = 0xFFFFFFFF;  // MAXDWORD: reads return at once

class SerialEndpoint final : public Endpoint {
 public:
  explicit SerialEndpoint(std::unique_ptr<platform::SerialLine> line) : m_line(std::move(line)) {
    platform::CommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = kNoIntervalLimit;
    timeouts.WriteTotalTimeoutConstant = kWriteSliceMs;
    m_line->SetTimeouts(timeouts);
    m_reader = std::thread([this] { ReadLoop(); });
  }

  ~SerialEndpoint() override {
    m_stopReader.Signal();
    m_reader.join();
  }

  bool Write(std::string_view bytes) override {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    std::size_t left = bytes.size();
    while (left > 0) {
      if (WakeUp().Wait(0)) return false;
      const platform::IoResult written = m_line->Write(p, left);
      if (written.status != platform::IoStatus::kOk) return false;
      // Fewer bytes (none included) when the slice ran out while the line held them back.
      p += written.bytes;
      left -= written.bytes;
    }
    return true;
  }

  std::size_t ReadAvailable(char* buffer, std::size_t size, bool* closed) override {
    std::lock_guard lock(m_mutex);
    const std::size_t n = std::min(size, m_received.size());
    m_received.copy(buffer, n);
    m_received.erase(0, n);
    *closed = n == 0 && m_closed;
    // Ready stays on while the line is gone, so that the loop learns it.
    if (m_received.empty() && !m_closed) m_ready.Clear();
    return n;
  }

  platform::NativeWaitHandle Fd() const override { return m_ready.Native(); }

 private:
  void ReadLoop() {
    uint8_t buffer[4096];
    for (;;) {
      const platform::WaitResult waited = m_line->WaitReadable(-1, &m_stopReader);
      if (waited == platform::WaitResult::kWoken) return;
      platform::IoResult got{};
      if (waited == platform::WaitResult::kReady) got = m_line->ReadQueued(buffer, sizeof buffer);
      std::lock_guard lock(m_mutex);
      if (waited == platform::WaitResult::kFailed || got.status != platform::IoStatus::kOk) {
        m_closed = true;
        m_ready.Signal();
        return;
      }
      if (got.bytes > 0) {
        m_received.append(reinterpret_cast<const char*>(buffer), got.bytes);
        m_ready.Signal();
      }
    }
  }

  std::unique_ptr<platform::SerialLine> m_line;
  platform::WakeEvent m_stopReader;
  platform::WakeEvent m_ready;  // signalled while m_received holds bytes or m_closed is set
  std::mutex m_mutex;           // m_received, m_closed
  std::string m_received;
  bool m_closed = false;
  std::thread m_reader;  // last: starts when everything it uses exists
};

}  // namespace

std::unique_ptr<Endpoint> MakeSerialEndpoint(std::unique_ptr<platform::SerialLine> line) {
  return std::make_unique<SerialEndpoint>(std::move(line));
}

std::unique_ptr<Endpoint> OpenSerialEndpoint(const std::string& device,
                                             const LineSettings& settings, std::string* error) {
  platform::OpenResult opened = platform::OpenSerialDevice(device);
  if (!opened) {
    *error = opened.error.message;
    return nullptr;
  }
  platform::DeviceControlBlock dcb;
  if (!opened.line->GetState(&dcb)) {
    *error = "cannot read the line settings of " + device + ": " + platform::LastSystemErrorText();
    return nullptr;
  }
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;
  dcb.fParity = settings.parity != platform::kNoParity;
  dcb.StopBits = platform::kOneStopBit;
  dcb.fBinary = true;
  dcb.fOutxCtsFlow = false;
  dcb.fOutxDsrFlow = false;
  dcb.fOutX = false;
  dcb.fInX = false;
  dcb.fDtrControl = platform::kDtrControlEnable;
  dcb.fRtsControl = platform::kRtsControlEnable;
  if (!opened.line->SetState(dcb)) {
    *error = "cannot apply the line settings to " + device + ": " + platform::LastSystemErrorText();
    return nullptr;
  }
  return MakeSerialEndpoint(std::move(opened.line));
}

}  // namespace linvo::sim

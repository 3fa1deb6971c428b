#include "sim/endpoint.h"

#include <utility>

namespace linvo::sim {

Endpoint::WaitStatus Endpoint::Wait(int timeoutMs, platform::NativeWaitHandle extra) {
  // The wake-ups first: a stop request is seen even while the host keeps sending.
  switch (platform::WaitAnyHandle({m_wake.Native(), extra, Fd()}, timeoutMs)) {
    case 0:
    case 1:
      return WaitStatus::kWoken;
    case 2:
      // Bytes, or a line that is gone: the read tells which.
      return WaitStatus::kReadable;
    case platform::kWaitTimedOut:
      return WaitStatus::kTimeout;
    default:
      return WaitStatus::kClosed;
  }
}

std::size_t Endpoint::Read(char* buffer, std::size_t size, int timeoutMs, WaitStatus* status) {
  WaitStatus s = Wait(timeoutMs);
  std::size_t n = 0;
  if (s == WaitStatus::kReadable) {
    bool closed = false;
    n = ReadAvailable(buffer, size, &closed);
    if (n == 0 && closed) s = WaitStatus::kClosed;
  }
  if (status != nullptr) *status = s;
  return n;
}

namespace {

class VirtualEndpoint final : public Endpoint {
 public:
  explicit VirtualEndpoint(std::shared_ptr<platform::VirtualPeer> peer) : m_peer(std::move(peer)) {}

  bool Write(std::string_view bytes) override {
    // The virtual line takes every byte at once.
    m_peer->Write(bytes);
    return true;
  }

  std::size_t ReadAvailable(char* buffer, std::size_t size, bool* closed) override {
    *closed = false;
    return m_peer->Read(reinterpret_cast<uint8_t*>(buffer), size);
  }

  platform::NativeWaitHandle Fd() const override { return m_peer->Fd(); }

  bool SetModemLines(uint32_t msBits) override {
    m_peer->SetModemLines(msBits);
    return true;
  }
  std::optional<uint32_t> ModemLines() const override { return m_peer->ModemLines(); }
  std::optional<uint32_t> HostLines() const override { return m_peer->HostLines(); }
  bool InjectErrors(uint32_t ceBits) override {
    m_peer->InjectErrors(ceBits);
    return true;
  }

 private:
  std::shared_ptr<platform::VirtualPeer> m_peer;
};

}  // namespace

std::unique_ptr<Endpoint> MakeVirtualEndpoint(std::shared_ptr<platform::VirtualPeer> peer) {
  return std::make_unique<VirtualEndpoint>(std::move(peer));
}

}  // namespace linvo::sim

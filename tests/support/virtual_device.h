// A scripted device on the far end of a virtual line, for protocol tests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"

namespace linvo::test {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values);
Bytes B(const std::string& text);
Bytes operator+(Bytes a, const Bytes& b);
// STX text ETX BCC, with the BCC XORed with `spoil` (non-zero gives a wrong BCC).
Bytes Frame(const std::string& text, uint8_t spoil = 0);
// SYN STX data (0x16 doubled) SYN ETX BCC, the BCC XORed with `spoil`.
Bytes BinaryFrame(const Bytes& data, uint8_t spoil = 0);
std::string Hex(const Bytes& bytes);

// Splits what the host sends into messages — a single ACK or NAK, EOT ENQ, a frame up to the
// byte after its ETX, or other bytes ended by a quiet gap — and answers each with the bytes the
// script returns for it (nothing for an empty reply). Every message is kept for assertions.
class VirtualDevice {
 public:
  using Script = std::function<Bytes(const Bytes& message, int index)>;
  // kBinary splits SYN-escaped frames and two-byte SYN messages instead of text messages.
  enum class Framing { kText, kBinary };

  VirtualDevice(std::shared_ptr<platform::VirtualPeer> peer, Script script,
                Framing framing = Framing::kText);
  ~VirtualDevice();

  // The host's messages so far.
  std::vector<Bytes> Messages();
  // Waits until at least n messages came (or 2 s passed).
  bool WaitMessages(std::size_t n);

 private:
  void Run();

  std::shared_ptr<platform::VirtualPeer> m_peer;
  Script m_script;
  Framing m_framing;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Bytes> m_messages;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace linvo::test

#include "support/virtual_device.h"

#include <cstdio>

namespace linvo::test {

Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Frame(const std::string& text, uint8_t spoil) {
  Bytes out{0x02};
  uint8_t bcc = 0x03;
  for (char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    bcc ^= static_cast<uint8_t>(c);
  }
  out.push_back(0x03);
  out.push_back(bcc ^ spoil);
  return out;
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char cell[4];
  for (uint8_t b : bytes) {
    std::snprintf(cell, sizeof cell, out.empty() ? "%02X" : " %02X", b);
    out += cell;
  }
  return out;
}

Bytes BinaryFrame(const Bytes& data, uint8_t spoil) {
  Bytes out{0x16, 0x02};
  uint8_t check = 0x03;
  for (uint8_t b : data) {
    if (b == 0x16) out.push_back(0x16);
    out.push_back(b);
    check ^= b;
  }
  out.insert(out.end(), {0x16, 0x03, static_cast<uint8_t>(check ^ spoil)});
  return out;
}

VirtualDevice::VirtualDevice(std::shared_ptr<platform::VirtualPeer> peer, Script script,
                             Framing framing)
    : m_peer(std::move(peer)),
      m_script(std::move(script)),
      m_framing(framing),
      m_thread([this] { Run(); }) {}

VirtualDevice::~VirtualDevice() {
  m_stop = true;
  m_thread.join();
}

std::vector<Bytes> VirtualDevice::Messages() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_messages;
}

bool VirtualDevice::WaitMessages(std::size_t n) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_changed.wait_for(hold, std::chrono::seconds(2), [&] { return m_messages.size() >= n; });
}

void VirtualDevice::Run() {
  Bytes pending;
  bool inFrame = false;
  auto complete = [&] {
    Bytes message;
    message.swap(pending);
    inFrame = false;
    int index;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_messages.push_back(message);
      index = static_cast<int>(m_messages.size()) - 1;
    }
    m_changed.notify_all();
    Bytes reply = m_script(message, index);
    if (!reply.empty()) m_peer->Write(reply);
  };
  while (!m_stop) {
    // Bytes that are not a known message end at a quiet gap of 5 ms.
    if (!m_peer->WaitReadable(pending.empty() || inFrame ? 20 : 5)) {
      if (!pending.empty() && !inFrame) complete();
      continue;
    }
    uint8_t byte;
    while (m_peer->Read(&byte, 1) == 1) {
      pending.push_back(byte);
      if (m_framing == Framing::kBinary) {
        // SYN x outside a frame is a message; inside a frame SYN SYN is a data byte and
        // SYN ETX is followed by the BCC.
        const std::size_t n = pending.size();
        if (n == 2 && pending[0] == 0x16 && byte != 0x02) {
          complete();
        } else if (n == 2 && pending[0] == 0x16) {
          inFrame = true;
        } else if (inFrame && n >= 4 && pending[n - 3] == 0x16 && pending[n - 2] == 0x03) {
          // Count the SYNs before ETX: an odd run ends the frame.
          std::size_t run = 0;
          for (std::size_t i = n - 3; i >= 2 && pending[i] == 0x16; --i) ++run;
          if (run % 2 == 1) complete();
        }
        continue;
      }
      if (pending.size() == 1 && (byte == 0x06 || byte == 0x15)) {
        complete();
      } else if (pending.size() == 2 && pending[0] == 0x04 && byte == 0x05) {
        complete();
      } else if (inFrame && pending.size() >= 2 && pending[pending.size() - 2] == 0x03) {
        complete();  // the byte after ETX is the BCC, whatever its value
      } else if (byte == 0x02) {
        inFrame = true;
      }
    }
  }
}

}  // namespace linvo::test

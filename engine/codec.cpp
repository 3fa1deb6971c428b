#include "engine/codec.h"

#include <algorithm>
#include <cstdint>

namespace linvo::engine::codec {

int Remaining(uint32_t mark, int32_t timeout, uint32_t now) {
  const uint32_t elapsed = now - mark;
  const uint32_t limit = static_cast<uint32_t>(timeout) + 1;
  return elapsed >= limit ? 1 : static_cast<int>(limit - elapsed);
}

uint8_t CalcBcc(ByteView bytes) {
  uint8_t value = 0;
  bool started = false;
  for (uint8_t b : bytes) {
    if (b == STX) {
      started = true;
      continue;
    }
    if (!started) continue;
    value ^= b;
    if (b == ETX) break;
  }
  return value;
}

bool BccOk(ByteView frame) { return !frame.empty() && CalcBcc(frame) == frame.back(); }

Bytes CommandFrame(char c1, char c2, ByteView parameter) {
  Bytes frame{EOT, STX, static_cast<uint8_t>(c1), static_cast<uint8_t>(c2)};
  frame.insert(frame.end(), parameter.begin(), parameter.end());
  frame.push_back(ETX);
  frame.push_back(CalcBcc(frame));
  return frame;
}

Bytes DataFrame(ByteView data) {
  Bytes frame;
  frame.reserve(data.size() + 3);
  frame.push_back(STX);
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(ETX);
  frame.push_back(CalcBcc(frame));
  return frame;
}

FrameSpan LastReadFrame(ByteView b) {
  FrameSpan last;
  bool candidate = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i + 1 < b.size(); ++i) {
    if (b[i] == STX) {
      candidate = true;
      start = i;
    } else if (b[i] == ETX && candidate) {
      last = {start, i + 2 - start};
      candidate = false;
      ++i;  // past the BCC
    }
  }
  return last;
}

Bytes LastBlockFrame(ByteView b) {
  Bytes current, last;
  bool inFrame = false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (b[i] == STX) {
      current.assign(1, STX);
      last.clear();
      inFrame = true;
    } else if (inFrame) {
      current.push_back(b[i]);
      if (b[i] == ETX) {
        if (i + 1 < b.size()) {
          current.push_back(b[++i]);
        } else {
          current.clear();  // ETX without its BCC completes nothing
        }
        last = std::move(current);
        current.clear();
        inFrame = false;
      }
    }
  }
  return inFrame ? Bytes{} : last;
}

bool IsTwoPartHF(ByteView frame) {
  static constexpr const char* kResponseCodes[] = {"02", "05", "07", "0D", "14", "16", "18", "1A"};
  if (frame.size() < kHFHeaderSize || frame[4] != '0' || frame[5] != '2') return false;
  for (const char* code : kResponseCodes) {
    if (frame[2] == code[0] && frame[3] == code[1]) return true;
  }
  return false;
}

bool IsBinaryControl(uint8_t b) { return b == ACK || b == NAK || b == STX || b == ETX || b == SYN; }

uint8_t BinaryCheck(ByteView data) {
  uint8_t check = ETX;
  for (uint8_t b : data) check ^= b;
  return check;
}

Bytes BinaryFrame(ByteView data) {
  Bytes frame{SYN, STX};
  frame.reserve(data.size() * 2 + 5);
  for (uint8_t b : data) {
    if (b == SYN) frame.push_back(SYN);
    frame.push_back(b);
  }
  frame.insert(frame.end(), {SYN, ETX, BinaryCheck(data)});
  return frame;
}

Bytes Undouble(ByteView bytes) {
  Bytes out;
  out.reserve(bytes.size());
  for (std::size_t j = 0; j < bytes.size(); ++j) {
    out.push_back(bytes[j]);
    if (bytes[j] == SYN && j + 1 < bytes.size() && bytes[j + 1] == SYN) ++j;
  }
  return out;
}

FrameCheck CheckBinaryFrame(ByteView f) {
  const std::size_t n = f.size();
  if (n < 5 || f[0] != SYN || f[1] != STX || f[n - 3] != SYN || f[n - 2] != ETX) {
    return FrameCheck::kMalformed;
  }
  return BinaryCheck(f.subspan(2, n - 5)) == f[n - 1] ? FrameCheck::kValid : FrameCheck::kBadCheck;
}

Bytes LastBinaryFrame(ByteView g) {
  Bytes frame;
  const std::size_t m = g.size();
  std::size_t start = 0, end = 0;
  bool inFrame = false, endSeen = false;
  for (std::size_t i = 0; i + 2 < m; ++i) {
    if (g[i] == SYN) {
      const uint8_t next = g[i + 1];
      if (next == STX) {
        start = i;
        inFrame = true;
      } else if (next == ETX) {
        if (inFrame) end = i + 1, endSeen = true;
      } else if (next == SYN) {
        if (inFrame) ++i;
      } else {
        inFrame = endSeen = false;
      }
    }
    if (inFrame && endSeen) {
      frame = Undouble(g.subspan(start, end + 1 - start));
      frame.push_back(g[end + 1]);
      inFrame = endSeen = false;
      i = end + 1;
    }
  }
  return frame;
}

// ---- receive scanners ---------------------------------------------------------------------------

namespace {

// Drops the older half of `gathered` once it holds more than `limit` bytes.
void Bound(Bytes& gathered, std::size_t limit) {
  if (gathered.size() > limit) {
    gathered.erase(gathered.begin(), gathered.end() - static_cast<std::ptrdiff_t>(limit / 2));
  }
}

}  // namespace

std::size_t TextReadScanner::Want() const {
  const std::size_t want = m_ackMode ? 1 : SIZE_MAX;
  if (!m_firstQuiet) return want;
  return std::min(want, m_capacity - std::min(m_capacity, m_gathered.size()));
}

bool TextReadScanner::Take(ByteView bytes) {
  if (bytes.empty()) return false;
  m_gathered.insert(m_gathered.end(), bytes.begin(), bytes.end());
  if (m_ackMode && (bytes.back() == ACK || bytes.back() == NAK)) {
    m_delivered = {m_gathered.size() - 1, 1};
    return true;
  }
  Bound(m_gathered, kMaxGather);
  return false;
}

bool TextReadScanner::Quiet() {
  if (m_firstQuiet) {
    m_delivered = {0, m_gathered.size()};
    return true;
  }
  if (m_ackMode) return false;
  const FrameSpan frame = LastReadFrame(m_gathered);
  if (frame.size == 0 || frame.size > m_capacity) return false;
  m_delivered = frame;
  return true;
}

ByteView TextReadScanner::Delivered() const {
  return ByteView(m_gathered).subspan(m_delivered.start, m_delivered.size);
}

std::size_t HFReadScanner::Want() const { return m_gathered.size() < m_limit ? 1 : 0; }

bool HFReadScanner::Take(ByteView bytes) {
  for (uint8_t byte : bytes) {
    m_gathered.push_back(byte);
    switch (m_state) {
      case State::kHunting:
        if (byte == STX) m_gathered.assign(1, STX), m_state = State::kInFrame;
        break;
      case State::kInFrame:
        if (byte == ETX) m_state = State::kAfterEtx;
        if (byte == STX) m_gathered.assign(1, STX);
        break;
      case State::kAfterEtx:  // the BCC
        m_state = State::kHunting;
        if (Framed()) return true;
        break;
    }
  }
  return false;
}

bool HFReadScanner::Quiet() { return Framed(); }

bool HFReadScanner::Framed() const {
  const std::size_t n = m_gathered.size();
  return n >= 2 && m_gathered.front() == STX && m_gathered[n - 2] == ETX;
}

BinaryReadScanner::BinaryReadScanner(std::size_t capacity)
    : m_ackMode(capacity == 2), m_maxGather(std::max(kMaxGather, 4 * (capacity + 5))) {}

bool BinaryReadScanner::Take(ByteView bytes) {
  for (uint8_t byte : bytes) {
    if (TakeByte(byte)) return true;
  }
  return false;
}

bool BinaryReadScanner::TakeByte(uint8_t byte) {
  Bytes& g = m_gathered;
  g.push_back(byte);
  const std::size_t m = g.size();
  const bool afterSyn = m >= 2 && g[m - 2] == SYN;
  bool complete = false;
  if (m_ackMode && afterSyn && byte != STX && byte != ETX && byte != SYN) {
    complete = true;
  } else if (afterSyn && (m == 2 || g[m - 3] != SYN)) {
    if (byte == STX) m_inFrame = true;
    complete = !IsBinaryControl(byte) && !m_inFrame;
  }
  if (complete) {
    m_delivered.assign(g.end() - 2, g.end());
    return true;
  }
  Bound(g, m_maxGather);
  return false;
}

bool BinaryReadScanner::Quiet() {
  const Bytes& g = m_gathered;
  if (!m_ackMode && g.size() >= 3) {
    Bytes frame = LastBinaryFrame(g);
    if (!frame.empty()) {
      m_delivered = std::move(frame);
      return true;
    }
  }
  if (g.size() >= 2 && g[0] == SYN && !IsBinaryControl(g[1])) {
    m_delivered = g;
    return true;
  }
  return false;
}

bool RawReadScanner::Take(ByteView bytes) {
  m_gathered.insert(m_gathered.end(), bytes.begin(), bytes.end());
  return m_gathered.size() == m_count;
}

}  // namespace linvo::engine::codec

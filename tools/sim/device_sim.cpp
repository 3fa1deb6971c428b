#include "sim/device_sim.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/clock.h"

namespace linvo::sim {

namespace {

// Bounds on what the host can make the simulator hold: a longer frame is dropped, a longer raw
// block is taken as one block.
constexpr std::size_t kMaxFrame = 65536;
constexpr std::size_t kMaxRawBlock = 65536;

// Line noise for the garbage option: no STX (it would start a frame at the host) and no other
// control character of the protocol.
constexpr char kNoise[] = {'\xFF', '\x00', '\x7E', '\xA5', '\x5A', '\x81', '\x3F', '\xC3'};

// True on a simulator's serving thread: only it sends delayed frames, so only replies made there
// are delayed (frames sent on demand from other threads go out at once).
thread_local bool tl_servingThread = false;

// The first bytes of a binary message in hex, for notes: a 4 KiB frame would swamp the log (the
// received bytes are logged in full anyway).
std::string ShortHex(std::string_view bytes) {
  constexpr std::size_t kShown = 32;
  if (bytes.size() <= kShown) return HexBytes(bytes);
  return HexBytes(bytes.substr(0, kShown)) + " ... (" + std::to_string(bytes.size()) + " bytes)";
}

std::string LineNames(uint32_t msBits) {
  std::string out;
  auto add = [&](uint32_t bit, const char* name) {
    if ((msBits & bit) == 0) return;
    if (!out.empty()) out += ' ';
    out += name;
  };
  add(platform::kMsCtsOn, "CTS");
  add(platform::kMsDsrOn, "DSR");
  add(platform::kMsRingOn, "RING");
  add(platform::kMsRlsdOn, "RLSD");
  return out.empty() ? "none" : out;
}

std::string Printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      out += hex;
    }
  }
  return out;
}

}  // namespace

std::string HexBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i > 0) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::string FormatEvent(const LogEvent& event) {
  const platform::LocalTime local = platform::LocalTimeAt(event.time);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.hour, local.minute, local.second,
                local.millisecond);
  switch (event.direction) {
    case Direction::kReceived:
      return std::string(stamp) + " << " + HexBytes(event.bytes);
    case Direction::kSent:
      return std::string(stamp) + " >> " + HexBytes(event.bytes);
    case Direction::kNote:
      break;
  }
  return std::string(stamp) + " -- " + event.bytes;
}

namespace {

engine::codec::ByteView View(std::string_view bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

std::string Text(const engine::codec::Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

}  // namespace

uint8_t BlockCheck(std::string_view bytes) { return engine::codec::CalcBcc(View(bytes)); }

std::string MakeFrame(std::string_view payload) {
  return Text(engine::codec::DataFrame(View(payload)));
}

uint8_t BinaryCheck(std::string_view data) { return engine::codec::BinaryCheck(View(data)); }

std::string MakeBinaryFrame(std::string_view data) {
  return Text(engine::codec::BinaryFrame(View(data)));
}

DeviceSimulator::DeviceSimulator(std::unique_ptr<Endpoint> endpoint, Config config)
    : m_endpoint(std::move(endpoint)), m_config(std::move(config)) {
  m_unansweredLeft = m_config.unansweredPolls;
  m_busyLeft = m_config.busyPolls;
  m_wrongBccLeft = m_config.wrongBcc;
  m_dataNakLeft = m_config.dataNak;
  m_binaryWrongBccLeft = m_config.binaryWrongBcc;
}

DeviceSimulator::~DeviceSimulator() { Stop(); }

void DeviceSimulator::SetLogSink(LogSink sink) {
  std::lock_guard lock(m_mutex);
  m_sink = std::move(sink);
}

bool DeviceSimulator::Start() {
  if (m_thread.joinable()) return false;
  m_stop = false;
  m_endpoint->ClearWake();
  m_rearm.Clear();
  {
    std::lock_guard lock(m_mutex);
    m_pending.clear();  // delayed frames of an earlier run are not sent after a restart
    ArmDsrDrop();
  }
  m_thread = std::thread([this] { Loop(); });
  return true;
}

void DeviceSimulator::Stop() {
  // No lock here: the loop may hold it inside a write that only the wake-up can end.
  m_stop = true;
  m_endpoint->Wake();
  if (m_thread.joinable()) m_thread.join();
}

void DeviceSimulator::SetConfig(const Config& config) {
  {
    std::lock_guard lock(m_mutex);
    const bool echoChanged = config.rawEcho != m_config.rawEcho;
    const bool dsrChanged = config.dropDsrAfterMs != m_config.dropDsrAfterMs;
    m_config = config;
    m_unansweredLeft = m_config.unansweredPolls;
    m_busyLeft = m_config.busyPolls;
    m_wrongBccLeft = m_config.wrongBcc;
    m_dataNakLeft = m_config.dataNak;
    m_binaryWrongBccLeft = m_config.binaryWrongBcc;
    if (echoChanged) {
      ResetParser();
      Note(m_config.rawEcho ? "raw echo on" : "raw echo off");
    }
    if (dsrChanged) ArmDsrDrop();
  }
  // The serving loop may be waiting with a time-out computed before a new DSR drop time.
  m_rearm.Signal();
}

Config DeviceSimulator::GetConfig() const {
  std::lock_guard lock(m_mutex);
  return m_config;
}

bool DeviceSimulator::SendRaw(std::string_view bytes) {
  std::lock_guard lock(m_mutex);
  return WriteLocked(bytes);
}

bool DeviceSimulator::SendUnsolicited(std::size_t index) {
  std::lock_guard lock(m_mutex);
  if (index >= m_config.unsolicited.size()) return false;
  const std::string bytes = m_config.unsolicited[index];
  return WriteLocked(bytes);
}

bool DeviceSimulator::SendHfReply() {
  std::lock_guard lock(m_mutex);
  return SendHfReplyLocked();
}

bool DeviceSimulator::SendFrame(std::string_view payload) {
  std::lock_guard lock(m_mutex);
  return SendReplyFrame(payload, 0);
}

bool DeviceSimulator::SendBinaryReport(std::string_view payload) {
  std::lock_guard lock(m_mutex);
  return SendReportLocked(payload);
}

bool DeviceSimulator::SetModemLines(uint32_t msBits) {
  std::lock_guard lock(m_mutex);
  if (!m_endpoint->SetModemLines(msBits)) return false;
  Note("modem lines: " + LineNames(msBits));
  return true;
}

bool DeviceSimulator::SetModemLine(uint32_t msBit, bool on) {
  std::lock_guard lock(m_mutex);
  const std::optional<uint32_t> lines = m_endpoint->ModemLines();
  if (!lines) return false;
  const uint32_t next = on ? (*lines | msBit) : (*lines & ~msBit);
  if (!m_endpoint->SetModemLines(next)) return false;
  Note("modem lines: " + LineNames(next));
  return true;
}

std::optional<uint32_t> DeviceSimulator::ModemLines() const { return m_endpoint->ModemLines(); }

std::optional<uint32_t> DeviceSimulator::HostLines() const { return m_endpoint->HostLines(); }

bool DeviceSimulator::InjectLineErrors(uint32_t ceBits) {
  std::lock_guard lock(m_mutex);
  if (!m_endpoint->InjectErrors(ceBits)) return false;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%04X", ceBits);
  Note(std::string("line errors injected: ") + hex);
  return true;
}

std::vector<LogEvent> DeviceSimulator::Events() const {
  std::lock_guard lock(m_mutex);
  return m_events;
}

std::string DeviceSimulator::Received() const {
  std::lock_guard lock(m_mutex);
  std::string out;
  for (const LogEvent& e : m_events) {
    if (e.direction == Direction::kReceived) out += e.bytes;
  }
  return out;
}

std::string DeviceSimulator::Sent() const {
  std::lock_guard lock(m_mutex);
  std::string out;
  for (const LogEvent& e : m_events) {
    if (e.direction == Direction::kSent) out += e.bytes;
  }
  return out;
}

Counters DeviceSimulator::GetCounters() const {
  std::lock_guard lock(m_mutex);
  return m_counters;
}

bool DeviceSimulator::WaitForReceived(std::size_t count, int timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_receivedCount >= count; });
}

bool DeviceSimulator::WaitForCounters(const std::function<bool(const Counters&)>& predicate,
                                      int timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return predicate(m_counters); });
}

void DeviceSimulator::Feed(std::string_view bytes) {
  std::lock_guard lock(m_mutex);
  Log(Direction::kReceived, bytes);
  m_receivedCount += bytes.size();
  if (m_config.rawEcho) {
    // Nothing is parsed: the bytes go back unchanged, at once.
    if (WriteLocked(bytes)) m_counters.echoedBytes += static_cast<int64_t>(bytes.size());
  } else {
    const Clock::time_point now = Clock::now();
    for (char c : bytes) FeedByte(c, now);
  }
  m_changed.notify_all();
}

void DeviceSimulator::Loop() {
  tl_servingThread = true;
  char buffer[4096];
  while (!m_stop) {
    int timeoutMs;
    {
      std::lock_guard lock(m_mutex);
      timeoutMs = NextTimeoutMs(Clock::now());
    }
    const Endpoint::WaitStatus status = m_endpoint->Wait(timeoutMs, m_rearm.Native());
    if (m_stop) break;
    if (status == Endpoint::WaitStatus::kWoken) {
      // A timer change (SetConfig) or someone else's wake-up; only Stop() ends the loop. The
      // timers are looked at again on the next pass.
      m_endpoint->ClearWake();
      m_rearm.Clear();
      continue;
    }
    bool closed = status == Endpoint::WaitStatus::kClosed;
    if (status == Endpoint::WaitStatus::kReadable) {
      const std::size_t n = m_endpoint->ReadAvailable(buffer, sizeof buffer, &closed);
      if (n > 0) Feed(std::string_view(buffer, n));
    }
    std::lock_guard lock(m_mutex);
    if (closed) {
      Note("line closed");
      m_changed.notify_all();
      break;
    }
    OnTimers(Clock::now());
  }
}

int DeviceSimulator::NextTimeoutMs(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  if (!m_raw.empty()) next = m_rawDeadline;
  if (!m_pending.empty() && (!next || m_pending.front().due < *next)) next = m_pending.front().due;
  if (m_dsrDropAt && (!next || *m_dsrDropAt < *next)) next = m_dsrDropAt;
  if (!next) return -1;
  if (*next <= now) return 0;
  // Round up so that the wait never ends just before the deadline and comes back with 0 ms.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::min<long long>(left, 1 << 30));
}

void DeviceSimulator::OnTimers(Clock::time_point now) {
  if (!m_raw.empty() && now >= m_rawDeadline) FlushRaw();
  while (!m_pending.empty() && m_pending.front().due <= now) {
    const std::string bytes = std::move(m_pending.front().bytes);
    m_pending.pop_front();
    WriteLocked(bytes);
  }
  if (m_dsrDropAt && now >= *m_dsrDropAt) {
    m_dsrDropAt.reset();
    const std::optional<uint32_t> lines = m_endpoint->ModemLines();
    if (lines && m_endpoint->SetModemLines(*lines & ~platform::kMsDsrOn)) {
      Note("DSR dropped as scripted; modem lines: " + LineNames(*lines & ~platform::kMsDsrOn));
    } else {
      Note("no modem lines on this line: the scripted DSR drop is skipped");
    }
  }
}

void DeviceSimulator::ArmDsrDrop() {
  if (m_config.dropDsrAfterMs < 0) {
    m_dsrDropAt.reset();
  } else {
    m_dsrDropAt = Clock::now() + std::chrono::milliseconds(m_config.dropDsrAfterMs);
  }
}

void DeviceSimulator::ResetParser() {
  m_state = ParseState::kIdle;
  m_frame.clear();
  m_raw.clear();
}

void DeviceSimulator::FeedByte(char byte, Clock::time_point now) {
  switch (m_state) {
    case ParseState::kIdle:
      if (byte == kEot || byte == kStx || byte == kAck || byte == kNak || byte == kSyn) FlushRaw();
      if (byte == kEot) {
        m_state = ParseState::kAfterEot;
      } else if (byte == kSyn) {
        m_state = ParseState::kAfterSyn;
      } else if (byte == kStx) {
        m_frame.assign(1, kStx);
        m_frameIsCommand = false;
        m_state = ParseState::kInFrame;
      } else if (byte == kAck) {
        OnHostAck();
      } else if (byte == kNak) {
        OnHostNak();
      } else {
        m_raw += byte;
        m_rawDeadline = now + std::chrono::milliseconds(std::max(m_config.rawGapMs, 0));
        if (m_raw.size() >= kMaxRawBlock) FlushRaw();
      }
      return;
    case ParseState::kAfterEot:
      if (byte == kEnq) {
        m_state = ParseState::kIdle;
        OnPoll();
      } else if (byte == kStx) {
        m_frame.assign(1, kStx);
        m_frameIsCommand = true;
        m_state = ParseState::kInFrame;
      } else {
        // A lone EOT is raw data; the byte after it is looked at afresh.
        m_state = ParseState::kIdle;
        m_raw += kEot;
        m_rawDeadline = now + std::chrono::milliseconds(std::max(m_config.rawGapMs, 0));
        FeedByte(byte, now);
      }
      return;
    case ParseState::kInFrame:
      if (byte == kStx) {
        // No escaping in text frames: an STX restarts the frame, as at the host. It is a command
        // frame when EOT came right before it.
        m_frameIsCommand = m_frame.back() == kEot;
        m_frame.assign(1, kStx);
      } else {
        m_frame += byte;
        if (byte == kEtx) {
          m_state = ParseState::kAfterEtx;
        } else if (m_frame.size() > kMaxFrame) {
          Note("frame longer than " + std::to_string(kMaxFrame) + " bytes dropped");
          m_frame.clear();
          m_state = ParseState::kIdle;
        }
      }
      return;
    case ParseState::kAfterEtx:
      // The byte after ETX is the BCC whatever its value.
      m_frame += byte;
      m_state = ParseState::kIdle;
      if (m_frameIsCommand) {
        OnCommandFrame();
      } else {
        OnDataFrame();
      }
      return;
    case ParseState::kAfterSyn:
      m_state = ParseState::kIdle;
      if (byte == kStx) {
        m_frame.clear();  // binary frames keep only their (undoubled) data
        m_state = ParseState::kInBinaryFrame;
      } else if (byte == kAck) {
        OnBinaryHostAck();
      } else if (byte == kNak) {
        OnBinaryHostNak();
      } else if (byte == kSyn) {
        // SYN SYN outside a frame: the first SYN is dropped, the second may start a message.
        Note("lone SYN from the host ignored");
        m_state = ParseState::kAfterSyn;
      } else {
        Note("SYN " + HexBytes(std::string_view(&byte, 1)) + " from the host ignored");
      }
      return;
    case ParseState::kInBinaryFrame:
      if (byte == kSyn) {
        m_state = ParseState::kBinaryFrameSyn;
      } else {
        AppendBinaryData(byte);
      }
      return;
    case ParseState::kBinaryFrameSyn:
      if (byte == kSyn) {
        // A doubled SYN is one data byte.
        m_state = ParseState::kInBinaryFrame;
        AppendBinaryData(kSyn);
      } else if (byte == kEtx) {
        m_state = ParseState::kBinaryAfterEtx;
      } else if (byte == kStx) {
        Note("binary frame restarted by SYN STX");
        m_frame.clear();
        m_state = ParseState::kInBinaryFrame;
      } else {
        m_state = ParseState::kIdle;
        OnBrokenBinaryFrame(byte);
      }
      return;
    case ParseState::kBinaryAfterEtx:
      // The byte after SYN ETX is the BCC whatever its value (it is never doubled).
      m_state = ParseState::kIdle;
      OnBinaryFrame(static_cast<uint8_t>(byte));
      return;
  }
}

void DeviceSimulator::AppendBinaryData(char byte) {
  m_frame += byte;
  if (m_frame.size() > kMaxFrame) {
    Note("binary frame longer than " + std::to_string(kMaxFrame) + " bytes dropped");
    m_frame.clear();
    m_state = ParseState::kIdle;
  }
}

void DeviceSimulator::ResetExchange() {
  m_wrongBccLeft = m_config.wrongBcc;
  m_lastReply.clear();
  m_awaitingHostAck = false;
}

bool DeviceSimulator::Acknowledge(bool goodBcc, bool isData) {
  switch (m_config.ackMode) {
    case AckMode::kSilent:
      return false;
    case AckMode::kAlwaysNak:
      WriteLocked(std::string_view(&kNak, 1));
      return false;
    case AckMode::kByBcc:
      break;
  }
  if (!goodBcc) {
    WriteLocked(std::string_view(&kNak, 1));
    return false;
  }
  if (isData && m_dataNakLeft > 0) {
    --m_dataNakLeft;
    WriteLocked(std::string_view(&kNak, 1));
    return false;
  }
  WriteLocked(std::string_view(&kAck, 1));
  return true;
}

void DeviceSimulator::OnCommandFrame() {
  const bool good = BlockCheck(m_frame) == static_cast<uint8_t>(m_frame.back());
  // STX c1 c2 params ETX BCC: the code and the parameters lie between STX and ETX.
  const std::string_view text = std::string_view(m_frame).substr(1, m_frame.size() - 3);
  if (good) {
    ++m_counters.commands;
    ResetExchange();
    m_unansweredLeft = m_config.unansweredPolls;
    m_busyLeft = m_config.busyPolls;
    Note("command \"" + Printable(text.substr(0, 2)) + "\" params \"" +
         Printable(text.substr(std::min<std::size_t>(2, text.size()))) + "\"");
  } else {
    ++m_counters.badFrames;
    Note("command frame with a wrong BCC");
  }
  Acknowledge(good, false);
  m_changed.notify_all();
}

void DeviceSimulator::OnDataFrame() {
  const bool good = BlockCheck(m_frame) == static_cast<uint8_t>(m_frame.back());
  if (good) {
    ++m_counters.dataFrames;
    ResetExchange();
    Note("data frame \"" + Printable(std::string_view(m_frame).substr(1, m_frame.size() - 3)) +
         "\"");
  } else {
    ++m_counters.badFrames;
    Note("data frame with a wrong BCC");
  }
  if (Acknowledge(good, true)) {
    if (m_config.dataReply) {
      SendReplyFrame(*m_config.dataReply, m_config.delayMs);
      m_awaitingHostAck = m_config.expectHostAck;
    }
    SendHfReplyLocked();
  }
  m_changed.notify_all();
}

void DeviceSimulator::OnPoll() {
  ++m_counters.polls;
  if (m_config.silentPolls) {
    Note("poll left unanswered");
  } else if (m_unansweredLeft > 0) {
    --m_unansweredLeft;
    Note("poll left unanswered (" + std::to_string(m_unansweredLeft) + " more)");
  } else if (PollReplyPending()) {
    // A host that polls again before a late reply arrives gets that one reply, not one per poll.
    Note("poll while the reply to an earlier poll is held back: no second reply");
  } else {
    char letter = m_config.letter;
    if (m_busyLeft > 0) {
      --m_busyLeft;
      letter = 'B';
    }
    std::string payload;
    payload.reserve(5 + m_config.data.size());
    payload += letter;
    payload += m_config.status;
    payload += m_config.code;
    payload += m_config.data;
    SendReplyFrame(payload, m_config.delayMs, true);
  }
  m_changed.notify_all();
}

void DeviceSimulator::OnHostAck() {
  ++m_counters.hostAcks;
  if (m_awaitingHostAck) {
    m_awaitingHostAck = false;
    ++m_counters.repliesAcked;
    Note("host ACK of the data reply");
  } else {
    Note("host ACK");
  }
  m_changed.notify_all();
}

void DeviceSimulator::OnHostNak() {
  ++m_counters.hostNaks;
  if (m_lastReply.empty()) {
    Note("host NAK with no reply to repeat");
  } else {
    Note("host NAK: reply sent again");
    const std::string payload = m_lastReply;
    SendReplyFrame(payload, m_config.delayMs);
  }
  m_changed.notify_all();
}

void DeviceSimulator::FlushRaw() {
  if (m_raw.empty()) return;
  ++m_counters.rawBlocks;
  Note("raw block of " + std::to_string(m_raw.size()) + " bytes");
  m_raw.clear();
  if (m_config.ackRaw) Acknowledge(true, true);
  m_changed.notify_all();
}

bool DeviceSimulator::SendHfReplyLocked() {
  bool ok = true;
  for (int part = 0; part < std::min(m_config.hfParts, 2); ++part) {
    const HfFrameSpec& spec = part == 0 ? m_config.hfFirst : m_config.hfSecond;
    std::string payload;
    payload += spec.reserve;
    payload += spec.resp;
    payload += spec.stat;
    payload += spec.data;
    // The second part follows the first after the gap (a device still preparing it).
    const int delayMs = m_config.delayMs + (part == 1 ? m_config.hfGapMs : 0);
    ok = SendReplyFrame(payload, delayMs) && ok;
  }
  return ok;
}

bool DeviceSimulator::SendReplyFrame(std::string_view payload, int delayMs, bool pollReply) {
  m_lastReply.assign(payload);
  std::string bytes;
  bytes.reserve(m_config.garbage + payload.size() + 3);
  for (int i = 0; i < m_config.garbage; ++i) bytes += kNoise[i % sizeof kNoise];
  bytes += MakeFrame(payload);
  if (m_wrongBccLeft > 0) {
    --m_wrongBccLeft;
    bytes.back() = static_cast<char>(bytes.back() ^ 0xFF);
    Note("reply sent with a wrong BCC");
  }
  return DeliverLocked(bytes, delayMs, pollReply);
}

bool DeviceSimulator::DeliverLocked(std::string_view bytes, int delayMs, bool pollReply) {
  if (!tl_servingThread || (delayMs <= 0 && m_pending.empty())) {
    return WriteLocked(bytes);
  }
  // Delayed frames keep their order: none leaves before the one queued ahead of it.
  Clock::time_point due = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
  if (!m_pending.empty()) due = std::max(due, m_pending.back().due);
  m_pending.push_back({due, std::string(bytes), pollReply});
  // The serving loop recomputes its wait after the message that made this reply.
  return true;
}

bool DeviceSimulator::PollReplyPending() const {
  return std::any_of(m_pending.begin(), m_pending.end(),
                     [](const Pending& p) { return p.pollReply; });
}

void DeviceSimulator::OnBinaryFrame(uint8_t bcc) {
  const bool good = BinaryCheck(m_frame) == bcc;
  if (good) {
    ++m_counters.binaryCommands;
    m_binaryWrongBccLeft = m_config.binaryWrongBcc;
    m_lastReport.reset();
    m_awaitingReportAck = false;
    Note("binary command " + ShortHex(m_frame));
  } else {
    ++m_counters.binaryBadFrames;
    Note("binary frame with a wrong BCC");
  }
  if (AcknowledgeBinary(good) && m_config.binaryReportOn) SendReportLocked(m_config.binaryReport);
  m_frame.clear();
  m_changed.notify_all();
}

void DeviceSimulator::OnBrokenBinaryFrame(char byte) {
  // SYN followed by anything but SYN, STX or ETX cannot occur inside a frame: the frame is lost
  // and answered as one with a wrong BCC; the stray byte is dropped with it.
  ++m_counters.binaryBadFrames;
  Note("binary frame broken by SYN " + HexBytes(std::string_view(&byte, 1)));
  m_frame.clear();
  AcknowledgeBinary(false);
  m_changed.notify_all();
}

bool DeviceSimulator::AcknowledgeBinary(bool goodBcc) {
  static constexpr char kSynAck[] = {kSyn, kAck};
  static constexpr char kSynNak[] = {kSyn, kNak};
  switch (m_config.binaryAckMode) {
    case AckMode::kSilent:
      return false;
    case AckMode::kAlwaysNak:
      WriteLocked(std::string_view(kSynNak, 2));
      return false;
    case AckMode::kByBcc:
      break;
  }
  WriteLocked(std::string_view(goodBcc ? kSynAck : kSynNak, 2));
  return goodBcc;
}

void DeviceSimulator::OnBinaryHostAck() {
  ++m_counters.binaryHostAcks;
  if (m_awaitingReportAck) {
    m_awaitingReportAck = false;
    ++m_counters.reportsAcked;
    Note("host SYN ACK of the report");
  } else {
    Note("host SYN ACK");
  }
  m_changed.notify_all();
}

void DeviceSimulator::OnBinaryHostNak() {
  ++m_counters.binaryHostNaks;
  if (!m_lastReport) {
    Note("host SYN NAK with no report to repeat");
  } else {
    Note("host SYN NAK: report sent again");
    const std::string payload = *m_lastReport;
    SendReportLocked(payload);
  }
  m_changed.notify_all();
}

bool DeviceSimulator::SendReportLocked(std::string_view payload) {
  m_lastReport.emplace(payload);
  m_awaitingReportAck = true;
  std::string bytes = MakeBinaryFrame(payload);
  if (m_binaryWrongBccLeft > 0) {
    --m_binaryWrongBccLeft;
    bytes.back() = static_cast<char>(bytes.back() ^ 0xFF);
    Note("report sent with a wrong BCC");
  }
  return DeliverLocked(bytes, m_config.binaryReportDelayMs);
}

bool DeviceSimulator::WriteLocked(std::string_view bytes) {
  const bool ok = m_endpoint->Write(bytes);
  Log(Direction::kSent, bytes);
  if (!ok) Note("write failed");
  return ok;
}

void DeviceSimulator::Log(Direction direction, std::string_view bytes) {
  if (!m_config.keepHistory && !m_sink) return;
  LogEvent event{std::chrono::system_clock::now(), direction, std::string(bytes)};
  if (m_sink) m_sink(event);
  if (m_config.keepHistory) m_events.push_back(std::move(event));
  m_changed.notify_all();
}

}  // namespace linvo::sim

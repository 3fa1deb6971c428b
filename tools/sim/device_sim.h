// The device side of the text and binary protocols, for tests, demos and benchmarks.
//
// The simulator reads the host's byte stream from an Endpoint, parses it incrementally and
// answers as a device would. Text protocol:
//   EOT STX c1 c2 params ETX BCC  command frame  -> ACK / NAK (by the ACK mode), arms a response
//   EOT ENQ                       poll           -> response frame STX letter st1 st2 cd1 cd2
//                                                   data ETX BCC ('B' while busy)
//   STX data ETX BCC              data frame     -> ACK / NAK, then the data reply frame and/or
//                                                   the HF reply frames when configured
//   ACK                                          -> ends the wait for the host's ACK of a reply
//   NAK                                          -> the last reply frame is sent again
//   anything else                 raw data       -> one block per quiet gap; ACKed when ackRaw
// Text frames are not escaped: an STX inside a frame restarts it (as a command frame when EOT
// came right before it), and the byte after ETX is the BCC whatever its value.
// Binary protocol (a message that starts with SYN; the text protocol never sends SYN):
//   SYN STX data SYN ETX BCC      command frame  -> SYN ACK / SYN NAK (by the binary ACK mode),
//                                                   then the report frame SYN STX payload SYN
//                                                   ETX BCC (0x16 doubled in data and payload;
//                                                   BCC = XOR of the undoubled bytes ^ 0x03)
//   SYN ACK                                      -> ends the wait for the host's ACK of a report
//   SYN NAK                                      -> the last report is sent again
// In raw echo mode nothing is parsed: every byte received goes back unchanged at once.
// A message not yet complete waits for its remaining bytes however they are split across reads.
// Every byte received and sent is logged with its time and direction.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/codec.h"
#include "platform/wake_event.h"
#include "sim/endpoint.h"

namespace linvo::sim {

// The device's side of the wire codec, as characters of the byte strings the simulator handles.
inline constexpr char kStx = static_cast<char>(engine::codec::STX);
inline constexpr char kEtx = static_cast<char>(engine::codec::ETX);
inline constexpr char kEot = static_cast<char>(engine::codec::EOT);
inline constexpr char kEnq = static_cast<char>(engine::codec::ENQ);
inline constexpr char kAck = static_cast<char>(engine::codec::ACK);
inline constexpr char kNak = static_cast<char>(engine::codec::NAK);
inline constexpr char kSyn = static_cast<char>(engine::codec::SYN);

// How command and data frames (and raw blocks with ackRaw), or binary command frames, are
// acknowledged.
enum class AckMode {
  kByBcc,      // ACK a good BCC, NAK a wrong one
  kAlwaysNak,  // NAK everything
  kSilent,     // answer nothing
};

// One HF reply frame: STX reserve resp1 resp2 stat1 stat2 data ETX BCC.
struct HfFrameSpec {
  char reserve = '0';
  std::string resp = "00";
  std::string stat = "00";
  std::string data;
};

struct Config {
  AckMode ackMode = AckMode::kByBcc;
  // Response frame fields (status and code are sent as given; two characters in the protocol).
  char letter = 'A';
  std::string status = "00";
  std::string code = "00";
  std::string data;
  int unansweredPolls = 0;   // leave the first N polls after a command unanswered
  int busyPolls = 0;         // then answer 'B' to the next N polls
  int wrongBcc = 0;          // the first K reply frames after a command or data frame carry a
                             // wrong BCC (each host NAK gets the frame again)
  bool silentPolls = false;  // never answer polls
  int garbage = 0;           // bytes of line noise (never STX) before each frame sent
  int delayMs = 0;           // pause before each reply frame (acknowledgements stay immediate);
                             // a poll that comes while the reply to an earlier poll is still
                             // held back gets no second reply
  int dataNak = 0;           // NAK the first N good data frames (and raw blocks), then ACK
  // Sent after ACKing a data frame: STX dataReply ETX BCC; then the host's ACK is expected.
  std::optional<std::string> dataReply;
  bool expectHostAck = true;
  // HF reply after ACKing a data frame (after the data reply when both are set), or on demand:
  // 0 = none, 1 = hfFirst, 2 = hfFirst then hfSecond.
  int hfParts = 0;
  HfFrameSpec hfFirst;
  HfFrameSpec hfSecond;
  int hfGapMs = 0;                       // pause between the two frames of a two-part HF reply
                                         // (after the delay of the first)
  bool ackRaw = false;                   // acknowledge each raw (unframed) block after a quiet gap
  int rawGapMs = 3;                      // the quiet gap that ends a raw block
  std::vector<std::string> unsolicited;  // byte strings for SendUnsolicited()

  // Binary protocol.
  AckMode binaryAckMode = AckMode::kByBcc;
  std::string binaryReport = "00";  // report payload (any bytes)
  bool binaryReportOn = true;       // send the report after SYN ACK of a command frame
  int binaryWrongBcc = 0;           // the first K reports after a command carry a wrong BCC
                                    // (each host SYN NAK gets the report again)
  int binaryReportDelayMs = 0;      // pause before each report (SYN ACK / SYN NAK stay immediate)
  // Echo every byte received at once and parse nothing (for throughput runs also set
  // keepHistory to false: the history keeps every byte both ways).
  bool rawEcho = false;

  // Modem lines (only on a line that has them, the virtual line): drop DSR this many ms after
  // Start(), or after a SetConfig() that changes the value; negative: never.
  int dropDsrAfterMs = -1;

  bool keepHistory = true;  // keep every event for Events()/Received()/Sent()
};

// Counts of what the host sent, as parsed.
struct Counters {
  int commands = 0;    // command frames with a good BCC
  int dataFrames = 0;  // data frames with a good BCC
  int badFrames = 0;   // command or data frames with a wrong BCC
  int polls = 0;
  int rawBlocks = 0;
  int hostAcks = 0;
  int hostNaks = 0;
  int repliesAcked = 0;     // data replies the host acknowledged
  int binaryCommands = 0;   // binary command frames with a good BCC
  int binaryBadFrames = 0;  // binary frames with a wrong BCC or broken by a stray SYN pair
  int binaryHostAcks = 0;   // SYN ACK
  int binaryHostNaks = 0;   // SYN NAK
  int reportsAcked = 0;     // reports the host acknowledged
  int64_t echoedBytes = 0;  // bytes sent back in raw echo mode
};

enum class Direction { kReceived, kSent, kNote };

struct LogEvent {
  std::chrono::system_clock::time_point time;
  Direction direction;
  std::string bytes;  // the bytes received or sent; the text of a note
};

// "HH:MM:SS.mmm << 04 05" (received), ">>" (sent), "--" followed by the text of a note.
std::string FormatEvent(const LogEvent& event);
// "04 02 53 31" for the bytes.
std::string HexBytes(std::string_view bytes);

// The codec's block check, frames and binary check over the simulator's byte strings.
uint8_t BlockCheck(std::string_view bytes);
// STX payload ETX BCC.
std::string MakeFrame(std::string_view payload);
uint8_t BinaryCheck(std::string_view data);
// SYN STX data SYN ETX BCC, every 0x16 of the data doubled.
std::string MakeBinaryFrame(std::string_view data);

class DeviceSimulator {
 public:
  using LogSink = std::function<void(const LogEvent&)>;

  DeviceSimulator(std::unique_ptr<Endpoint> endpoint, Config config = {});
  ~DeviceSimulator();  // stops
  DeviceSimulator(const DeviceSimulator&) = delete;
  DeviceSimulator& operator=(const DeviceSimulator&) = delete;

  // Called for every event, in order, on the thread that caused it (under the simulator's lock:
  // it must not call back into the simulator). Set it before Start().
  void SetLogSink(LogSink sink);

  // Starts the serving thread. False when it is running already.
  bool Start();
  // Ends the serving thread and joins it; returns at once even while the loop waits or a write
  // to a host that does not read is blocked.
  void Stop();

  // Replaces the configuration while running; the unanswered, busy, wrong-BCC and data-NAK
  // counts start again from the new values. Turning raw echo on or off drops a message half
  // received.
  void SetConfig(const Config& config);
  Config GetConfig() const;

  // Sends bytes as they are. False when the line failed.
  bool SendRaw(std::string_view bytes);
  // Sends config.unsolicited[index]; false for an index out of range.
  bool SendUnsolicited(std::size_t index);
  // Sends the configured HF reply (hfParts frames; nothing when 0) as reply frames, at once:
  // the delay and the HF gap apply only to replies the serving loop makes.
  bool SendHfReply();
  // Sends STX payload ETX BCC as a reply frame: garbage and wrong BCC apply, the delay does not
  // (frames sent on demand go out at once), and a host NAK gets it again.
  bool SendFrame(std::string_view payload);
  // Sends SYN STX payload SYN ETX BCC as a report: the binary wrong-BCC count applies, the delay
  // does not, and a host SYN NAK gets it again.
  bool SendBinaryReport(std::string_view payload);

  // Modem lines and line errors, on a line that has them (the virtual line); on a
  // pseudo-terminal they do not exist and these return false or nothing.
  // The MS_* bits (CTS, DSR, RING, RLSD) the host reads; a change raises its line events.
  bool SetModemLines(uint32_t msBits);
  // Turns one MS_* line on or off, leaving the others.
  bool SetModemLine(uint32_t msBit, bool on);
  std::optional<uint32_t> ModemLines() const;
  // DTR, RTS and break as the host drives them (platform::kHostDtr, kHostRts, kHostBreak).
  std::optional<uint32_t> HostLines() const;
  // CE_* errors the host's ClearError reports next (lost while no host end is open).
  bool InjectLineErrors(uint32_t ceBits);

  std::vector<LogEvent> Events() const;
  std::string Received() const;  // every byte received, in order
  std::string Sent() const;      // every byte sent, in order
  Counters GetCounters() const;
  // Blocks until at least `count` bytes have been received or timeoutMs passes.
  bool WaitForReceived(std::size_t count, int timeoutMs) const;
  // Blocks until `predicate(counters)` holds or timeoutMs passes.
  bool WaitForCounters(const std::function<bool(const Counters&)>& predicate, int timeoutMs) const;

  // Feeds bytes to the parser as if they had been received (the serving loop does this; tests
  // of a stopped simulator may too).
  void Feed(std::string_view bytes);

 private:
  using Clock = std::chrono::steady_clock;
  enum class ParseState {
    kIdle,
    kAfterEot,
    kInFrame,
    kAfterEtx,
    kAfterSyn,        // SYN outside a binary frame
    kInBinaryFrame,   // after SYN STX
    kBinaryFrameSyn,  // SYN inside a binary frame
    kBinaryAfterEtx,  // SYN ETX seen: the BCC comes next
  };
  struct Pending {
    Clock::time_point due;
    std::string bytes;
    bool pollReply = false;  // the reply to a poll
  };

  void Loop();
  int NextTimeoutMs(Clock::time_point now) const;
  void OnTimers(Clock::time_point now);
  void ArmDsrDrop();

  // Everything below runs with m_mutex held.
  void FeedByte(char byte, Clock::time_point now);
  void OnCommandFrame();
  void OnDataFrame();
  void OnPoll();
  void OnHostAck();
  void OnHostNak();
  void FlushRaw();
  void ResetExchange();
  bool Acknowledge(bool goodBcc, bool isData);
  void OnBinaryFrame(uint8_t bcc);
  void OnBrokenBinaryFrame(char byte);
  void AppendBinaryData(char byte);
  void OnBinaryHostAck();
  void OnBinaryHostNak();
  bool AcknowledgeBinary(bool goodBcc);
  bool SendReportLocked(std::string_view payload);
  bool SendHfReplyLocked();
  bool SendReplyFrame(std::string_view payload, int delayMs, bool pollReply = false);
  bool WriteLocked(std::string_view bytes);
  // Writes now, or after delayMs when on the serving thread; queued bytes keep their order.
  bool DeliverLocked(std::string_view bytes, int delayMs, bool pollReply = false);
  bool PollReplyPending() const;
  void ResetParser();
  void Log(Direction direction, std::string_view bytes);
  void Note(std::string text) { Log(Direction::kNote, text); }

  std::unique_ptr<Endpoint> m_endpoint;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  platform::WakeEvent m_rearm;  // wakes the serving loop to recompute its timers

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  Config m_config;
  LogSink m_sink;
  std::vector<LogEvent> m_events;
  std::size_t m_receivedCount = 0;
  Counters m_counters;

  ParseState m_state = ParseState::kIdle;
  bool m_frameIsCommand = false;
  std::string m_frame;  // the frame being received, from its STX
  std::string m_raw;    // the raw block being received
  Clock::time_point m_rawDeadline;

  int m_unansweredLeft = 0;
  int m_busyLeft = 0;
  int m_wrongBccLeft = 0;
  int m_dataNakLeft = 0;
  std::string m_lastReply;  // payload of the last reply frame, for a host NAK
  bool m_awaitingHostAck = false;
  std::deque<Pending> m_pending;  // delayed reply frames, oldest first

  int m_binaryWrongBccLeft = 0;
  std::optional<std::string> m_lastReport;  // payload of the last report, for a host SYN NAK
  bool m_awaitingReportAck = false;
  std::optional<Clock::time_point> m_dsrDropAt;
};

}  // namespace linvo::sim

// The device side of the text protocol, for tests, demos and benchmarks.
//
// The simulator reads the host's byte stream from an Endpoint, parses it incrementally and
// answers as a device would:
//   EOT STX c1 c2 params ETX BCC  command frame  -> ACK / NAK (by the ACK mode), arms a response
//   EOT ENQ                       poll           -> response frame STX letter st1 st2 cd1 cd2
//                                                   data ETX BCC ('B' while busy)
//   STX data ETX BCC              data frame     -> ACK / NAK, then the data reply frame and/or
//                                                   the HF reply frames when configured
//   ACK                                          -> ends the wait for the host's ACK of a reply
//   NAK                                          -> the last reply frame is sent again
//   anything else                 raw data       -> one block per quiet gap; ACKed when ackRaw
// Frames are not escaped: an STX inside a frame restarts it (as a command frame when EOT came
// right before it), the byte after ETX is the BCC whatever its value, and a frame not yet
// complete waits for its remaining bytes however they are split across reads.
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

#include "sim/endpoint.h"

namespace linvo::sim {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
inline constexpr char kEot = 0x04;
inline constexpr char kEnq = 0x05;
inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;

// How command and data frames (and raw blocks with ackRaw) are acknowledged.
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
  int busyPolls = 0;         // answer 'B' to the first N polls after a command
  int wrongBcc = 0;          // the first K reply frames after a command or data frame carry a
                             // wrong BCC (each host NAK gets the frame again)
  bool silentPolls = false;  // never answer polls
  int garbage = 0;           // bytes of line noise (never STX) before each frame sent
  int delayMs = 0;           // pause before each reply frame (acknowledgements stay immediate)
  int dataNak = 0;           // NAK the first N good data frames (and raw blocks), then ACK
  // Sent after ACKing a data frame: STX dataReply ETX BCC; then the host's ACK is expected.
  std::optional<std::string> dataReply;
  bool expectHostAck = true;
  // HF reply after ACKing a data frame (after the data reply when both are set), or on demand:
  // 0 = none, 1 = hfFirst, 2 = hfFirst then hfSecond.
  int hfParts = 0;
  HfFrameSpec hfFirst;
  HfFrameSpec hfSecond;
  bool ackRaw = false;                   // acknowledge each raw (unframed) block after a quiet gap
  int rawGapMs = 3;                      // the quiet gap that ends a raw block
  std::vector<std::string> unsolicited;  // byte strings for SendUnsolicited()
  bool keepHistory = true;               // keep every event for Events()/Received()/Sent()
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
  int repliesAcked = 0;  // data replies the host acknowledged
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

// XOR of the bytes after the first STX up to and including the first ETX after it (STX bytes
// are skipped; without ETX all bytes after the STX count), as the host computes it.
uint8_t BlockCheck(std::string_view bytes);
// STX payload ETX BCC.
std::string MakeFrame(std::string_view payload);

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

  // Replaces the configuration while running; the busy, wrong-BCC and data-NAK counts start
  // again from the new values.
  void SetConfig(const Config& config);
  Config GetConfig() const;

  // Sends bytes as they are. False when the line failed.
  bool SendRaw(std::string_view bytes);
  // Sends config.unsolicited[index]; false for an index out of range.
  bool SendUnsolicited(std::size_t index);
  // Sends the configured HF reply (hfParts frames; nothing when 0) as reply frames.
  bool SendHfReply();
  // Sends STX payload ETX BCC as a reply frame: garbage and wrong BCC apply, the delay does not
  // (frames sent on demand go out at once), and a host NAK gets it again.
  bool SendFrame(std::string_view payload);

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
  enum class ParseState { kIdle, kAfterEot, kInFrame, kAfterEtx };
  struct Pending {
    Clock::time_point due;
    std::string bytes;
  };

  void Loop();
  int NextTimeoutMs(Clock::time_point now) const;
  void OnTimers(Clock::time_point now);

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
  bool SendHfReplyLocked();
  bool SendReplyFrame(std::string_view payload);
  bool WriteLocked(std::string_view bytes);
  bool DeliverLocked(std::string_view bytes);
  void Log(Direction direction, std::string_view bytes);
  void Note(std::string text) { Log(Direction::kNote, text); }

  std::unique_ptr<Endpoint> m_endpoint;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};

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

  int m_busyLeft = 0;
  int m_wrongBccLeft = 0;
  int m_dataNakLeft = 0;
  std::string m_lastReply;  // payload of the last reply frame, for a host NAK
  bool m_awaitingHostAck = false;
  std::deque<Pending> m_pending;  // delayed reply frames, oldest first
};

}  // namespace linvo::sim

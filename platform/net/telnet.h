// The telnet stream of a network serial line and its COM-PORT-OPTION messages: pure code, no I/O.
//
// The wire carries data bytes with 0xFF (IAC) doubled, option negotiation (IAC WILL/WONT/DO/DONT
// option) and subnegotiations (IAC SB option payload IAC SE, the payload's 0xFF doubled). The
// COM-PORT-OPTION (44) subnegotiations set and report the serial line at the server: a client
// sends command n, the server answers or notifies with n + 100.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace linvo::platform::telnet {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Commands.
inline constexpr uint8_t kSe = 240, kNop = 241, kSb = 250, kWill = 251, kWont = 252, kDo = 253,
                         kDont = 254, kIac = 255;
// Options.
inline constexpr uint8_t kOptionBinary = 0, kOptionEcho = 1, kOptionSuppressGoAhead = 3,
                         kOptionComPort = 44;

// COM-PORT-OPTION commands as a client sends them; the server's answers carry kServerOffset more.
enum ComPortCommand : uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
inline constexpr uint8_t kServerOffset = 100;

// Values of SET-PARITY, SET-STOPSIZE, SET-CONTROL and PURGE-DATA.
enum : uint8_t { kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4, kParitySpace = 5 };
enum : uint8_t { kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3 };
enum : uint8_t {
  kControlOutNone = 1,
  kControlOutXonXoff = 2,
  kControlOutHardware = 3,
  kControlBreakOn = 5,
  kControlBreakOff = 6,
  kControlDtrOn = 8,
  kControlDtrOff = 9,
  kControlRtsOn = 11,
  kControlRtsOff = 12,
  kControlInNone = 14,
  kControlInXonXoff = 15,
  kControlInHardware = 16,
  kControlOutDsr = 19,
};
enum : uint8_t { kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3 };
// NOTIFY-LINESTATE bits.
enum : uint8_t {
  kLineBreak = 0x10,
  kLineFraming = 0x08,
  kLineParity = 0x04,
  kLineOverrun = 0x02,
};
// NOTIFY-MODEMSTATE: the high nibble is the lines (carrier 0x80, ring 0x40, DSR 0x20, CTS 0x10,
// the same bits as the modem status of platform/serial.h), the low nibble their changes.
inline constexpr uint8_t kModemLines = 0xF0;

// Appends data bytes to the wire, 0xFF doubled.
void AppendData(Bytes& wire, ByteView data);
// IAC verb option.
void AppendOption(Bytes& wire, uint8_t verb, uint8_t option);
// IAC SB 44 command value IAC SE, the value's 0xFF doubled.
void AppendComPort(Bytes& wire, uint8_t command, ByteView value);
// A SET-BAUDRATE value: the rate as four bytes, most significant first.
std::array<uint8_t, 4> BaudRateValue(uint32_t baud);

// What the stream carried besides data: an option verb, a subnegotiation, another command.
struct Event {
  enum class Kind : uint8_t { kOption, kSubnegotiation, kCommand };
  Kind kind = Kind::kCommand;
  uint8_t code = 0;    // kOption: the verb; kCommand: the command byte
  uint8_t option = 0;  // kOption, kSubnegotiation: the option
  Bytes payload;       // kSubnegotiation: what followed the option, undoubled
  // kSubnegotiation: an IAC followed by neither IAC nor SE ended it; it says nothing that can be
  // trusted.
  bool malformed = false;
};

// Splits a telnet stream into data and events, across any cut of the stream into pieces.
// Subnegotiations are bounded: one longer than kMaxSubnegotiation breaks the stream (Broken()),
// which from then on yields nothing: no telnet peer sends such a thing, and a subnegotiation
// whose end never comes would otherwise swallow the data for good. Carriage returns are passed as they are: the line negotiates BINARY, which turns the NVT's
// CR NUL rule off.
class Decoder {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 256;

  // Appends the data bytes of `wire` to *data and its events to *events.
  void Feed(ByteView wire, Bytes* data, std::vector<Event>* events);
  // True while a command or a subnegotiation is cut off (the stream ended inside it).
  bool InsideCommand() const { return m_state != State::kData; }
  bool Broken() const { return m_state == State::kBroken; }

 private:
  enum class State : uint8_t { kData, kCommand, kVerb, kSubOption, kSub, kSubIac, kBroken };
  void EndSubnegotiation(bool malformed, std::vector<Event>* events);
  // Adds a payload byte; false when that breaks the bound (the stream is then broken).
  bool AddToSubnegotiation(uint8_t b);

  State m_state = State::kData;
  uint8_t m_verb = 0;
  Event m_sb;
};

// The option negotiation of a client that wants BINARY and SUPPRESS-GO-AHEAD both ways and
// offers COM-PORT-OPTION; it refuses every other option (and the server's ECHO). Replies follow
// the rule that keeps two parties from looping: an answer only for a request that changes a state.
class Negotiation {
 public:
  enum class State : uint8_t { kOff, kRequested, kOn };

  // The opening requests.
  Bytes Start();
  // The reply (possibly nothing) to the server's IAC verb option.
  Bytes Receive(uint8_t verb, uint8_t option);

  State Local(uint8_t option) const { return m_local[option]; }    // we WILL
  State Remote(uint8_t option) const { return m_remote[option]; }  // they WILL
  // The server answered the COM-PORT offer: kOn (accepted), kOff (refused) or still kRequested.
  State ComPort() const { return m_local[kOptionComPort]; }

 private:
  std::array<State, 256> m_local{};
  std::array<State, 256> m_remote{};
};

// A COM-PORT-OPTION message from the server, decoded from a subnegotiation's payload (the bytes
// after the option).
struct ComPortMessage {
  uint8_t command = 0;  // the client command it answers or notifies (the server's code - 100)
  uint32_t value = 0;   // the rate for SET-BAUDRATE, else the single value byte (0 when none)
};
// The message, or nothing for a payload that is no well-formed server message (an unknown
// command, a client's command, a value of the wrong length). The signature is not interpreted.
std::optional<ComPortMessage> ParseComPortMessage(ByteView payload);

}  // namespace linvo::platform::telnet

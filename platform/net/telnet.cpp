#include "platform/net/telnet.h"

namespace linvo::platform::telnet {

void AppendData(Bytes& wire, ByteView data) {
  for (const uint8_t b : data) {
    wire.push_back(b);
    if (b == kIac) wire.push_back(kIac);
  }
}

void AppendOption(Bytes& wire, uint8_t verb, uint8_t option) {
  wire.insert(wire.end(), {kIac, verb, option});
}

void AppendComPort(Bytes& wire, uint8_t command, ByteView value) {
  wire.insert(wire.end(), {kIac, kSb, kOptionComPort});
  const uint8_t commandByte[] = {command};
  AppendData(wire, commandByte);
  AppendData(wire, value);
  wire.insert(wire.end(), {kIac, kSe});
}

std::array<uint8_t, 4> BaudRateValue(uint32_t baud) {
  return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
          static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
}

void Decoder::EndSubnegotiation(bool malformed, std::vector<Event>* events) {
  m_sb.malformed = m_sb.malformed || malformed;
  events->push_back(std::move(m_sb));
  m_sb = Event{};
}

bool Decoder::AddToSubnegotiation(uint8_t b) {
  if (m_sb.payload.size() == kMaxSubnegotiation) {
    m_state = State::kBroken;
    m_sb = Event{};
    return false;
  }
  m_sb.payload.push_back(b);
  return true;
}

void Decoder::Feed(ByteView wire, Bytes* data, std::vector<Event>* events) {
  for (std::size_t i = 0; i < wire.size(); ++i) {
    const uint8_t b = wire[i];
    switch (m_state) {
      case State::kData: {
        // Runs of plain data go in one piece.
        std::size_t end = i;
        while (end < wire.size() && wire[end] != kIac) ++end;
        data->insert(data->end(), wire.begin() + static_cast<std::ptrdiff_t>(i),
                     wire.begin() + static_cast<std::ptrdiff_t>(end));
        if (end < wire.size()) m_state = State::kCommand;
        i = end;
        break;
      }
      case State::kCommand:
        if (b == kIac) {
          data->push_back(kIac);
          m_state = State::kData;
        } else if (b >= kWill) {  // WILL, WONT, DO, DONT
          m_verb = b;
          m_state = State::kVerb;
        } else if (b == kSb) {
          m_state = State::kSubOption;
        } else {  // NOP, GA, a stray SE, ...: nothing for a serial line
          events->push_back(Event{Event::Kind::kCommand, b, 0, {}, false});
          m_state = State::kData;
        }
        break;
      case State::kVerb:
        events->push_back(Event{Event::Kind::kOption, m_verb, b, {}, false});
        m_state = State::kData;
        break;
      case State::kSubOption:
        m_sb = Event{Event::Kind::kSubnegotiation, 0, b, {}, false};
        m_state = State::kSub;
        break;
      case State::kSub:
        if (b == kIac) {
          m_state = State::kSubIac;
        } else if (!AddToSubnegotiation(b)) {
          return;
        }
        break;
      case State::kSubIac:
        if (b == kIac) {
          if (!AddToSubnegotiation(kIac)) return;
          m_state = State::kSub;
        } else if (b == kSe) {
          EndSubnegotiation(false, events);
          m_state = State::kData;
        } else {
          // IAC and a command inside a subnegotiation: the subnegotiation was never ended. It
          // ends here, marked, and the byte is taken as the command it is.
          EndSubnegotiation(true, events);
          m_state = State::kCommand;
          --i;
        }
        break;
      case State::kBroken:
        return;
    }
  }
}

Bytes Negotiation::Start() {
  Bytes wire;
  for (const uint8_t option : {kOptionBinary, kOptionSuppressGoAhead, kOptionComPort}) {
    m_local[option] = State::kRequested;
    AppendOption(wire, kWill, option);
  }
  for (const uint8_t option : {kOptionBinary, kOptionSuppressGoAhead}) {
    m_remote[option] = State::kRequested;
    AppendOption(wire, kDo, option);
  }
  return wire;
}

Bytes Negotiation::Receive(uint8_t verb, uint8_t option) {
  const bool localWanted =
      option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
  const bool remoteWanted = option == kOptionBinary || option == kOptionSuppressGoAhead;
  Bytes reply;
  // One rule for both sides: `state` is ours to keep; `yes`/`no` are the answers we give.
  auto handle = [&reply, option](State& state, bool asked, bool wanted, uint8_t yes, uint8_t no) {
    if (asked) {
      if (state == State::kOn) return;
      if (state == State::kRequested) {
        state = State::kOn;  // the answer to our request
      } else if (wanted) {
        state = State::kOn;
        AppendOption(reply, yes, option);
      } else {
        AppendOption(reply, no, option);
      }
    } else {
      if (state == State::kOff) return;
      // A refusal of our request needs no answer; switching off what was on does.
      if (state == State::kOn) AppendOption(reply, no, option);
      state = State::kOff;
    }
  };
  switch (verb) {
    case kDo:
    case kDont:
      handle(m_local[option], verb == kDo, localWanted, kWill, kWont);
      break;
    case kWill:
    case kWont:
      handle(m_remote[option], verb == kWill, remoteWanted, kDo, kDont);
      break;
    default:
      break;
  }
  return reply;
}

std::optional<ComPortMessage> ParseComPortMessage(ByteView payload) {
  if (payload.empty() || payload[0] < kServerOffset) return std::nullopt;
  const uint8_t command = static_cast<uint8_t>(payload[0] - kServerOffset);
  const ByteView value = payload.subspan(1);
  ComPortMessage message{command, 0};
  switch (command) {
    case kSignature:
      return message;
    case kSetBaudRate:
      if (value.size() != 4) return std::nullopt;
      message.value = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) |
                      (uint32_t{value[2]} << 8) | value[3];
      return message;
    case kFlowControlSuspend:
    case kFlowControlResume:
      if (!value.empty()) return std::nullopt;
      return message;
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
    case kSetControl:
    case kNotifyLineState:
    case kNotifyModemState:
    case kSetLineStateMask:
    case kSetModemStateMask:
    case kPurgeData:
      if (value.size() != 1) return std::nullopt;
      message.value = value[0];
      return message;
    default:
      return std::nullopt;
  }
}

}  // namespace linvo::platform::telnet

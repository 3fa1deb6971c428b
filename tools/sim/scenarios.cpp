#include "sim/scenarios.h"

#include <charconv>
#include <sstream>

namespace linvo::sim {

namespace {

constexpr int kMaxNumber = 1000000;

const std::vector<ScenarioInfo> kScenarios = {
    {"default", "ACK frames with a good BCC, NAK others; answer polls 'A' \"00\" \"00\", no data"},
    {"busy", "answer 'B' to the first 2 polls after a command, then the response"},
    {"nak", "NAK every command and data frame"},
    {"silent", "answer nothing at all (text and binary)"},
    {"silent-polls", "ACK commands but never answer polls"},
    {"wrong-bcc", "send the first 2 reply frames after a command or data frame with a wrong BCC"},
    {"garbage", "send 8 bytes of line noise before every frame"},
    {"data-reply", "after ACKing a data frame reply STX \"OK\" ETX BCC and expect the host's ACK"},
    {"hf", "after ACKing a data frame reply one HF frame '0' \"00\" \"00\" \"HFDATA\""},
    {"hf-two-part", "HF reply in two frames: '0' \"05\" \"02\", then '0' \"00\" \"00\" \"HFDATA\""},
    {"ack-raw", "ACK each unframed data block after a 3 ms quiet gap"},
    {"slow-polls", "leave the first poll after a command unanswered, answer 'B' to the next 2"},
    {"binary-nak", "answer every binary command frame with SYN NAK"},
    {"binary-silent", "answer no binary command frame"},
    {"binary-wrong-bcc", "send the first 2 reports after a binary command with a wrong BCC"},
    {"no-report", "answer a binary command frame with SYN ACK only, send no report"},
    {"raw-echo", "echo every byte received at once, unchanged; parse nothing"},
};

bool ParseNumber(std::string_view text, int* value) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > kMaxNumber) {
    return false;
  }
  *value = v;
  return true;
}

// "R,RESP,STAT[,DATA]": the data is everything after the third comma (it may hold commas).
bool ParseHf(std::string_view text, HfFrameSpec* spec, std::string* error) {
  std::string bytes;
  if (!DecodeEscapes(text, &bytes, error)) return false;
  std::vector<std::string> parts;
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = bytes.find(',', pos);
    if (comma == std::string::npos) {
      parts.push_back(bytes.substr(pos));
      pos = bytes.size() + 1;
      break;
    }
    parts.push_back(bytes.substr(pos, comma - pos));
    pos = comma + 1;
  }
  if (parts.size() < 3 || parts[0].size() != 1 || parts[1].size() != 2 || parts[2].size() != 2) {
    *error = "expected RESERVE,RESP,STAT[,DATA] with 1, 2 and 2 characters";
    return false;
  }
  spec->reserve = parts[0][0];
  spec->resp = parts[1];
  spec->stat = parts[2];
  spec->data = pos <= bytes.size() ? bytes.substr(pos) : "";
  return true;
}

// Splits "--name=value" and looks up whether the option takes a value.
struct OptionCursor {
  explicit OptionCursor(const std::vector<std::string>& list) : args(list) {}

  const std::vector<std::string>& args;
  std::size_t index = 0;
  std::string name;
  std::string inlineValue;
  bool hasInline = false;

  bool Next() {
    if (index >= args.size()) return false;
    const std::string& arg = args[index++];
    const std::size_t eq = arg.find('=');
    hasInline = arg.rfind("--", 0) == 0 && eq != std::string::npos;
    name = hasInline ? arg.substr(0, eq) : arg;
    inlineValue = hasInline ? arg.substr(eq + 1) : "";
    return true;
  }
  bool Value(std::string* value, std::string* error) {
    if (hasInline) {
      *value = inlineValue;
      return true;
    }
    if (index >= args.size()) {
      *error = name + ": missing value";
      return false;
    }
    *value = args[index++];
    return true;
  }
};

// Applies one device option at the cursor. Returns 1 when applied, 0 when the option is not a
// device option, -1 on a bad value (*error set).
int ApplyConfigOption(OptionCursor& cur, Config* config, std::string* error) {
  const std::string& name = cur.name;
  std::string value;
  auto fail = [&](const std::string& why) {
    *error = name + (value.empty() ? "" : " " + value) + ": " + why;
    return -1;
  };
  auto text = [&](std::string* out) {
    std::string why;
    return DecodeEscapes(value, out, &why);
  };
  auto flag = [&](bool* out) {
    if (cur.hasInline) return fail("takes no value");
    *out = true;
    return 1;
  };
  auto number = [&](int* out) {
    if (!cur.Value(&value, error)) return -1;
    if (!ParseNumber(value, out)) {
      return fail("expected a whole number from 0 to " + std::to_string(kMaxNumber));
    }
    return 1;
  };
  auto fixedText = [&](std::string* out, std::size_t size) {
    if (!cur.Value(&value, error)) return -1;
    std::string bytes;
    if (!text(&bytes) || bytes.size() != size) {
      return fail("expected exactly " + std::to_string(size) + " character(s)");
    }
    *out = bytes;
    return 1;
  };
  auto freeText = [&](std::string* out) {
    if (!cur.Value(&value, error)) return -1;
    if (!text(out)) return fail("bad escape (use \\xHH, \\r, \\n, \\t or \\\\)");
    return 1;
  };

  if (name == "--scenario") {
    if (!cur.Value(&value, error)) return -1;
    if (!ApplyScenario(value, config)) return fail("unknown scenario (see --help)");
    return 1;
  }
  if (name == "--ack") {
    if (!cur.Value(&value, error)) return -1;
    if (value == "bcc") {
      config->ackMode = AckMode::kByBcc;
    } else if (value == "nak") {
      config->ackMode = AckMode::kAlwaysNak;
    } else if (value == "silent") {
      config->ackMode = AckMode::kSilent;
    } else {
      return fail("expected bcc, nak or silent");
    }
    return 1;
  }
  if (name == "--letter") {
    std::string letter;
    const int r = fixedText(&letter, 1);
    if (r == 1) config->letter = letter[0];
    return r;
  }
  if (name == "--status") return fixedText(&config->status, 2);
  if (name == "--code") return fixedText(&config->code, 2);
  if (name == "--data") return freeText(&config->data);
  if (name == "--busy") return number(&config->busyPolls);
  if (name == "--wrong-bcc") return number(&config->wrongBcc);
  if (name == "--silent-polls") return flag(&config->silentPolls);
  if (name == "--garbage") return number(&config->garbage);
  if (name == "--delay") return number(&config->delayMs);
  if (name == "--data-nak") return number(&config->dataNak);
  if (name == "--data-reply") {
    std::string reply;
    const int r = freeText(&reply);
    if (r == 1) config->dataReply = reply;
    return r;
  }
  if (name == "--no-host-ack") {
    if (cur.hasInline) return fail("takes no value");
    config->expectHostAck = false;
    return 1;
  }
  if (name == "--hf" || name == "--hf-second") {
    if (!cur.Value(&value, error)) return -1;
    std::string why;
    HfFrameSpec& spec = name == "--hf" ? config->hfFirst : config->hfSecond;
    if (!ParseHf(value, &spec, &why)) return fail(why);
    if (name == "--hf-second") {
      config->hfParts = 2;
    } else if (config->hfParts == 0) {
      config->hfParts = 1;
    }
    return 1;
  }
  if (name == "--unanswered-polls") return number(&config->unansweredPolls);
  if (name == "--hf-gap") return number(&config->hfGapMs);
  if (name == "--binary-report") {
    if (!cur.Value(&value, error)) return -1;
    std::string why;
    if (!DecodeHex(value, &config->binaryReport, &why)) return fail(why);
    return 1;
  }
  if (name == "--binary-nak-always" || name == "--binary-silent") {
    if (cur.hasInline) return fail("takes no value");
    config->binaryAckMode = name == "--binary-silent" ? AckMode::kSilent : AckMode::kAlwaysNak;
    return 1;
  }
  if (name == "--binary-wrong-bcc") return number(&config->binaryWrongBcc);
  if (name == "--binary-report-delay") return number(&config->binaryReportDelayMs);
  if (name == "--no-report") {
    if (cur.hasInline) return fail("takes no value");
    config->binaryReportOn = false;
    return 1;
  }
  if (name == "--raw-echo") return flag(&config->rawEcho);
  if (name == "--ack-raw") return flag(&config->ackRaw);
  if (name == "--raw-gap") return number(&config->rawGapMs);
  if (name == "--unsolicited") {
    std::string bytes;
    const int r = freeText(&bytes);
    if (r == 1) config->unsolicited.push_back(bytes);
    return r;
  }
  return 0;
}

// Applies one option of the served serial line. Returns 1 when applied, 0 when the option is not a
// line option, -1 on a bad value (*error set).
int ApplyLineOption(OptionCursor& cur, LineSettings* line, std::string* error) {
  const std::string& name = cur.name;
  if (name != "--baud" && name != "--data-bits" && name != "--parity") return 0;
  std::string value;
  if (!cur.Value(&value, error)) return -1;
  auto fail = [&](const std::string& why) {
    *error = name + " " + value + ": " + why;
    return -1;
  };
  if (name == "--baud") {
    uint32_t baud = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), baud);
    if (ec != std::errc() || end != value.data() + value.size() || baud == 0) {
      return fail("expected a line speed in bits per second");
    }
    line->baudRate = baud;
  } else if (name == "--data-bits") {
    if (value != "7" && value != "8") return fail("expected 7 or 8");
    line->byteSize = static_cast<uint8_t>(value[0] - '0');
  } else if (value == "N" || value == "n") {
    line->parity = platform::kNoParity;
  } else if (value == "E" || value == "e") {
    line->parity = platform::kEvenParity;
  } else if (value == "O" || value == "o") {
    line->parity = platform::kOddParity;
  } else {
    return fail("expected N, E or O");
  }
  return 1;
}

}  // namespace

const std::vector<ScenarioInfo>& Scenarios() { return kScenarios; }

bool ApplyScenario(std::string_view name, Config* config) {
  if (name == "default") {
    // Whatever the program itself chose (history) survives a reset of the device's behaviour.
    const bool keepHistory = config->keepHistory;
    *config = Config{};
    config->keepHistory = keepHistory;
  } else if (name == "busy") {
    config->busyPolls = 2;
  } else if (name == "nak") {
    config->ackMode = AckMode::kAlwaysNak;
  } else if (name == "silent") {
    config->ackMode = AckMode::kSilent;
    config->silentPolls = true;
    config->binaryAckMode = AckMode::kSilent;
  } else if (name == "silent-polls") {
    config->silentPolls = true;
  } else if (name == "wrong-bcc") {
    config->wrongBcc = 2;
  } else if (name == "garbage") {
    config->garbage = 8;
  } else if (name == "data-reply") {
    config->dataReply = "OK";
    config->expectHostAck = true;
  } else if (name == "hf") {
    config->hfParts = 1;
    config->hfFirst = {'0', "00", "00", "HFDATA"};
  } else if (name == "hf-two-part") {
    config->hfParts = 2;
    config->hfFirst = {'0', "05", "02", ""};
    config->hfSecond = {'0', "00", "00", "HFDATA"};
  } else if (name == "ack-raw") {
    config->ackRaw = true;
    config->rawGapMs = 3;
  } else if (name == "slow-polls") {
    config->unansweredPolls = 1;
    config->busyPolls = 2;
  } else if (name == "binary-nak") {
    config->binaryAckMode = AckMode::kAlwaysNak;
  } else if (name == "binary-silent") {
    config->binaryAckMode = AckMode::kSilent;
  } else if (name == "binary-wrong-bcc") {
    config->binaryWrongBcc = 2;
  } else if (name == "no-report") {
    config->binaryReportOn = false;
  } else if (name == "raw-echo") {
    config->rawEcho = true;
  } else {
    return false;
  }
  return true;
}

// The byte that two hex digits at text[i] spell, when both are there.
static bool HexPairAt(std::string_view text, std::size_t i, unsigned* value) {
  if (i + 2 > text.size()) return false;
  const char* begin = text.data() + i;
  const auto [end, ec] = std::from_chars(begin, begin + 2, *value, 16);
  return ec == std::errc() && end == begin + 2;
}

bool DecodeEscapes(std::string_view text, std::string* bytes, std::string* error) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 >= text.size()) {
      *error = "a lone backslash at the end";
      return false;
    }
    const char e = text[++i];
    if (e == '\\') {
      out += '\\';
    } else if (e == 'r') {
      out += '\r';
    } else if (e == 'n') {
      out += '\n';
    } else if (e == 't') {
      out += '\t';
    } else if (e == 'x') {
      unsigned value = 0;
      if (!HexPairAt(text, i + 1, &value)) {
        *error = "\\x needs two hex digits";
        return false;
      }
      out += static_cast<char>(value);
      i += 2;
    } else {
      *error = std::string("unknown escape \\") + e;
      return false;
    }
  }
  *bytes = std::move(out);
  return true;
}

bool DecodeHex(std::string_view text, std::string* bytes, std::string* error) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == ':') {
      ++i;
      continue;
    }
    unsigned value = 0;
    if (!HexPairAt(text, i, &value)) {
      *error = "expected pairs of hex digits (\"41 16 42\" or \"411642\")";
      return false;
    }
    out += static_cast<char>(value);
    i += 2;
  }
  *bytes = std::move(out);
  return true;
}

bool ParseConfigOptions(const std::vector<std::string>& args, Config* config, std::string* error) {
  OptionCursor cur(args);
  while (cur.Next()) {
    const int r = ApplyConfigOption(cur, config, error);
    if (r < 0) return false;
    if (r == 0) {
      *error = cur.name + ": unknown option (see --help)";
      return false;
    }
  }
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, ProgramOptions* options,
                  std::string* error) {
  ProgramOptions result;
  // The program serves only through its log sink; the history would grow without end.
  result.config.keepHistory = false;
  std::string lineOption;  // the first line option given: they need --port
  OptionCursor cur(args);
  while (cur.Next()) {
    int r = ApplyConfigOption(cur, &result.config, error);
    if (r == 0) {
      r = ApplyLineOption(cur, &result.line, error);
      if (r > 0 && lineOption.empty()) lineOption = cur.name;
    }
    if (r < 0) return false;
    if (r > 0) continue;
    if (cur.name == "--help" || cur.name == "-h") {
      result.help = true;
    } else if (cur.name == "--verbose" || cur.name == "-v") {
      result.verbose = true;
    } else if (cur.name == "--stdin-control") {
      result.stdinControl = true;
    } else if (cur.name == "--log") {
      if (!cur.Value(&result.logFile, error)) return false;
      if (result.logFile.empty()) {
        *error = "--log: empty file name";
        return false;
      }
    } else if (cur.name == "--port") {
      if (!cur.Value(&result.port, error)) return false;
      if (result.port.empty()) {
        *error = "--port: empty device name";
        return false;
      }
    } else {
      *error = cur.name + ": unknown option (see --help)";
      return false;
    }
  }
  if (!lineOption.empty() && result.port.empty()) {
    *error = lineOption + ": sets the line of --port, which is not given";
    return false;
  }
  *options = std::move(result);
  return true;
}

std::string UsageText() {
  std::ostringstream out;
  out << "Usage: linvo-sim [--scenario NAME] [options] [--port DEVICE [line options]]\n"
         "                 [--log FILE] [--verbose]\n"
         "\n"
         "Plays the device side of the text and binary protocols on a new pseudo-terminal,\n"
         "or with --port on a serial line (the only choice on Windows, which has no\n"
         "pseudo-terminals). Prints \"linvo-sim: serving <device path>\" and serves until\n"
         "SIGINT or SIGTERM, Ctrl+C on Windows (or, with --stdin-control, until standard\n"
         "input ends).\n"
         "\n"
         "A message that starts with SYN (0x16) is binary: SYN STX data SYN ETX BCC is a\n"
         "command frame (0x16 in the data doubled, BCC = XOR of the data ^ 0x03), answered\n"
         "with SYN ACK and the report SYN STX payload SYN ETX BCC, or SYN NAK for a wrong BCC;\n"
         "the host's SYN ACK ends the report, its SYN NAK gets the report again. Other\n"
         "messages are text.\n"
         "\n"
         "Scenarios (--scenario NAME; scenarios and options apply in the order given, each\n"
         "changing only its own settings; \"default\" restores them all):\n";
  for (const ScenarioInfo& s : kScenarios) {
    std::string name(s.name);
    // A name too long for the column gets its description on the next line.
    name += name.size() <= 12 ? std::string(14 - name.size(), ' ') : "\n" + std::string(16, ' ');
    out << "  " << name << s.description << "\n";
  }
  out << "\n"
         "Text protocol options (TEXT accepts \\xHH, \\r, \\n, \\t and \\\\ escapes):\n"
         "  --ack bcc|nak|silent   how command and data frames are acknowledged (bcc)\n"
         "  --letter C             status letter of the response (A)\n"
         "  --status XX            communication status of the response (00)\n"
         "  --code XX              error or sense code of the response (00)\n"
         "  --data TEXT            response data (none)\n"
         "  --unanswered-polls N   leave the first N polls after each command unanswered\n"
         "  --busy N               then answer 'B' to the next N polls\n"
         "  --wrong-bcc K          first K reply frames after a command or data frame carry a\n"
         "                         wrong BCC; each host NAK gets the frame again\n"
         "  --silent-polls         never answer polls\n"
         "  --garbage G            G bytes of line noise (never STX) before every text frame\n"
         "  --delay MS             pause before each reply frame (acknowledgements are\n"
         "                         immediate); a poll that comes while the reply to an earlier\n"
         "                         poll is held back gets no second reply\n"
         "  --data-nak N           NAK the first N good data frames (and raw blocks)\n"
         "  --data-reply TEXT      after ACKing a data frame send STX TEXT ETX BCC\n"
         "  --no-host-ack          do not expect the host's ACK of the data reply\n"
         "  --hf R,RESP,STAT[,DATA]         after ACKing a data frame send this HF frame\n"
         "  --hf-second R,RESP,STAT[,DATA]  and this second HF frame (a two-part reply)\n"
         "  --hf-gap MS            pause between the two frames of a two-part HF reply\n"
         "  --ack-raw              ACK each unframed data block after a quiet gap\n"
         "  --raw-gap MS           the quiet gap that ends an unframed block (3)\n"
         "  --unsolicited TEXT     bytes to send on demand (repeatable; see \"send N\")\n"
         "\n"
         "Binary protocol options (HEX: pairs of hex digits, \"4116\" or \"41 16\"):\n"
         "  --binary-report HEX    the report's payload (30 30); 0x16 is doubled on the wire\n"
         "  --binary-nak-always    answer every binary command frame with SYN NAK\n"
         "  --binary-silent        answer no binary command frame\n"
         "  --binary-wrong-bcc K   first K reports after a binary command carry a wrong BCC;\n"
         "                         each host SYN NAK gets the report again\n"
         "  --binary-report-delay MS  pause before each report (SYN ACK/NAK are immediate)\n"
         "  --no-report            answer a good command frame with SYN ACK only\n"
         "  --raw-echo             echo every byte received at once, unchanged, and parse\n"
         "                         nothing (unframed binary data, throughput measurements)\n"
         "Without --raw-echo, unframed binary data goes through the parser like any other\n"
         "bytes (a SYN, STX or EOT in it starts a message).\n"
         "\n"
         "Modem lines (CTS, DSR, RLSD, RING), line errors and the host's DTR, RTS and break\n"
         "exist only on the in-process virtual line that the simulator library serves; a\n"
         "pseudo-terminal has none, and on a serial line this program keeps DTR and RTS up,\n"
         "so it cannot set or read them.\n"
         "\n"
         "Serial line (a null-modem cable to the host; DTR and RTS are raised, no flow\n"
         "control):\n"
         "  --port DEVICE          serve this line: /dev/ttyUSB0, COM6 (Windows)\n"
         "  --baud N               line speed (9600)\n"
         "  --data-bits 7|8        (8)\n"
         "  --parity N|E|O         (E)\n"
         "\n"
         "Program options:\n"
         "  --log FILE             log every byte received (<<) and sent (>>) to FILE\n"
         "  --verbose, -v          log to standard error\n"
         "  --stdin-control        read commands from standard input; stop when it ends:\n"
         "                           send N        send the N-th --unsolicited text (from 0)\n"
         "                           raw TEXT      send TEXT as it is\n"
         "                           frame TEXT    send STX TEXT ETX BCC\n"
         "                           hf            send the configured HF reply\n"
         "                           report [HEX]  send a binary report (HEX, or the\n"
         "                                         configured payload)\n"
         "                           set OPTIONS   apply device options (\"set --busy 3\")\n"
         "                           quit          stop serving\n"
         "  --help, -h             this text\n";
  return out.str();
}

bool RunControlLine(DeviceSimulator& simulator, std::string_view line, bool* quit,
                    std::string* error) {
  *quit = false;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.empty()) return true;
  const std::size_t space = line.find(' ');
  const std::string_view command = line.substr(0, space);
  const std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);

  if (command == "quit") {
    *quit = true;
    return true;
  }
  if (command == "hf") {
    if (simulator.SendHfReply()) return true;
    *error = "write failed";
    return false;
  }
  if (command == "raw" || command == "frame") {
    std::string bytes;
    if (!DecodeEscapes(rest, &bytes, error)) return false;
    const bool ok = command == "raw" ? simulator.SendRaw(bytes) : simulator.SendFrame(bytes);
    if (!ok) *error = "write failed";
    return ok;
  }
  if (command == "report") {
    std::string payload = simulator.GetConfig().binaryReport;
    if (!rest.empty() && !DecodeHex(rest, &payload, error)) {
      *error = "report: " + *error;
      return false;
    }
    if (simulator.SendBinaryReport(payload)) return true;
    *error = "write failed";
    return false;
  }
  if (command == "send") {
    int index = 0;
    if (!ParseNumber(rest, &index)) {
      *error = "send: expected the number of an --unsolicited text";
      return false;
    }
    if (!simulator.SendUnsolicited(static_cast<std::size_t>(index))) {
      *error = "send " + std::string(rest) + ": no such --unsolicited text, or write failed";
      return false;
    }
    return true;
  }
  if (command == "set") {
    std::vector<std::string> args;
    std::istringstream words{std::string(rest)};
    for (std::string word; words >> word;) args.push_back(word);
    Config config = simulator.GetConfig();
    if (!ParseConfigOptions(args, &config, error)) return false;
    simulator.SetConfig(config);
    return true;
  }
  *error =
      "unknown command \"" + std::string(command) + "\" (send, raw, frame, hf, report, set, quit)";
  return false;
}

}  // namespace linvo::sim

// linvo-demo: one round of the text protocol through a CLinvoCtrl, for a person to watch.
//
// It makes a private work directory, writes Linvo.ini there (trace to a file, the chosen COM
// number mapped to the device) and, from that directory, sets the control's properties, opens
// the port, runs a command exchange, a data exchange and a command whose response comes back as
// an event, closes the port and prints the result properties and the trace file the engine
// wrote. By default the device is the simulator, running in this process on a new
// pseudo-terminal; --device runs against another device instead.
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "control/linvo_ctrl.h"
#include "engine/comm_port.h"
#include "engine/result_codes.h"
#include "platform/message.h"
#include "platform/paths.h"
#include "platform/serial.h"
#include "portapi/port_table.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"

namespace {

namespace fs = std::filesystem;
using linvo::engine::Result;

constexpr const char* kUsage =
    "Usage: linvo-demo [options]\n"
    "\n"
    "Drives a serial port through a linvo control: sets its properties, opens the port, sends\n"
    "a command and reads its response (lvoSendCommandRR), sends a data frame and reads the\n"
    "reply (lvoSendDataBCCRR), sends the command again with the response received in the\n"
    "background and delivered as an event (lvoReceiveResponseEvent), closes the port and\n"
    "prints the result properties and the trace file the library wrote. Without --device\n"
    "the device is the linvo simulator, started in this process on a new pseudo-terminal.\n"
    "Exit status: 0 when every exchange succeeded, 1 when one failed, 2 for a bad option.\n"
    "\n"
    "Options:\n"
    "  --device PATH    run against this device (a real port or another simulator's\n"
    "                   pseudo-terminal); no simulator is started\n"
    "  --port N         the port number COMN to map to the device, 1..256 (7)\n"
    "  --baud N         baud rate (9600)\n"
    "  --command CC     the two-character command to send (S1)\n"
    "  --data TEXT      the data frame to send (HELLO)\n"
    "  --timeout MS     ACK and response time-out in milliseconds (1000)\n"
    "  --keep           keep the work directory (Linvo.ini and the trace file)\n"
    "  --help, -h       this text\n";

struct Options {
  std::string device;  // empty: start the simulator
  int port = 7;
  int baud = 9600;
  std::string command = "S1";
  std::string data = "HELLO";
  int timeoutMs = 1000;
  bool keep = false;
  bool help = false;
};

bool ParseInt(std::string_view text, int low, int high, int* value) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < low || v > high) return false;
  *value = v;
  return true;
}

// Parses the command line; false with *error naming the option.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const std::size_t eq = name.find('=');
        name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto flag = [&] {
      if (value) *error = name + " takes no value";
      return !value;
    };
    if (name == "--help" || name == "-h") {
      if (!flag()) return false;
      options->help = true;
      continue;
    }
    if (name == "--keep") {
      if (!flag()) return false;
      options->keep = true;
      continue;
    }
    if (name != "--device" && name != "--port" && name != "--baud" && name != "--command" &&
        name != "--data" && name != "--timeout") {
      *error = "unknown option " + name;
      return false;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    bool ok = true;
    if (name == "--device") {
      // The path goes into Linvo.ini as one line.
      ok = !value->empty() && value->find_first_of("\r\n") == std::string::npos;
      options->device = *value;
    } else if (name == "--port") {
      ok = ParseInt(*value, 1, linvo::portapi::kMaxPortNo, &options->port);
    } else if (name == "--baud") {
      ok = ParseInt(*value, 1, 4000000, &options->baud);
    } else if (name == "--command") {
      ok = value->size() == 2;
      options->command = *value;
    } else if (name == "--data") {
      // The data is one frame: not empty, no NUL, and within the 16-bit length of the call.
      ok = !value->empty() && value->size() < 5000;
      options->data = *value;
    } else if (name == "--timeout") {
      ok = ParseInt(*value, 1, 600000, &options->timeoutMs);
    }
    if (!ok) {
      *error = "bad value for " + name + ": \"" + *value + "\"";
      return false;
    }
  }
  return true;
}

// What a result code means, in a few words.
const char* Meaning(Result code) {
  static constexpr std::pair<Result, const char*> kMeanings[] = {
      {0, "success"},
      {1, "background operation started"},
      {2, "ACK"},
      {3, "NAK"},
      {10, "response A"},
      {11, "response R"},
      {12, "response B, busy"},
      {20, "cancelled"},
      {30, "refused in this state"},
      {100, "parameter error"},
      {101, "port not open or cannot be opened"},
      {110, "time-out"},
      {111, "CTS time-out"},
      {112, "DSR off"},
      {113, "busy time-out"},
      {120, "BCC error"},
      {130, "buffer over"},
      {140, "port busy"},
      {200, "send error"},
      {201, "receive error"},
  };
  for (const auto& [value, text] : kMeanings) {
    if (value == code) return text;
  }
  return "unknown";
}

// The text in quotes, with bytes outside printable ASCII as \xHH.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

void PrintResult(const std::string& label, Result code) {
  std::printf("%-22s result %d (%s)\n", label.c_str(), code, Meaning(code));
}

void PrintField(const char* label, const std::string& text) {
  std::printf("  %-20s %s\n", label, text.c_str());
}

// A fresh directory under ${TMPDIR:-/tmp}, private to this user.
std::optional<std::string> MakeWorkDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/linvo-demo-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return pattern;
}

void RemoveWorkDirectory(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

// Keeps the events the control fires.
class DemoEvents : public linvo::control::LinvoEvents {
 public:
  void lvoReceiveResponseEvent(int32_t lResponse) override { response = lResponse; }
  std::optional<int32_t> response;
};

// Pumps this thread's messages until the response event came or timeoutMs passed.
bool WaitForResponseEvent(const DemoEvents& events, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!events.response) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    linvo::platform::PumpMessages(static_cast<int>(left));
  }
  return true;
}

void PrintResponse(const linvo::control::CLinvoCtrl& control) {
  const linvo::control::ControlProperties& p = control.Properties();
  PrintField("PollCmdComSts", Quoted(p.PollCmdComSts));
  PrintField("PollCmdErr", Quoted(p.PollCmdErr));
  PrintField("PollCmdSen", Quoted(p.PollCmdSen));
  PrintField("PollCmdResData", Quoted(p.PollCmdResData));
}

// Runs the exchanges through a control; returns the exit status.
int RunExchanges(const Options& options) {
  using linvo::control::FALSE;
  linvo::control::CLinvoCtrl control;
  DemoEvents events;
  control.Advise(&events);
  control.SetPortNo(options.port);
  control.SetBaudRate(options.baud);
  control.SetDataBit("8");
  control.SetParity("N");
  control.SetDSRCheck(FALSE);
  control.SetCTSCheck(FALSE);
  control.SetAutoHandshake(FALSE);
  control.SetTXBufferSize(4096);
  control.SetRXBufferSize(4096);
  control.SetACKTimer(options.timeoutMs);
  control.SetResponseTimer(options.timeoutMs);
  const linvo::control::ControlProperties& p = control.Properties();
  std::printf("Control                PortNo=%d BaudRate=%d DataBit=%s Parity=%s Version=%s\n\n",
              p.PortNo, p.BaudRate, p.DataBit.c_str(), p.Parity.c_str(),
              control.GetVersion().c_str());
  bool ok = true;

  const Result opened = static_cast<Result>(control.lvoOpenPort());
  PrintResult("lvoOpenPort", opened);
  if (opened != linvo::engine::kSuccess) return 1;

  control.SetSendData(options.command);
  const int32_t response = control.lvoSendCommandRR(1, 5 * options.timeoutMs);
  PrintResult("lvoSendCommandRR " + options.command, static_cast<Result>(response));
  // A response frame arrived: its letter decides the code (A and R are final answers).
  const auto responded = [](int32_t code) {
    return code == linvo::engine::kResponseA || code == linvo::engine::kResponseR;
  };
  if (responded(response)) PrintResponse(control);
  ok = ok && responded(response);

  control.SetSendData(options.data);
  const Result sent = static_cast<Result>(control.lvoSendDataBCCRR(0, 2));
  PrintResult("lvoSendDataBCCRR", sent);
  PrintField("SendData", Quoted(options.data));
  if (sent == linvo::engine::kSuccess) {
    PrintField("ReceiveData",
               Quoted(p.ReceiveData) + " (" + std::to_string(p.ReceiveDataLen) + " bytes)");
  }
  ok = ok && sent == linvo::engine::kSuccess;

  // The same command in the background: the response comes as an event while this thread pumps.
  control.SetSendData(options.command);
  const Result started = static_cast<Result>(control.lvoSendCommandRR(2, 5 * options.timeoutMs));
  PrintResult("lvoSendCommandRR(2)", started);
  if (started == linvo::engine::kStarted) {
    if (WaitForResponseEvent(events, 7 * options.timeoutMs)) {
      PrintResult("lvoReceiveResponseEvent", static_cast<Result>(*events.response));
      PrintResponse(control);
      ok = ok && responded(*events.response);
    } else {
      std::printf("lvoReceiveResponseEvent did not come\n");
      ok = false;
    }
  } else {
    ok = false;
  }

  const Result closed = static_cast<Result>(control.lvoClosePort());
  PrintResult("lvoClosePort", closed);
  ok = ok && closed == linvo::engine::kSuccess;
  return ok ? 0 : 1;
}

void PrintTrace(const std::string& workDir, int port) {
  linvo::engine::CCommPort* object = linvo::portapi::PortTable().Find(port);
  std::shared_ptr<linvo::engine::CTraceLog> log = object != nullptr ? object->Log() : nullptr;
  if (!log || log->Mode() == 0) {
    std::printf("\nNo trace was written.\n");
    return;
  }
  // The pattern is a Windows-style path relative to the work directory (".\Linvo007.log").
  std::string path = linvo::platform::NativePath(log->Path());
  if (path.empty() || path[0] != '/') path = workDir + "/" + path;
  path = fs::path(path).lexically_normal().string();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::printf("\nTrace file %s: cannot be read\n", path.c_str());
    return;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::printf("\nTrace file %s:\n%s", path.c_str(), text.str().c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    std::fprintf(stderr, "linvo-demo: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // A relative device path names a file of the directory the user started in.
  if (!options.device.empty()) {
    std::error_code failed;
    const fs::path absolute = fs::absolute(options.device, failed);
    if (!failed) options.device = absolute.string();
  }

  const std::optional<std::string> workDir = MakeWorkDirectory();
  if (!workDir) {
    std::fprintf(stderr, "linvo-demo: cannot create a work directory: %s\n", std::strerror(errno));
    return 1;
  }

  // The simulator serves the master side of the pseudo-terminal; the library opens the slave.
  std::unique_ptr<linvo::platform::PseudoTerminal> pty;
  std::unique_ptr<linvo::sim::DeviceSimulator> simulator;
  std::string device = options.device;
  if (device.empty()) {
    try {
      pty = std::make_unique<linvo::platform::PseudoTerminal>();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "linvo-demo: no pseudo-terminal for the simulator: %s\n", e.what());
      RemoveWorkDirectory(*workDir);
      return 1;
    }
    linvo::sim::Config config;
    config.data = "READY";
    config.dataReply = "OK";
    simulator = std::make_unique<linvo::sim::DeviceSimulator>(
        linvo::sim::MakePtyEndpoint(pty->MasterFd()), config);
    simulator->Start();
    device = pty->SlavePath();
  }

  const std::string comName = "COM" + std::to_string(options.port);
  {
    std::ofstream ini(*workDir + "/Linvo.ini");
    ini << "[Log]\nLogging=1\nLogFileName=.\\Linvo%03d.log\n"
        << "[Ports]\n"
        << comName << "=" << device << "\n";
    if (!ini.flush()) {
      std::fprintf(stderr, "linvo-demo: cannot write %s/Linvo.ini\n", workDir->c_str());
      RemoveWorkDirectory(*workDir);
      return 1;
    }
  }
  // The engine reads Linvo.ini from the current directory, and writes its trace there.
  if (::chdir(workDir->c_str()) != 0) {
    std::fprintf(stderr, "linvo-demo: cannot enter %s: %s\n", workDir->c_str(),
                 std::strerror(errno));
    RemoveWorkDirectory(*workDir);
    return 1;
  }

  std::printf("Device                 %s (%s)\n", device.c_str(),
              simulator ? "simulator in this process" : "given with --device");
  std::printf("Port                   %s\n", comName.c_str());
  std::printf("Work directory         %s\n\n", workDir->c_str());
  std::fflush(stdout);

  const int status = RunExchanges(options);
  if (simulator) simulator->Stop();
  PrintTrace(*workDir, options.port);

  // The process stays in the work directory even when it is removed: the port objects close
  // their trace files with a last line when the library unloads, and that line must not land in
  // whatever directory the user started in.
  std::printf("\n");
  if (options.keep) {
    std::printf("Work directory kept: %s\n", workDir->c_str());
  } else {
    RemoveWorkDirectory(*workDir);
  }
  std::printf("%s\n",
              status == 0 ? "Demo succeeded." : "Demo failed: an exchange did not succeed.");
  return status;
}

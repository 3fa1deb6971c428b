// Named scenarios and the command line of linvo-sim.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/device_sim.h"
#include "sim/endpoint.h"

namespace linvo::sim {

struct ScenarioInfo {
  std::string_view name;
  std::string_view description;
};

// Every scenario, in the order --help lists them.
const std::vector<ScenarioInfo>& Scenarios();
// Applies the named scenario to *config: "default" restores every setting; the others change
// only their own settings, so scenarios and options combine. False for an unknown name.
bool ApplyScenario(std::string_view name, Config* config);

// Decodes the escapes of option texts: \xHH (two hex digits), \r, \n, \t, \\. False with *error
// for a malformed escape.
bool DecodeEscapes(std::string_view text, std::string* bytes, std::string* error);
// Decodes pairs of hex digits ("41 16 42", "411642"; spaces and colons between pairs are
// skipped). False with *error for anything else.
bool DecodeHex(std::string_view text, std::string* bytes, std::string* error);

// Applies device options and scenarios ("--busy 2", "--scenario hf", "--data=ABC") in the order
// given. False with *error (naming the option) on an unknown option or a bad value; *config may
// then be partly changed.
bool ParseConfigOptions(const std::vector<std::string>& args, Config* config, std::string* error);

struct ProgramOptions {
  Config config;
  std::string logFile;        // --log FILE
  bool verbose = false;       // --verbose: the log on standard error
  bool stdinControl = false;  // --stdin-control: commands on standard input, stop at its end
  std::string port;           // --port DEVICE: serve this serial line (else a pseudo-terminal)
  LineSettings line;          // --baud, --data-bits, --parity (with --port)
  bool help = false;
};

// The whole command line (without the program name): the device options plus the program's own.
bool ParseOptions(const std::vector<std::string>& args, ProgramOptions* options,
                  std::string* error);
std::string UsageText();

// One line of --stdin-control (see UsageText). Sets *quit for "quit". False with *error for a
// bad line.
bool RunControlLine(DeviceSimulator& simulator, std::string_view line, bool* quit,
                    std::string* error);

}  // namespace linvo::sim

// The linvo command's --json lines on any bytes: each line is one line of ASCII JSON text that
// parses, and every text in it reads back as its bytes.
//
// Input (FuzzedDataProvider): a name, a path and a message (each ended by a backslash and
// another character), a 32-bit number in the last four bytes, and the value text.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "control/json_text.h"
#include "fuzz/harness.h"
#include "output.h"

using linvo::control::TextFromJson;
using linvo::fuzz::Check;
namespace cli = linvo::cli;

namespace {

// The line as the command prints it, checked and parsed back.
cli::Json Printed(const cli::Json& object) {
  const std::string line = cli::Show(object);
  for (const char c : line) {
    Check(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F,
          "a JSON line holds a byte other than printable ASCII");
  }
  cli::Json parsed = cli::Json::parse(line, nullptr, /*allow_exceptions=*/false);
  Check(!parsed.is_discarded(), "a JSON line does not parse");
  return parsed;
}

void CheckText(const cli::Json& value, const std::string& bytes) {
  Check(TextFromJson(value) == bytes, "a text does not read back from its JSON line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string name = in.ConsumeRandomLengthString(32);
  const std::string path = in.ConsumeRandomLengthString(64);
  const std::string message = in.ConsumeRandomLengthString(64);
  const int32_t number = in.ConsumeIntegral<int32_t>();
  const std::string value = in.ConsumeRemainingBytesAsString();

  // linvo run: a property put, a call with its arguments and result, an error.
  const cli::Json set =
      Printed({{"step", "set"}, {"name", cli::TextToJson(name)}, {"value", cli::ValueJson(value)}});
  CheckText(set["name"], name);
  CheckText(set["value"], value);
  const cli::Json args = {cli::ValueJson(value), cli::ValueJson(number), cli::ValueJson(true)};
  const cli::Json call = Printed({{"step", "call"},
                                  {"name", cli::TextToJson(name)},
                                  {"args", args},
                                  {"result", cli::ValueJson(linvo::Value())},
                                  {"ok", true}});
  CheckText(call["args"][0], value);
  Check(call["args"][1] == number && call["result"].is_null(), "a value changes in its line");
  CheckText(Printed({{"error", cli::TextToJson(message)}, {"code", number}})["error"], message);
  // linvo ports --all: a mapped port with its device.
  CheckText(Printed({{"port", "COM1"}, {"device", cli::TextToJson(path)}})["device"], path);
  return 0;
}

// The control's property bag loader on any text: a bag that loads saves to text that loads to
// the same bag, and values written read back.
//
// Input (FuzzedDataProvider): a name and a text (each ended by a backslash and another
// character), the JSON text, and a 32-bit number in the last four bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "control/json_property_bag.h"
#include "fuzz/harness.h"

using linvo::control::JsonPropertyBag;
using linvo::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string name = in.ConsumeRandomLengthString(32);
  const std::string text = in.ConsumeRandomLengthString(64);
  const int32_t number = in.ConsumeIntegral<int32_t>();
  const std::string json = in.ConsumeRemainingBytesAsString();

  JsonPropertyBag bag;
  std::string error;
  if (!bag.LoadText(json, &error)) {
    Check(!error.empty(), "a refused load says nothing");
    return 0;
  }
  const std::string saved = bag.Text();
  JsonPropertyBag again;
  Check(again.LoadText(saved, &error), "saved text does not load");
  Check(again.Text() == saved, "saved text loads to another bag");
  bag.ReadLong(name, 0);
  bag.ReadBool(name, 0);
  bag.ReadText(name, "");

  bag.WriteText(name, text);
  Check(bag.ReadText(name, "\x01") == text, "a written text does not read back");
  bag.WriteLong(name, number);
  Check(bag.ReadLong(name, number ^ 1) == number, "a written long does not read back");
  return 0;
}

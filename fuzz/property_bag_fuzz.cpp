// The control's property bag loader on any text: a bag that loads saves to text of a size in
// proportion to the input (nesting is not kept) that loads to the same bag, and values written
// read back, also through the saved text.
//
// Input (FuzzedDataProvider): a name and a text (each ended by a backslash and another
// character), the JSON text, and a 32-bit number in the last four bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "control/json_property_bag.h"
#include "control/json_text.h"
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
  // An entry of the shortest input ("":0,) is at most a few times longer when saved.
  Check(saved.size() <= 8 * json.size() + 16, "the saved text outgrows the loaded one");
  JsonPropertyBag again;
  Check(again.LoadText(saved, &error), "saved text does not load");
  Check(again.Text() == saved, "saved text loads to another bag");
  bag.ReadLong(name, 0);
  bag.ReadBool(name, 0);
  bag.ReadText(name, "");

  bag.WriteText(name, text);
  Check(bag.ReadText(name, "\x01") == text, "a written text does not read back");
  // Names are the program's own, UTF-8; the text may hold any bytes.
  if (linvo::control::TextToJson(name).is_string()) {
    JsonPropertyBag reread;
    Check(reread.LoadText(bag.Text(), &error), "the text after a write does not load");
    Check(reread.ReadText(name, "\x01") == text, "a written text does not read back from the file");
  }
  bag.WriteLong(name, number);
  Check(bag.ReadLong(name, number ^ 1) == number, "a written long does not read back");
  return 0;
}

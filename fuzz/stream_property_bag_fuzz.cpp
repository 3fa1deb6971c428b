// The control's binary property record on any bytes: the header check and the loader agree, a
// refused load leaves the bag as it was, a record that loads is written back byte for byte (but
// for the minor version), every record a bag writes loads, and values written read back.
//
// Input (FuzzedDataProvider): the record, then a name length (0..300, as two bytes: the length,
// then 0) and a 32-bit number in the last four bytes. The name written is that many first bytes of
// the record, the text written is the whole input. As a host reads a stream, only the bytes the
// header announces are loaded when more follow.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/stream_property_bag.h"
#include "fuzz/harness.h"

using linvo::control::StreamPropertyBag;
using linvo::fuzz::Check;

namespace {

// Whether the bag's record loads into another bag that writes the same bytes.
bool Reloads(const StreamPropertyBag& bag) {
  const std::vector<uint8_t> record = bag.Record();
  StreamPropertyBag again;
  std::string error;
  return again.Load(record, &error) && again.Record() == record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int32_t number = in.ConsumeIntegral<int32_t>();
  const auto nameLength = in.ConsumeIntegralInRange<std::size_t>(0, 300);
  const std::vector<uint8_t> input = in.ConsumeRemainingBytes<uint8_t>();

  std::string headerError;
  const auto announced = StreamPropertyBag::RecordBytes(input, &headerError);
  Check(announced || !headerError.empty(), "a refused header says nothing");
  std::span<const uint8_t> record(input);
  if (announced && *announced < record.size()) record = record.first(*announced);

  StreamPropertyBag bag;
  bag.WriteLong("x", 1);
  const std::vector<uint8_t> original = bag.Record();
  std::string error;
  if (!bag.Load(record, &error)) {
    Check(!error.empty(), "a refused load says nothing");
    Check(announced || error == headerError,
          "a refused header refuses the load for another reason");
    Check(bag.Record() == original, "a refused load changed the bag");
  } else {
    Check(announced && *announced == record.size(), "a record loads whose header is refused");
    std::vector<uint8_t> expected(record.begin(), record.end());
    expected[6] = expected[7] = 0;  // written back as minor version 0
    Check(bag.Record() == expected, "a loaded record is written back as other bytes");
    Check(Reloads(bag), "a written record does not load to the same bytes");
  }

  const std::string name(input.begin(), input.begin() + std::min(nameLength, input.size()));
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool holds = !name.empty() && name.size() <= 255;
  // Small enough that the text always fits in the record beside what the input loaded.
  const bool fits = size <= StreamPropertyBag::kMaxText;
  const std::vector<uint8_t> before = bag.Record();
  bag.WriteText(name, text);
  if (!holds) {
    Check(bag.Record() == before, "a write of a name the record cannot hold changed the bag");
  } else if (fits) {
    Check(bag.ReadText(name, "\x01") == text, "a written text does not read back");
    bag.WriteLong(name, number);
    Check(bag.ReadLong(name, number ^ 1) == number, "a written long does not read back");
    Check(bag.ReadText(name, "d") == "d", "a long reads as a text");
    bag.WriteBool(name, number);
    Check(bag.ReadBool(name, 7) == (number != 0 ? 1 : 0), "a written bool does not read back");
  }
  Check(Reloads(bag), "a record written after writes does not load to the same bytes");
  return 0;
}

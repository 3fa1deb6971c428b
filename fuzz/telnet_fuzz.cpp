// The telnet stream codec and the network address parser on any bytes: a stream decodes the same
// however it is cut, decoded data encodes and decodes back to itself, every subnegotiation's
// payload parses or is refused without harm, negotiation answers each verb with at most one
// matching verb, and an address that parses prints as one that parses to the same place.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/harness.h"
#include "platform/net/net_url.h"
#include "platform/net/telnet.h"

namespace tn = linvo::platform::telnet;
using linvo::fuzz::Check;

namespace {

struct Decoded {
  tn::Bytes data;
  std::vector<tn::Event> events;
  bool broken = false;
};

Decoded Decode(tn::ByteView wire, std::size_t piece) {
  tn::Decoder decoder;
  Decoded out;
  for (std::size_t at = 0; at < wire.size(); at += piece) {
    decoder.Feed(wire.subspan(at, std::min(piece, wire.size() - at)), &out.data, &out.events);
  }
  out.broken = decoder.Broken();
  return out;
}

bool SameEvents(const std::vector<tn::Event>& a, const std::vector<tn::Event>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].code != b[i].code || a[i].option != b[i].option ||
        a[i].payload != b[i].payload || a[i].malformed != b[i].malformed) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  const tn::ByteView wire(bytes, size);
  const Decoded whole = Decode(wire, size == 0 ? 1 : size);
  const std::size_t piece = size == 0 ? 1 : 1 + bytes[0] % 7;
  const Decoded cut = Decode(wire, piece);
  Check(whole.data == cut.data && SameEvents(whole.events, cut.events) &&
            whole.broken == cut.broken,
        "a cut of the stream changed what it decodes to");
  Check(whole.data.size() <= size, "more data than bytes");

  tn::Bytes encoded;
  tn::AppendData(encoded, whole.data);
  const Decoded again = Decode(encoded, encoded.empty() ? 1 : encoded.size());
  Check(again.data == whole.data && again.events.empty(), "encoded data did not decode back");

  tn::Negotiation negotiation;
  negotiation.Start();
  for (const tn::Event& event : whole.events) {
    if (event.kind == tn::Event::Kind::kSubnegotiation) {
      Check(event.payload.size() <= tn::Decoder::kMaxSubnegotiation, "unbounded subnegotiation");
      (void)tn::ParseComPortMessage(event.payload);
    }
    if (event.kind != tn::Event::Kind::kOption) continue;
    const tn::Bytes reply = negotiation.Receive(event.code, event.option);
    if (reply.empty()) continue;
    Check(reply.size() == 3 && reply[0] == tn::kIac && reply[2] == event.option,
          "a reply that is not one option command");
    const bool asksUs = event.code == tn::kDo || event.code == tn::kDont;
    Check(asksUs ? (reply[1] == tn::kWill || reply[1] == tn::kWont)
                 : (reply[1] == tn::kDo || reply[1] == tn::kDont),
          "a reply with the wrong verb");
  }

  const std::string_view text(reinterpret_cast<const char*>(bytes), size);
  std::string error;
  if (const auto url = linvo::platform::ParseNetUrl(text, &error)) {
    const auto back = linvo::platform::ParseNetUrl(linvo::platform::NetUrlText(*url), &error);
    Check(back && back->host == url->host && back->port == url->port &&
              back->scheme == url->scheme,
          "a printed address does not parse back to the same place");
  } else {
    Check(!error.empty(), "a refused address without a reason");
  }
  return 0;
}

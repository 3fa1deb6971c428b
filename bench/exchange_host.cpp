// A host program for the side-by-side benchmark: opens COM1 mapped to DEVICE (as OpenPort does,
// so the comm-event watcher runs) with logging off, makes COUNT exchanges and prints one JSON
// object: the exchanges, the CPU the process spent in them (user and system, from getrusage
// around the loop only) and each exchange's latency in microseconds.
//   exchange  SendCommandRR ("S1", ACK, poll, response) against linvo-sim;
//   echo      a 4 KiB SendBinaryData block, received back with ReceiveBinaryData until the whole
//             block is there (linvo-sim --raw-echo); a receive ends at the first quiet gap, so a
//             block may take more than one.
// Usage: linvo_exchange_host DEVICE COUNT [exchange|echo]
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/host_loop.h"
#include "engine/result_codes.h"
#include "portapi/port_table.h"

namespace {

namespace api = linvo::portapi;
using linvo::engine::Result;

constexpr int kPort = 1;
constexpr int kBlock = 4096;

// One text command exchange; an error text when it failed.
std::string Exchange() {
  std::string status, code, data;
  const Result r = api::SendCommandRR("lvoSendCommandRR", kPort, 1, 1000, 5000, 0, "S1", "", 0,
                                      &status, &code, &data);
  return r == linvo::engine::kResponseA ? "" : "SendCommandRR gave " + std::to_string(r);
}

// One echoed block; an error text when it failed.
std::string Echo() {
  static const std::vector<uint8_t> block = [] {
    std::vector<uint8_t> bytes(kBlock);  // every byte value, SYN and the control bytes included
    for (int i = 0; i < kBlock; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
  }();
  std::vector<uint8_t> back(kBlock + 1);
  Result r = api::SendBinaryData("lvoSendBinaryData", kPort, 1000, 0, 0, block.data(), kBlock);
  if (r != linvo::engine::kSuccess) return "SendBinaryData gave " + std::to_string(r);
  int total = 0;
  while (total < kBlock) {
    int16_t got = 0;
    r = api::ReceiveBinaryData("lvoReceiveBinaryData", kPort, 1000, 0, back.data() + total,
                               static_cast<int16_t>(back.size() - total), &got);
    if (r != linvo::engine::kSuccess) return "ReceiveBinaryData gave " + std::to_string(r);
    total += got;
  }
  if (total != kBlock || std::memcmp(back.data(), block.data(), kBlock) != 0) {
    return "the block came back changed";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 4 ? argv[3] : "exchange";
  if ((argc != 3 && argc != 4) || (mode != "exchange" && mode != "echo")) {
    std::fprintf(stderr, "usage: linvo_exchange_host DEVICE COUNT [exchange|echo]\n");
    return 2;
  }
  const std::string device = argv[1];
  const int count = std::atoi(argv[2]);
  linvo::bench::WorkDir dir;
  dir.WriteSettings(0, linvo::bench::WorkDir::PortLine(kPort, device));
  if (api::OpenPort("lvoOpenPort", kPort, 115200, "8", "N", 8192, 8192, 0) != 0) {
    std::fprintf(stderr, "linvo_exchange_host: OpenPort failed on %s\n", device.c_str());
    return 1;
  }
  std::string (*const step)() = mode == "echo" ? Echo : Exchange;
  const int result = linvo::bench::RunMeasuredSteps("linvo", count, step);
  api::ClosePort("lvoClosePort", kPort);
  return result;
}

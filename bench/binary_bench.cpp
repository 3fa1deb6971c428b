// The binary protocol against the device simulator over a pseudo-terminal, logging off, through
// the entry functions:
//   BM_BinaryDataEcho     4 KiB SendBinaryData blocks, echoed back by the simulator in raw echo
//                         mode and read with ReceiveBinaryData (capacity 4097); bytes/s counts
//                         the bytes sent (each also comes back). A receive ends at the first
//                         quiet gap, so a block may come back in more than one receive: the loop
//                         reads until the whole block is back and compares it.
//   BM_BinaryCommandRR    SendBinaryCommandRR exchanges (command with an escaped 0x16, SYN ACK,
//                         report, the host's SYN ACK) per second, with median and p99 latency.
// Usage: linvo_binary_bench [benchmark options]
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/result_codes.h"
#include "platform/serial.h"
#include "portapi/port_table.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"

namespace {

namespace api = linvo::portapi;

using linvo::bench::Percentile;
using linvo::bench::WorkDir;

// The simulator on a new pseudo-terminal and the port opened on it, for one run.
class Bench {
 public:
  Bench(int port, const linvo::sim::Config& config)
      : m_port(port), m_simulator(linvo::sim::MakePtyEndpoint(m_pty.MasterFd()), config) {
    m_simulator.Start();
    m_dir.WriteSettings(0, WorkDir::PortLine(port, m_pty.SlavePath()));
    api::ReloadSettings("bench", port);  // the port object may come from an earlier run
    m_open = api::OpenPort("lvoOpenPort", port, 115200, "8", "N", 8192, 8192, 0) == 0;
  }
  ~Bench() {
    api::ClosePort("lvoClosePort", m_port);
    m_simulator.Stop();
  }
  bool Open() const { return m_open; }

 private:
  WorkDir m_dir;
  int m_port;
  linvo::platform::PseudoTerminal m_pty;
  linvo::sim::DeviceSimulator m_simulator;
  bool m_open = false;
};

void BM_BinaryDataEcho(benchmark::State& state) {
  constexpr int kPort = 3;
  constexpr int kBlock = 4096;
  constexpr int kCapacity = kBlock + 1;
  linvo::sim::Config config;
  config.rawEcho = true;
  config.keepHistory = false;
  Bench bench(kPort, config);
  if (!bench.Open()) {
    state.SkipWithError("OpenPort failed");
    return;
  }
  // Every byte value, SYN and the text control bytes included.
  std::vector<uint8_t> block(kBlock);
  for (int i = 0; i < kBlock; ++i) block[i] = static_cast<uint8_t>(i * 7 + i / 256);
  std::vector<uint8_t> back(kCapacity);
  int64_t receives = 0;
  for (auto _ : state) {
    linvo::engine::Result r =
        api::SendBinaryData("lvoSendBinaryData", kPort, 1000, 0, 0, block.data(), kBlock);
    if (r != linvo::engine::kSuccess) {
      state.SkipWithError(("SendBinaryData gave " + std::to_string(r)).c_str());
      break;
    }
    int total = 0;
    while (total < kBlock) {
      int16_t got = 0;
      r = api::ReceiveBinaryData("lvoReceiveBinaryData", kPort, 1000, 0, back.data() + total,
                                 kCapacity - total, &got);
      ++receives;
      if (r != linvo::engine::kSuccess) break;
      total += got;
    }
    if (r != linvo::engine::kSuccess || total != kBlock ||
        std::memcmp(back.data(), block.data(), kBlock) != 0) {
      state.SkipWithError(
          ("echo failed: result " + std::to_string(r) + ", " + std::to_string(total) + " bytes")
              .c_str());
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
  state.counters["receives_per_block"] =
      state.iterations() > 0 ? static_cast<double>(receives) / state.iterations() : 0;
}
BENCHMARK(BM_BinaryDataEcho)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_BinaryCommandRR(benchmark::State& state) {
  constexpr int kPort = 4;
  const std::string report = "\x10\x20\x16\x30";  // 0x16 goes doubled on the wire
  linvo::sim::Config config;
  config.binaryReport = report;
  config.keepHistory = false;
  Bench bench(kPort, config);
  if (!bench.Open()) {
    state.SkipWithError("OpenPort failed");
    return;
  }
  const uint8_t command[] = {0x41, 0x16, 0x42};
  uint8_t reply[256];
  std::vector<double> latencies;
  latencies.reserve(1 << 16);
  for (auto _ : state) {
    int16_t replyLength = 0;
    const auto start = std::chrono::steady_clock::now();
    const linvo::engine::Result r =
        api::SendBinaryCommandRR("lvoSendBinaryCommandRR", kPort, 1000, 2, 0, 0, command,
                                 sizeof command, 1000, reply, sizeof reply, &replyLength);
    latencies.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (r != linvo::engine::kSuccess ||
        std::string(reinterpret_cast<const char*>(reply), replyLength) != report) {
      state.SkipWithError(("SendBinaryCommandRR gave " + std::to_string(r)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(latencies.size()));
  state.counters["median_us"] = Percentile(latencies, 0.5);
  state.counters["p99_us"] = Percentile(latencies, 0.99);
}
BENCHMARK(BM_BinaryCommandRR)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// SendCommandRR exchanges per second against the device simulator over a pseudo-terminal, with
// logging off and with logging mode 1 (a trace file), through the entry functions. Each exchange
// is timed on its own; the median and the 99th percentile are reported as counters (in µs).
// Usage: linvo_exchange_bench [benchmark options]
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

void BM_SendCommandRR(benchmark::State& state) {
  const int logMode = static_cast<int>(state.range(0));
  // One port object per mode; ReloadSettings makes it read this run's Linvo.ini.
  const int port = 1 + logMode;
  WorkDir dir;
  linvo::platform::PseudoTerminal pty;
  linvo::sim::Config config;
  config.data = "READY";
  config.keepHistory = false;  // the run makes tens of thousands of exchanges
  linvo::sim::DeviceSimulator simulator(linvo::sim::MakePtyEndpoint(pty.MasterFd()), config);
  simulator.Start();
  dir.WriteSettings(logMode, WorkDir::PortLine(port, pty.SlavePath()));
  api::ReloadSettings("bench", port);
  if (api::OpenPort("lvoOpenPort", port, 115200, "8", "N", 4096, 4096, 0) != 0) {
    state.SkipWithError("OpenPort failed");
    return;
  }

  std::vector<double> latencies;
  latencies.reserve(1 << 16);
  std::string status, code, data;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const linvo::engine::Result r = api::SendCommandRR("lvoSendCommandRR", port, 1, 1000, 5000, 0,
                                                       "S1", "", 0, &status, &code, &data);
    latencies.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (r != linvo::engine::kResponseA || data != "READY") {
      state.SkipWithError(("SendCommandRR gave " + std::to_string(r)).c_str());
      break;
    }
  }
  api::ClosePort("lvoClosePort", port);
  simulator.Stop();
  // Logging off before the directory goes: the port object outlives this run and closes its
  // trace with one more line when the library unloads.
  dir.WriteSettings(0, WorkDir::PortLine(port, pty.SlavePath()));
  api::ReloadSettings("bench", port);

  state.SetItemsProcessed(static_cast<int64_t>(latencies.size()));
  state.counters["median_us"] = Percentile(latencies, 0.5);
  state.counters["p99_us"] = Percentile(latencies, 0.99);
}
BENCHMARK(BM_SendCommandRR)
    ->ArgName("logging")
    ->Arg(0)
    ->Arg(1)
    ->MinTime(3.0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// What the control layer adds to a command exchange: lvoSendCommandRR through a CLinvoCtrl and
// SendCommandRR through the entry function, side by side against the device simulator on a
// virtual line, logging off. Each exchange is timed on its own (median and 99th percentile in µs)
// and the CPU time of the calling thread is reported per call.
// Usage: linvo_control_bench [benchmark options]
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "control/linvo_ctrl.h"
#include "engine/result_codes.h"
#include "platform/serial.h"
#include "portapi/port_table.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"

namespace {

namespace api = linvo::portapi;
using linvo::bench::Percentile;
using linvo::bench::WorkDir;

constexpr int kPort = 31;

double ThreadCpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Runs `exchange` once per iteration and reports its latency and this thread's CPU per call.
template <typename Exchange>
void Measure(benchmark::State& state, Exchange exchange) {
  std::vector<double> latencies;
  latencies.reserve(1 << 16);
  const double cpuStart = ThreadCpuMicros();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = exchange();
    latencies.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (!ok) {
      state.SkipWithError("the exchange failed");
      break;
    }
  }
  const double cpu = ThreadCpuMicros() - cpuStart;
  state.SetItemsProcessed(static_cast<int64_t>(latencies.size()));
  state.counters["median_us"] = Percentile(latencies, 0.5);
  state.counters["p99_us"] = Percentile(latencies, 0.99);
  state.counters["cpu_us_per_call"] =
      latencies.empty() ? 0 : cpu / static_cast<double>(latencies.size());
}

// The simulator on a virtual line named for the port, for the life of one benchmark.
struct Line {
  Line() : peer(linvo::platform::RegisterVirtualLine("COM" + std::to_string(kPort))) {
    linvo::sim::Config config;
    config.data = "READY";
    config.keepHistory = false;
    simulator = std::make_unique<linvo::sim::DeviceSimulator>(linvo::sim::MakeVirtualEndpoint(peer),
                                                              config);
    simulator->Start();
  }
  ~Line() {
    simulator.reset();
    linvo::platform::UnregisterVirtualLine("COM" + std::to_string(kPort));
  }
  std::shared_ptr<linvo::platform::VirtualPeer> peer;
  std::unique_ptr<linvo::sim::DeviceSimulator> simulator;
};

void BM_EntryFunction(benchmark::State& state) {
  WorkDir dir;
  dir.WriteSettings(0, "");
  api::ReloadSettings("bench", kPort);
  Line line;
  if (api::OpenPort("lvoOpenPort", kPort, 115200, "8", "N", 4096, 4096, 0) != 0) {
    state.SkipWithError("OpenPort failed");
    return;
  }
  std::string status, code, data;
  Measure(state, [&] {
    return api::SendCommandRR("lvoSendCommandRR", kPort, 1, 1000, 5000, 0, "S1", "", 0, &status,
                              &code, &data) == linvo::engine::kResponseA &&
           data == "READY";
  });
  api::ClosePort("lvoClosePort", kPort);
}
BENCHMARK(BM_EntryFunction)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Control(benchmark::State& state) {
  WorkDir dir;
  dir.WriteSettings(0, "");
  api::ReloadSettings("bench", kPort);
  Line line;
  linvo::control::CLinvoCtrl control;
  control.SetPortNo(kPort);
  control.SetBaudRate(115200);
  control.SetParity("N");
  control.SetDSRCheck(linvo::control::FALSE);
  control.SetAutoHandshake(linvo::control::FALSE);
  control.SetTXBufferSize(4096);
  control.SetRXBufferSize(4096);
  control.SetSendData("S1");
  if (control.lvoOpenPort() != 0) {
    state.SkipWithError("lvoOpenPort failed");
    return;
  }
  Measure(state, [&] {
    return control.lvoSendCommandRR(1, 5000) == linvo::engine::kResponseA &&
           control.Properties().PollCmdResData == "READY";
  });
  control.lvoClosePort();
}
BENCHMARK(BM_Control)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

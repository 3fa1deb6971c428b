// Idle cost of a receive waiting on a silent line: a ReadComm with a 10 s time-out on a
// pseudo-terminal, measured with getrusage (CPU time and context switches of the process).
// Usage: linvo_idle_wait_bench [seconds]
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench/bench_support.h"
#include "engine/comm_port.h"
#include "platform/serial.h"

namespace {

double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

void BM_IdleReadComm(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  linvo::bench::WorkDir dir;
  linvo::platform::PseudoTerminal pty;
  dir.WriteSettings(0, linvo::bench::WorkDir::PortLine(7, pty.SlavePath()));
  linvo::engine::CCommPort port(7);
  if (port.OpenPort("bench", 115200, "8", "N", 4096, 4096, 0) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  for (auto _ : state) {
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    auto start = std::chrono::steady_clock::now();
    uint8_t buffer[linvo::engine::kReceiveCapacity];
    int length = linvo::engine::kReceiveCapacity;
    int result = port.ReadComm(buffer, &length, seconds * 1000, 0);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::getrusage(RUSAGE_SELF, &after);
    double cpu = Seconds(after.ru_utime) - Seconds(before.ru_utime) + Seconds(after.ru_stime) -
                 Seconds(before.ru_stime);
    state.counters["result"] = result;
    state.counters["wall_s"] = wall;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["wakeups_per_s"] =
        (after.ru_nvcsw - before.ru_nvcsw + after.ru_nivcsw - before.ru_nivcsw) / wall;
  }
  port.ClosePort("bench");
}
BENCHMARK(BM_IdleReadComm)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

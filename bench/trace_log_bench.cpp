// Trace log throughput: lines per second written to a file (mode 1), the cost of a trace call
// with logging off (mode 0), and a 64-byte hex dump.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "bench/bench_support.h"
#include "engine/trace_log.h"

namespace {

// One private directory for the whole run, removed at exit.
std::string BenchDir() {
  static linvo::bench::WorkDir dir;
  return dir.Path();
}

void BM_TraceLineFile(benchmark::State& state) {
  linvo::engine::CTraceLog log(BenchDir() + "/bench.log", 1, 1);
  for (auto _ : state) {
    log.WriteTrace(linvo::engine::kLevelInfo, "lvoSendCommandRR", linvo::engine::kEnter);
  }
  state.SetItemsProcessed(state.iterations());
  ::unlink((BenchDir() + "/bench.log").c_str());
}
BENCHMARK(BM_TraceLineFile);

void BM_TraceLineOff(benchmark::State& state) {
  linvo::engine::CTraceLog log(BenchDir() + "/off.log", 0, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        log.WriteTrace(linvo::engine::kLevelInfo, "lvoSendCommandRR", linvo::engine::kEnter));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceLineOff);

void BM_TraceErrorsOnlySkipsInfo(benchmark::State& state) {
  linvo::engine::CTraceLog log(BenchDir() + "/err.log", 2, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        log.WriteTrace(linvo::engine::kLevelInfo, "lvoSendCommandRR", linvo::engine::kEnter));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceErrorsOnlySkipsInfo);

void BM_TraceDump64File(benchmark::State& state) {
  linvo::engine::CTraceLog log(BenchDir() + "/dump.log", 1, 1);
  uint8_t bytes[64];
  for (int i = 0; i < 64; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  for (auto _ : state) log.WriteDump(linvo::engine::kLevelInfo, bytes, 64);
  state.SetItemsProcessed(state.iterations());
  ::unlink((BenchDir() + "/dump.log").c_str());
}
BENCHMARK(BM_TraceDump64File);

}  // namespace

BENCHMARK_MAIN();

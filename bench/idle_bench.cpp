// Idle cost of open ports, measured with getrusage (CPU time and context switches of the whole
// process) and /proc/self/status (resident memory, threads):
//   BM_IdleBackgroundReceive  one port on a silent pseudo-terminal with a background receive
//                             (ReceiveDataAsync, time-out 0 = until stopped) and the comm-event
//                             watcher reporting to a registered callback, over 10 s;
//   BM_IdleManyPorts          256 ports open at once, each on its own pseudo-terminal (virtual
//                             lines when pseudo-terminals run out; the counter says how many),
//                             resident memory and idle CPU over 5 s.
// Usage: linvo_idle_bench [benchmark options]
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/result_codes.h"
#include "platform/message.h"
#include "platform/serial.h"
#include "portapi/port_table.h"

namespace {

namespace api = linvo::portapi;

using linvo::bench::WorkDir;

// A value in kB from /proc/self/status ("VmRSS:	  1234 kB"), or the plain number
// ("Threads").
long StatusField(const std::string& name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

// Process CPU time and context switches over an idle period of the calling thread (it sleeps in
// the kernel and counts for one switch per period).
struct IdleFigures {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long switches = 0;
};

IdleFigures MeasureIdle(std::chrono::milliseconds period) {
  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(period);
  IdleFigures f;
  f.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::getrusage(RUSAGE_SELF, &after);
  f.cpuSeconds = Seconds(after.ru_utime) - Seconds(before.ru_utime) + Seconds(after.ru_stime) -
                 Seconds(before.ru_stime);
  f.switches = after.ru_nvcsw - before.ru_nvcsw + after.ru_nivcsw - before.ru_nivcsw;
  return f;
}

void SetIdleCounters(benchmark::State& state, const IdleFigures& f) {
  state.counters["wall_s"] = f.wallSeconds;
  state.counters["cpu_percent"] = 100.0 * f.cpuSeconds / f.wallSeconds;
  state.counters["switches_per_s"] = f.switches / f.wallSeconds;
}

// The watcher's callback is only tested for null by the engine; it is never called.
long IgnoreCommEvent(long, long, long, long) { return 0; }

void BM_IdleBackgroundReceive(benchmark::State& state) {
  constexpr int kPort = 5;
  WorkDir dir;
  linvo::platform::PseudoTerminal pty;  // nobody writes to the master: a silent line
  dir.WriteSettings(0, WorkDir::PortLine(kPort, pty.SlavePath()));
  api::ReloadSettings("bench", kPort);
  if (api::OpenPort("lvoOpenPort", kPort, 115200, "8", "N", 4096, 4096, 0) != 0 ||
      api::WatchCommEvents("lvoWatchCommEvents", kPort, &IgnoreCommEvent, 0, 0xFFFF) != 0 ||
      api::ReceiveDataAsync("lvoReceiveData", kPort, 0, 0, 0, 0xFFFF) != 0) {
    state.SkipWithError("opening the port or starting the receive failed");
    api::ClosePort("lvoClosePort", kPort);
    return;
  }
  for (auto _ : state) {
    SetIdleCounters(state, MeasureIdle(std::chrono::milliseconds(state.range(0))));
    state.counters["threads"] = StatusField("Threads");
  }
  // Closing stops the worker silently and the watcher; nothing is posted, but anything queued
  // is handled (and freed) before the run ends.
  api::ClosePort("lvoClosePort", kPort);
  linvo::platform::PumpMessages(0);
}
BENCHMARK(BM_IdleBackgroundReceive)
    ->ArgName("ms")
    ->Arg(10000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// Raises the soft limit of open descriptors to what `needed` asks, within the hard limit.
void RaiseDescriptorLimit(rlim_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

void BM_IdleManyPorts(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  // Per port: the master and the kept slave of the pseudo-terminal, the port's own descriptor
  // of the slave and its wake-up and message descriptors; twelve leaves room.
  RaiseDescriptorLimit(static_cast<rlim_t>(count) * 12 + 256);
  WorkDir dir;
  const long rssBefore = StatusField("VmRSS");

  std::vector<std::unique_ptr<linvo::platform::PseudoTerminal>> ptys;
  std::vector<std::string> virtualNames;
  std::string portLines;
  for (int port = 1; port <= count; ++port) {
    const std::string name = "COM" + std::to_string(port);
    try {
      ptys.push_back(std::make_unique<linvo::platform::PseudoTerminal>());
      portLines += name + "=" + ptys.back()->SlavePath() + "\n";
    } catch (const std::system_error&) {
      // Out of pseudo-terminals: the rest go on virtual lines (resolved before [Ports]).
      linvo::platform::RegisterVirtualLine(name);
      virtualNames.push_back(name);
    }
  }
  dir.WriteSettings(0, portLines);

  int opened = 0;
  for (int port = 1; port <= count; ++port) {
    api::ReloadSettings("bench", port);
    if (api::OpenPort("lvoOpenPort", port, 115200, "8", "N", 4096, 4096, 0) == 0) ++opened;
  }
  const long rssOpen = StatusField("VmRSS");
  if (opened != count) {
    state.SkipWithError(("only " + std::to_string(opened) + " ports opened").c_str());
  } else {
    for (auto _ : state) {
      SetIdleCounters(state, MeasureIdle(std::chrono::milliseconds(state.range(1))));
    }
    state.counters["ports"] = opened;
    state.counters["virtual_lines"] = static_cast<double>(virtualNames.size());
    state.counters["threads"] = StatusField("Threads");
    state.counters["rss_MiB"] = rssOpen / 1024.0;
    state.counters["rss_per_port_KiB"] = static_cast<double>(rssOpen - rssBefore) / count;
  }
  for (int port = 1; port <= count; ++port) api::ClosePort("lvoClosePort", port);
  linvo::platform::PumpMessages(0);
  for (const std::string& name : virtualNames) linvo::platform::UnregisterVirtualLine(name);
}
BENCHMARK(BM_IdleManyPorts)
    ->ArgNames({"ports", "ms"})
    ->Args({api::kMaxPortNo, 5000})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

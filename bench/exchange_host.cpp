// A host program for the side-by-side benchmark: opens COM1 mapped to DEVICE (as OpenPort does,
// so the comm-event watcher runs), makes COUNT SendCommandRR exchanges ("S1", ACK, poll,
// response) with logging off, and prints one JSON object: the exchanges, the CPU the process
// spent in them (user and system, from getrusage around the loop only) and each exchange's
// latency in microseconds.
// Usage: linvo_exchange_host DEVICE COUNT
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/result_codes.h"
#include "portapi/port_table.h"

namespace {

namespace api = linvo::portapi;

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: linvo_exchange_host DEVICE COUNT\n");
    return 2;
  }
  const std::string device = argv[1];
  const int count = std::atoi(argv[2]);
  constexpr int kPort = 1;
  linvo::bench::WorkDir dir;
  dir.WriteSettings(0, linvo::bench::WorkDir::PortLine(kPort, device));
  if (api::OpenPort("lvoOpenPort", kPort, 115200, "8", "N", 4096, 4096, 0) != 0) {
    std::fprintf(stderr, "linvo_exchange_host: OpenPort failed on %s\n", device.c_str());
    return 1;
  }
  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(count));
  std::string status, code, data;
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const linvo::engine::Result r = api::SendCommandRR("lvoSendCommandRR", kPort, 1, 1000, 5000, 0,
                                                       "S1", "", 0, &status, &code, &data);
    latencies.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (r != linvo::engine::kResponseA) {
      std::fprintf(stderr, "linvo_exchange_host: SendCommandRR gave %d\n", r);
      return 1;
    }
  }
  getrusage(RUSAGE_SELF, &after);
  api::ClosePort("lvoClosePort", kPort);
  std::printf(
      "{\"host\": \"linvo\", \"exchanges\": %d, \"user_s\": %.6f, \"system_s\": %.6f, "
      "\"latencies_us\": [",
      count, Seconds(after.ru_utime) - Seconds(before.ru_utime),
      Seconds(after.ru_stime) - Seconds(before.ru_stime));
  for (std::size_t i = 0; i < latencies.size(); ++i) {
    std::printf("%s%.1f", i ? ", " : "", latencies[i]);
  }
  std::printf("]}\n");
  return 0;
}

// The measured loop of the side-by-side benchmark's hosts (bench/side_by_side/run.py).
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace linvo::bench {

// Runs `step` (a callable giving an error text, empty on success) `count` times, timing each
// and taking the process's CPU (getrusage) around the loop only, and prints the host's report:
// one JSON object with the host name, the steps, user and system seconds and each latency in
// microseconds. Returns 0, or 1 after the first failed step (its error text on stderr).
template <typename Step>
int RunMeasuredSteps(const char* host, int count, Step step) {
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  std::vector<double> latencies;
  latencies.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::string error = step();
    latencies.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (!error.empty()) {
      std::fprintf(stderr, "%s host: %s\n", host, error.c_str());
      return 1;
    }
  }
  getrusage(RUSAGE_SELF, &after);
  std::printf(
      "{\"host\": \"%s\", \"exchanges\": %d, \"user_s\": %.6f, \"system_s\": %.6f, "
      "\"latencies_us\": [",
      host, count, seconds(after.ru_utime) - seconds(before.ru_utime),
      seconds(after.ru_stime) - seconds(before.ru_stime));
  for (std::size_t i = 0; i < latencies.size(); ++i) {
    std::printf("%s%.1f", i ? ", " : "", latencies[i]);
  }
  std::printf("]}\n");
  return 0;
}

}  // namespace linvo::bench

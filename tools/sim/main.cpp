// linvo-sim: the device side of the text and binary protocols on a pseudo-terminal or a serial
// line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/wake_event.h"
#include "program/host_system.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "sim/scenarios.h"

namespace {

using linvo::sim::ControlInput;
using linvo::sim::DeviceSimulator;
using linvo::sim::StopRequests;

// Serves until a stop request, or with control input until "quit" or the end of standard input.
// The simulator runs on its own thread.
void Serve(DeviceSimulator& simulator, const StopRequests& stop, ControlInput* input) {
  std::string pending;  // standard input not yet ended by a newline
  for (;;) {
    const linvo::platform::NativeWaitHandle inputHandle =
        input != nullptr ? input->Handle() : linvo::platform::kNoWaitHandle;
    // 0: a stop request; negative: the wait failed, and waiting again would fail again.
    if (linvo::platform::WaitAnyHandle({stop.Handle(), inputHandle}, -1) != 1) return;
    if (!input->Read(&pending)) return;
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      bool quit = false;
      std::string error;
      if (!linvo::sim::RunControlLine(simulator, line, &quit, &error)) {
        std::fprintf(stderr, "linvo-sim: %s\n", error.c_str());
      }
      if (quit) return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  linvo::sim::ProgramOptions options;
  std::string error;
  if (!linvo::sim::ParseOptions(args, &options, &error)) {
    std::fprintf(stderr, "linvo-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(linvo::sim::UsageText().c_str(), stdout);
    return 0;
  }

  std::optional<StopRequests> stop;
  try {
    stop.emplace();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "linvo-sim: %s\n", e.what());
    return 1;
  }

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> logFile(nullptr, &std::fclose);
  if (!options.logFile.empty()) {
    logFile.reset(std::fopen(options.logFile.c_str(), "a"));
    if (!logFile) {
      std::fprintf(stderr, "linvo-sim: cannot open log file %s: %s\n", options.logFile.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  linvo::sim::ServedLine line;
  if (options.port.empty()) {
    if (!linvo::sim::OpenDefaultLine(&line, &error)) {
      std::fprintf(stderr, "linvo-sim: %s\n", error.c_str());
      return 1;
    }
  } else {
    line.endpoint = linvo::sim::OpenSerialEndpoint(options.port, options.line, &error);
    if (!line.endpoint) {
      std::fprintf(stderr, "linvo-sim: %s\n", error.c_str());
      return 1;
    }
    line.device = options.port;
  }

  DeviceSimulator simulator(std::move(line.endpoint), options.config);
  if (options.verbose || logFile) {
    std::FILE* file = logFile.get();
    const bool verbose = options.verbose;
    simulator.SetLogSink([file, verbose](const linvo::sim::LogEvent& event) {
      const std::string text = linvo::sim::FormatEvent(event);
      if (verbose) std::fprintf(stderr, "%s\n", text.c_str());
      if (file != nullptr) {
        std::fprintf(file, "%s\n", text.c_str());
        std::fflush(file);  // readable at once (tail -f), and complete if we are killed
      }
    });
  }
  std::optional<ControlInput> input;
  if (options.stdinControl) input.emplace();
  simulator.Start();

  std::printf("linvo-sim: serving %s\n", line.device.c_str());
  std::fflush(stdout);

  Serve(simulator, *stop, input ? &*input : nullptr);
  simulator.Stop();
  return 0;
}

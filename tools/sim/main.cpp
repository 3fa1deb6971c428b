// linvo-sim: the device side of the text and binary protocols on a pseudo-terminal.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "sim/scenarios.h"

namespace {

using linvo::sim::DeviceSimulator;

// Serves until SIGINT/SIGTERM, or with stdin control until "quit" or the end of standard input.
// Waits in poll() on a signalfd (and standard input); the simulator runs on its own thread.
void Serve(DeviceSimulator& simulator, int signalFd, bool stdinControl) {
  std::string pending;  // standard input not yet ended by a newline
  for (;;) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int n = ::poll(fds, stdinControl ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[0].revents & POLLIN)) return;
    if (!stdinControl || fds[1].revents == 0) continue;
    char buffer[1024];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // end of standard input (or it failed)
    pending.append(buffer, static_cast<std::size_t>(got));
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

  // Block the stop signals in every thread (the simulator's thread inherits the mask) and take
  // them from a signalfd in the main loop.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a closed stdout or log pipe is an error return, not a kill
  const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::fprintf(stderr, "linvo-sim: signalfd: %s\n", std::strerror(errno));
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

  std::unique_ptr<linvo::platform::PseudoTerminal> pty;
  try {
    pty = std::make_unique<linvo::platform::PseudoTerminal>();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "linvo-sim: no pseudo-terminal: %s\n", e.what());
    return 1;
  }

  DeviceSimulator simulator(linvo::sim::MakePtyEndpoint(pty->MasterFd()), options.config);
  if (options.verbose || logFile) {
    std::FILE* file = logFile.get();
    const bool verbose = options.verbose;
    simulator.SetLogSink([file, verbose](const linvo::sim::LogEvent& event) {
      const std::string line = linvo::sim::FormatEvent(event);
      if (verbose) std::fprintf(stderr, "%s\n", line.c_str());
      if (file != nullptr) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fflush(file);  // readable at once (tail -f), and complete if we are killed
      }
    });
  }
  simulator.Start();

  std::printf("linvo-sim: serving %s\n", pty->SlavePath().c_str());
  std::fflush(stdout);

  Serve(simulator, signalFd, options.stdinControl);
  simulator.Stop();
  ::close(signalFd);
  return 0;
}

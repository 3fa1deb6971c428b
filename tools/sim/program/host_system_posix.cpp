// linvo-sim on POSIX: stop signals from a signalfd, standard input as it is, a pseudo-terminal.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "program/host_system.h"

namespace linvo::sim {

struct StopRequests::State {
  int fd = -1;
};

StopRequests::StopRequests() : m_state(std::make_unique<State>()) {
  // Blocked in every thread (the simulator's thread inherits the mask) and taken from a
  // signalfd in the main loop.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a closed stdout or log pipe is an error return, not a kill
  m_state->fd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (m_state->fd < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
}

StopRequests::~StopRequests() { ::close(m_state->fd); }

platform::NativeWaitHandle StopRequests::Handle() const { return m_state->fd; }

struct ControlInput::State {};

ControlInput::ControlInput() = default;
ControlInput::~ControlInput() = default;

platform::NativeWaitHandle ControlInput::Handle() const { return STDIN_FILENO; }

bool ControlInput::Read(std::string* text) {
  char buffer[1024];
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // end of standard input (or it failed)
    text->append(buffer, static_cast<std::size_t>(got));
    return true;
  }
}

bool OpenDefaultLine(ServedLine* line, std::string* error) {
  try {
    auto pty = std::make_unique<platform::PseudoTerminal>();
    line->device = pty->SlavePath();
    line->endpoint = MakePtyEndpoint(std::move(pty));
    return true;
  } catch (const std::system_error& e) {
    *error = std::string("no pseudo-terminal: ") + e.what();
    return false;
  }
}

}  // namespace linvo::sim

// linvo-sim on Windows: stop requests from the console's control handler, standard input read by
// a thread of its own (a pipe cannot be waited for), and no pseudo-terminal.
#include <windows.h>

#include <mutex>
#include <system_error>
#include <thread>

#include "program/host_system.h"

namespace linvo::sim {
namespace {

// The handler runs on a thread of the system's; it reaches the object through these.
HANDLE g_stopRequested = nullptr;  // manual-reset: stays set
HANDLE g_stopFinished = nullptr;   // set when the program has stopped serving

// How long the console's closing waits for the program to stop serving (the system ends the
// process when the handler returns, and gives it about 5 s in all).
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD type) {
  SetEvent(g_stopRequested);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(g_stopFinished, kCloseGraceMs);
  }
  return TRUE;  // handled: the process is not ended for Ctrl+C and Ctrl+Break
}

std::system_error LastError(const char* what) {
  return std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

}  // namespace

struct StopRequests::State {
  platform::WakeEvent requested;
  platform::WakeEvent finished;
};

StopRequests::StopRequests() : m_state(std::make_unique<State>()) {
  g_stopRequested = m_state->requested.Native();
  g_stopFinished = m_state->finished.Native();
  if (!SetConsoleCtrlHandler(&OnConsoleEvent, TRUE)) throw LastError("SetConsoleCtrlHandler");
}

StopRequests::~StopRequests() {
  m_state->finished.Signal();
  SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
}

platform::NativeWaitHandle StopRequests::Handle() const { return m_state->requested.Native(); }

// Shared with the reader thread, which is left blocked in its read when the program ends.
struct ControlInput::State {
  platform::WakeEvent ready;  // signalled while text is waiting or ended is set
  std::mutex mutex;           // text, ended
  std::string text;
  bool ended = false;
};

ControlInput::ControlInput() : m_state(std::make_shared<State>()) {
  std::thread([state = m_state] {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[1024];
    for (;;) {
      DWORD got = 0;
      // Fails at a pipe's end (ERROR_BROKEN_PIPE); 0 bytes is the end of a file or Ctrl+Z.
      const bool ok = ReadFile(input, buffer, sizeof buffer, &got, nullptr) != FALSE;
      std::lock_guard lock(state->mutex);
      if (!ok || got == 0) {
        state->ended = true;
        state->ready.Signal();
        return;
      }
      state->text.append(buffer, got);
      state->ready.Signal();
    }
  }).detach();
}

ControlInput::~ControlInput() = default;

platform::NativeWaitHandle ControlInput::Handle() const { return m_state->ready.Native(); }

bool ControlInput::Read(std::string* text) {
  std::lock_guard lock(m_state->mutex);
  if (m_state->text.empty()) return !m_state->ended;
  text->append(m_state->text);
  m_state->text.clear();
  if (!m_state->ended) m_state->ready.Clear();
  return true;
}

bool OpenDefaultLine(ServedLine*, std::string* error) {
  *error = "Windows has no pseudo-terminals: name the line to serve with --port COMn";
  return false;
}

}  // namespace linvo::sim

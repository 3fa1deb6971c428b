#include "engine/trace_log.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/log_output.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace linvo::engine {
namespace {

constexpr const char* kMutexBaseName = "20061024.Orvane32.sgLogName.m_LogMutex";

std::string MutexNameFor(int16_t portNo) {
  char name[80];
  std::snprintf(name, sizeof name, "%s_%03d", kMutexBaseName, static_cast<int>(portNo));
  return name;
}

const char* TagOf(int level) {
  switch (level) {
    case 1:
      return "Inf";
    case 2:
      return "Err";
    default:
      return "";
  }
}

}  // namespace

CTraceLog::CTraceLog(std::string path, int mode, int16_t portNo)
    : m_path(std::move(path)), m_mode(mode), m_mutex(MutexNameFor(portNo)) {}

CTraceLog::~CTraceLog() { WriteSeparator(m_mode); }

// Whether a line of this level is written at all. The mode and path never change for the life
// of the object, so this is decided before the mutex is taken: a trace call with logging off
// costs no system call.
bool CTraceLog::Accepts(int level) const {
  if (m_mode == 0 || m_path.empty() || level < 0) return false;
  if (m_mode == 3 || m_mode == 4) return level >= m_mode - 2;
  return level >= m_mode;
}

// Writes text to the channel of the mode, inside the mutex. The file is opened for appending
// (created private to the user when missing), written with one call and closed again; a file
// that cannot be opened, a symbolic link or anything but a regular file drops this text. When the
// mutex works within this process only, the first text is preceded by one line that says so, as
// lines of other processes may then interleave with ours.
int CTraceLog::Emit(std::string_view text) {
  std::lock_guard<platform::NamedMutex> hold(m_mutex);
  std::string record;
  if (!m_mutex.IsSystemWide() && !m_toldLockProblem.exchange(true)) {
    record = Line(kLevelError,
                  std::string(kErrInfo) +
                      ": Trace lock holds within this process only, other processes' lines may "
                      "interleave: " +
                      m_mutex.Problem(),
                  0);
  }
  record.append(text);
  if (m_mode == 3 || m_mode == 4) {
    platform::WriteDebugOutput(record);
    return 1;
  }
  return platform::AppendRecord(platform::NativePath(m_path), record) ? 1 : 0;
}

int CTraceLog::WriteTrace(int level, std::string_view message, std::string_view label, int indent) {
  if (!Accepts(level)) return 0;
  std::string text;
  text.reserve(label.size() + 2 + message.size());
  text.append(label).append(": ").append(message);
  return WriteLine(level, text, indent);
}

int CTraceLog::WriteLine(int level, std::string_view text, int indent) {
  if (!Accepts(level)) return 0;
  return Emit(Line(level, text, indent));
}

std::string CTraceLog::Line(int level, std::string_view text, int indent) const {
  platform::LocalTime t = platform::NowLocal();
  char head[96];
  int n = std::snprintf(
      head, sizeof head, "%04d%c%02d%c%02d%c%02d%c%02d%c%02d%c%3u%c%5d%c%5d%c%s%c", t.year,
      m_separator, t.month, m_separator, t.day, m_separator, t.hour, m_separator, t.minute,
      m_separator, t.second, m_separator, static_cast<unsigned>(t.millisecond), m_separator,
      platform::CurrentProcessId(), m_separator, platform::CurrentThreadId(), m_separator,
      TagOf(level), m_separator);
  std::string line(indent > 0 ? static_cast<std::size_t>(indent) : 0, ' ');
  line.append(head, static_cast<std::size_t>(n)).append(text).push_back('\n');
  return line;
}

std::string CTraceLog::FormatDump(const uint8_t* data, int length) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.append("    Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\n");
  out.append("    -------------------------------------------------------\n");
  if (length >= 0) {
    int rows = length / 16 + 1;
    out.reserve(out.size() + static_cast<std::size_t>(rows) * 80 + 1);
    for (int r = 0; r < rows; ++r) {
      int offset = r * 16;
      int count = length - offset < 16 ? length - offset : 16;
      char head[16];
      std::snprintf(head, sizeof head, "    %04X :", static_cast<unsigned>(offset) & 0xFFFFu);
      out.append(head);
      for (int i = 0; i < 16; ++i) {
        if (i < count) {
          uint8_t b = data[offset + i];
          out.push_back(' ');
          out.push_back(kHex[b >> 4]);
          out.push_back(kHex[b & 15]);
        } else {
          out.append("   ");
        }
      }
      out.append("   ");
      // The text column stops at the row's first NUL, CR or LF.
      for (int i = 0; i < count; ++i) {
        char c = static_cast<char>(data[offset + i]);
        if (c == '\0' || c == '\r' || c == '\n') break;
        out.push_back(c);
      }
      out.push_back('\n');
    }
  }
  out.push_back('\n');
  return out;
}

int CTraceLog::WriteDump(int level, const uint8_t* data, int length) {
  if (!Accepts(level)) return 0;
  return Emit(FormatDump(data, length));
}

int CTraceLog::WriteSeparator(int level) {
  if (!Accepts(level)) return 0;
  return Emit("\n");
}

}  // namespace linvo::engine

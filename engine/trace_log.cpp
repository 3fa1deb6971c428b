#include "engine/trace_log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/paths.h"

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

// Writes the whole buffer, retrying short writes and interruptions.
void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
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
// (created when missing), written with one call and closed again; a file that cannot be opened
// drops this text silently.
int CTraceLog::Emit(std::string_view text) {
  std::lock_guard<platform::NamedMutex> hold(m_mutex);
  if (m_mode == 3 || m_mode == 4) {
    WriteAll(STDERR_FILENO, text);
    return 1;
  }
  std::string path = platform::NativePath(m_path);
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return 0;
  WriteAll(fd, text);
  ::close(fd);
  return 1;
}

int CTraceLog::WriteTrace(int level, std::string_view message, std::string_view label,
                          int indent) {
  if (!Accepts(level)) return 0;
  std::string text;
  text.reserve(label.size() + 2 + message.size());
  text.append(label).append(": ").append(message);
  return WriteLine(level, text, indent);
}

int CTraceLog::WriteLine(int level, std::string_view text, int indent) {
  if (!Accepts(level)) return 0;
  platform::LocalTime t = platform::NowLocal();
  char head[96];
  int n = std::snprintf(head, sizeof head, "%04d%c%02d%c%02d%c%02d%c%02d%c%02d%c%3u%c%5d%c%5d%c%s%c",
                        t.year, m_separator, t.month, m_separator, t.day, m_separator, t.hour,
                        m_separator, t.minute, m_separator, t.second, m_separator,
                        static_cast<unsigned>(t.millisecond), m_separator,
                        static_cast<int>(::getpid()), m_separator,
                        static_cast<int>(::syscall(SYS_gettid)), m_separator, TagOf(level),
                        m_separator);
  std::string line(indent > 0 ? static_cast<std::size_t>(indent) : 0, ' ');
  line.append(head, static_cast<std::size_t>(n)).append(text).push_back('\n');
  return Emit(line);
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

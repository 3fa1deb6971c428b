// Serial lines, the parts every backend shares: port-name resolution, OpenSerialLine, the
// COMMTIMEOUTS read loop and the pseudo-terminal helper.
#include "platform/serial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>

#include "platform/profile.h"
#include "platform/serial_tty.h"
#include "platform/serial_virtual.h"

namespace linvo::platform {
namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr int kHighestPort = 256;
// A device path from [Ports] longer than this is cut, as the profile read into a buffer is.
constexpr std::size_t kDevicePathBuffer = 4096;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'a' && x <= 'z' ? x - 'a' + 'A' : x) == (y >= 'a' && y <= 'z' ? y - 'a' + 'A' : y);
  });
}

// The device for a port that is not a virtual line: [Ports] in the settings file, else the
// POSIX convention /dev/ttyS<n-1>. comName is normalised ("COMn").
std::string TtyPathFor(const std::string& comName, const std::string& settingsFile) {
  if (!settingsFile.empty()) {
    std::string mapped = GetProfileString("Ports", comName, "", settingsFile, kDevicePathBuffer);
    if (!mapped.empty()) return mapped;
  }
  return "/dev/ttyS" + std::to_string(std::stoi(comName.substr(3)) - 1);
}

}  // namespace

std::string NormalisePortName(const std::string& windowsName) {
  std::string_view name = windowsName;
  if (name.substr(0, 4) == "\\\\.\\") name.remove_prefix(4);
  if (name.size() < 4 || !EqualsIgnoringCase(name.substr(0, 3), "COM")) return {};
  const std::string_view digits = name.substr(3);
  // "COM01" and "COM+1" name no Windows device; three digits are enough for 256.
  if (digits.size() > 3 || digits.front() == '0' ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {};
  }
  const int number = std::stoi(std::string(digits));
  if (number < 1 || number > kHighestPort) return {};
  return "COM" + std::to_string(number);
}

std::optional<std::string> ResolvePortName(const std::string& windowsName,
                                           const std::string& settingsFile) {
  const std::string comName = NormalisePortName(windowsName);
  if (comName.empty()) return std::nullopt;
  if (IsVirtualLineRegistered(comName)) return "virtual:" + comName;
  return TtyPathFor(comName, settingsFile);
}

std::unique_ptr<SerialLine> OpenSerialLine(const std::string& windowsName,
                                           const std::string& settingsFile) {
  const std::string comName = NormalisePortName(windowsName);
  if (comName.empty()) return nullptr;
  // The registry answers "is there a line" and opens it under one lock, so a registration
  // cannot slip between the look-up and the open.
  bool registered = false;
  std::unique_ptr<SerialLine> line = OpenVirtualHost(comName, &registered);
  if (registered) return line;
  return OpenTtyLine(TtyPathFor(comName, settingsFile));
}

bool IsValidDeviceControlBlock(const DeviceControlBlock& dcb) {
  return dcb.BaudRate > 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
         dcb.StopBits <= TWOSTOPBITS && dcb.fDtrControl <= DTR_CONTROL_HANDSHAKE &&
         dcb.fRtsControl <= RTS_CONTROL_TOGGLE;
}

std::vector<uint8_t> VirtualPeer::ReadAll() {
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  for (std::size_t n; (n = Read(chunk, sizeof chunk)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  return bytes;
}

int TotalTimeoutMs(uint32_t multiplier, uint32_t constant, std::size_t size) {
  // A size past 2^32 would take longer than the cap anyway; clamping keeps the product in range.
  const uint64_t ms = uint64_t{multiplier} * std::min<uint64_t>(size, UINT32_MAX) + constant;
  return static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
}

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t DeadlineAfter(int timeoutMs) {
  return timeoutMs < 0 ? -1 : SteadyNowNs() + int64_t{timeoutMs} * 1'000'000;
}

int MillisecondsUntil(int64_t deadlineNs) {
  if (deadlineNs < 0) return -1;
  const int64_t remaining = deadlineNs - SteadyNowNs();
  if (remaining <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(INT_MAX, (remaining + 999'999) / 1'000'000));
}

IoResult ReadWithTimeouts(const CommTimeouts& timeouts, uint8_t* buffer, std::size_t size,
                          const std::function<IoResult(uint8_t*, std::size_t)>& take,
                          const std::function<WaitResult(int timeoutMs)>& wait) {
  IoResult result;
  if (size == 0) return result;
  const uint32_t interval = timeouts.ReadIntervalTimeout;
  const uint32_t multiplier = timeouts.ReadTotalTimeoutMultiplier;
  const uint32_t constant = timeouts.ReadTotalTimeoutConstant;
  // The two MAXDWORD cases of COMMTIMEOUTS: return at once with what is there, or wait up to the
  // constant for the first byte and return as soon as there is one.
  const bool returnAtOnce = interval == kMaxDword && multiplier == 0 && constant == 0;
  const bool returnOnFirstByte =
      interval == kMaxDword && multiplier == kMaxDword && constant > 0 && constant < kMaxDword;
  int64_t totalDeadline = -1;
  if (returnOnFirstByte) {
    totalDeadline = DeadlineAfter(static_cast<int>(constant));
  } else if (multiplier != 0 || constant != 0) {
    totalDeadline = DeadlineAfter(TotalTimeoutMs(multiplier, constant, size));
  }
  // The interval runs from each received byte; MAXDWORD outside the cases above means none.
  const bool useInterval = interval != 0 && interval != kMaxDword;
  const int intervalMs = static_cast<int>(std::min<uint32_t>(interval, INT_MAX));
  int64_t intervalDeadline = -1;

  for (;;) {
    const IoResult got = take(buffer + result.bytes, size - result.bytes);
    result.bytes += got.bytes;
    if (got.status != IoStatus::kOk) {
      result.status = got.status;
      return result;
    }
    if (result.bytes == size || returnAtOnce) return result;
    if (returnOnFirstByte && result.bytes > 0) return result;
    if (got.bytes > 0 && useInterval) intervalDeadline = DeadlineAfter(intervalMs);

    int waitMs = MillisecondsUntil(totalDeadline);
    const int intervalLeft = MillisecondsUntil(intervalDeadline);
    if (intervalLeft >= 0 && (waitMs < 0 || intervalLeft < waitMs)) waitMs = intervalLeft;
    if (waitMs == 0) return result;
    if (wait(waitMs) == WaitResult::kFailed) {
      result.status = IoStatus::kWaitFailed;
      return result;
    }
  }
}

PseudoTerminal::PseudoTerminal() {
  auto fail = [this](const char* what) {
    const int error = errno;
    if (m_keptSlave >= 0) close(m_keptSlave);
    if (m_master >= 0) close(m_master);
    throw std::system_error(error, std::generic_category(), what);
  };
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0) fail("posix_openpt");
  if (grantpt(m_master) != 0) fail("grantpt");
  if (unlockpt(m_master) != 0) fail("unlockpt");
  char name[128];
  if (ptsname_r(m_master, name, sizeof name) != 0) fail("ptsname_r");
  m_slavePath = name;
  m_keptSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_keptSlave < 0) fail("open pseudo-terminal slave");
  termios settings{};
  if (tcgetattr(m_keptSlave, &settings) != 0) fail("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(m_keptSlave, TCSANOW, &settings) != 0) fail("tcsetattr");
  const int flags = fcntl(m_master, F_GETFL);
  if (flags < 0 || fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl");
}

PseudoTerminal::~PseudoTerminal() {
  close(m_keptSlave);
  close(m_master);
}

}  // namespace linvo::platform

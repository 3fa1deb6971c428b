// The COMMTIMEOUTS rules and the device control block check that every backend shares.
#include <algorithm>
#include <climits>

#include "platform/deadline.h"
#include "platform/serial_backend.h"

namespace linvo::platform {
namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

}  // namespace

bool IsValidDeviceControlBlock(const DeviceControlBlock& dcb) {
  return dcb.BaudRate > 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= kSpaceParity &&
         dcb.StopBits <= kTwoStopBits && dcb.fDtrControl <= kDtrControlHandshake &&
         dcb.fRtsControl <= kRtsControlToggle;
}

int TotalTimeoutMs(uint32_t multiplier, uint32_t constant, std::size_t size) {
  // A size past 2^32 would take longer than the cap anyway; clamping keeps the product in range.
  const uint64_t ms = uint64_t{multiplier} * std::min<uint64_t>(size, UINT32_MAX) + constant;
  return static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
}

IoResult ReadWithTimeouts(const CommTimeouts& timeouts, uint8_t* buffer, std::size_t size,
                          const std::function<IoResult(uint8_t*, std::size_t)>& take,
                          const std::function<WaitOutcome(int timeoutMs)>& wait) {
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
  Deadline totalDeadline = Deadline::Never();
  if (returnOnFirstByte) {
    totalDeadline = Deadline::After(static_cast<int>(constant));
  } else if (multiplier != 0 || constant != 0) {
    totalDeadline = Deadline::After(TotalTimeoutMs(multiplier, constant, size));
  }
  // The interval runs from each received byte; MAXDWORD outside the cases above means none.
  const bool useInterval = interval != 0 && interval != kMaxDword;
  const int intervalMs = static_cast<int>(std::min<uint32_t>(interval, INT_MAX));
  Deadline intervalDeadline = Deadline::Never();

  for (;;) {
    const IoResult got = take(buffer + result.bytes, size - result.bytes);
    result.bytes += got.bytes;
    if (got.status != IoStatus::kOk) {
      result.status = got.status;
      result.error = got.error;
      return result;
    }
    if (result.bytes == size || returnAtOnce) return result;
    if (returnOnFirstByte && result.bytes > 0) return result;
    if (got.bytes > 0 && useInterval) intervalDeadline = Deadline::After(intervalMs);

    const int waitMs = Deadline::Earlier(totalDeadline, intervalDeadline).RemainingMs();
    if (waitMs == 0) return result;
    if (const WaitOutcome waited = wait(waitMs); waited == WaitResult::kFailed) {
      result.status = IoStatus::kWaitFailed;
      result.error = waited.error;
      return result;
    }
  }
}

}  // namespace linvo::platform

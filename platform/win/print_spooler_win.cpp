// The print spooler on Windows: the spooler service through winspool (OpenPrinter, EnumJobs,
// SetJob with JOB_CONTROL_CANCEL, ClosePrinter).
#include <windows.h>
#include <winspool.h>

#include <utility>

#include "platform/print_spooler.h"
#include "platform/error_text.h"

namespace linvo::platform {
namespace {

// The reason of the spooler call that failed last on this thread, for the printer `name`.
SpoolerError LastSpoolerError(const std::string& name) {
  const DWORD code = GetLastError();
  return {static_cast<int>(code), platform::SystemErrorText(static_cast<int>(code)) + ": " + name};
}

// Job states that are finished: such a job is no longer active.
constexpr DWORD kFinished = JOB_STATUS_DELETED | JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;

class WinspoolQueue final : public PrintQueue {
 public:
  WinspoolQueue(HANDLE printer, std::string name) : m_printer(printer), m_name(std::move(name)) {}
  ~WinspoolQueue() override { ClosePrinter(m_printer); }

  std::optional<std::vector<int>> ActiveJobs() override {
    DWORD needed = 0, count = 0;
    // The first call asks for the size; a queue without jobs answers success with none.
    if (EnumJobsA(m_printer, 0, 0xFFFFFFFF, 1, nullptr, 0, &needed, &count)) {
      return std::vector<int>{};
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      m_error = LastSpoolerError(m_name);
      return std::nullopt;
    }
    std::vector<BYTE> buffer(needed);
    if (!EnumJobsA(m_printer, 0, 0xFFFFFFFF, 1, buffer.data(), needed, &needed, &count)) {
      m_error = LastSpoolerError(m_name);
      return std::nullopt;
    }
    const auto* jobs = reinterpret_cast<const JOB_INFO_1A*>(buffer.data());
    std::vector<int> ids;
    for (DWORD i = 0; i < count; ++i) {
      if ((jobs[i].Status & kFinished) == 0) ids.push_back(static_cast<int>(jobs[i].JobId));
    }
    return ids;
  }

  bool CancelJob(int jobId) override {
    if (SetJobA(m_printer, static_cast<DWORD>(jobId), 0, nullptr, JOB_CONTROL_CANCEL)) return true;
    m_error = LastSpoolerError(m_name);
    return false;
  }

  SpoolerError LastError() const override { return m_error; }

 private:
  HANDLE m_printer;
  std::string m_name;
  SpoolerError m_error;
};

class WinspoolSpooler final : public PrintSpooler {
 public:
  std::unique_ptr<PrintQueue> Open(const std::string& name) override {
    HANDLE printer = nullptr;
    if (!OpenPrinterA(const_cast<char*>(name.c_str()), &printer, nullptr)) {
      m_error = LastSpoolerError(name);
      return nullptr;
    }
    return std::make_unique<WinspoolQueue>(printer, name);
  }

  SpoolerError LastError() const override { return m_error; }

 private:
  SpoolerError m_error;
};

}  // namespace

std::unique_ptr<PrintSpooler> MakeSystemSpooler() { return std::make_unique<WinspoolSpooler>(); }

}  // namespace linvo::platform

// The print spooler on Windows: the spooler service through winspool (OpenPrinter, EnumJobs,
// SetJob with JOB_CONTROL_CANCEL, ClosePrinter).
#include <windows.h>
#include <winspool.h>

#include "control/print_spooler.h"

namespace linvo::control {
namespace {

// Job states that are finished: such a job is no longer active.
constexpr DWORD kFinished = JOB_STATUS_DELETED | JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;

class WinspoolQueue final : public PrintQueue {
 public:
  explicit WinspoolQueue(HANDLE printer) : m_printer(printer) {}
  ~WinspoolQueue() override { ClosePrinter(m_printer); }

  std::optional<std::vector<int>> ActiveJobs() override {
    DWORD needed = 0, count = 0;
    // The first call asks for the size; a queue without jobs answers success with none.
    if (EnumJobsA(m_printer, 0, 0xFFFFFFFF, 1, nullptr, 0, &needed, &count)) {
      return std::vector<int>{};
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    std::vector<BYTE> buffer(needed);
    if (!EnumJobsA(m_printer, 0, 0xFFFFFFFF, 1, buffer.data(), needed, &needed, &count)) {
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
    return SetJobA(m_printer, static_cast<DWORD>(jobId), 0, nullptr, JOB_CONTROL_CANCEL) != FALSE;
  }

 private:
  HANDLE m_printer;
};

class WinspoolSpooler final : public PrintSpooler {
 public:
  std::unique_ptr<PrintQueue> Open(const std::string& name) override {
    HANDLE printer = nullptr;
    if (!OpenPrinterA(const_cast<char*>(name.c_str()), &printer, nullptr)) return nullptr;
    return std::make_unique<WinspoolQueue>(printer);
  }
};

}  // namespace

std::unique_ptr<PrintSpooler> MakeSystemSpooler() { return std::make_unique<WinspoolSpooler>(); }

}  // namespace linvo::control

// The print spooler as print job clearing sees it: open a destination by name, list its active
// jobs, cancel them one by one, close it. The real one is CUPS; tests may put a stand-in behind it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace linvo::platform {

// Why a spooler call failed, as the spooler tells it: its error number (GetLastError for the
// Windows spooler; for CUPS the IPP status of a refused request, or errno when the scheduler
// cannot be reached) and its text followed by the printer's name ("The printer name is
// invalid.: Office").
struct SpoolerError {
  int code = 0;
  std::string message;
};

// One open destination. Destroying it closes it and releases everything it holds.
class PrintQueue {
 public:
  virtual ~PrintQueue() = default;
  // Identifiers of the jobs not yet finished (pending, held, processing), in the spooler's
  // order; nullopt when the spooler cannot be asked or refuses.
  virtual std::optional<std::vector<int>> ActiveJobs() = 0;
  // Cancels one job; false when the spooler refuses or cannot be reached.
  virtual bool CancelJob(int jobId) = 0;
  // Why the last call that failed did; empty when none failed or the spooler gave no reason.
  virtual SpoolerError LastError() const { return {}; }
};

class PrintSpooler {
 public:
  virtual ~PrintSpooler() = default;
  // Opens the destination `name`; null when the spooler cannot be reached or does not know it.
  virtual std::unique_ptr<PrintQueue> Open(const std::string& name) = 0;
  // Why the last Open that gave no queue did; empty when the spooler gave no reason.
  virtual SpoolerError LastError() const { return {}; }
};

// The system's spooler. On POSIX: the CUPS server that libcups is configured for (CUPS_SERVER,
// then client.conf, then the local scheduler); built without CUPS (LINVO_WITH_CUPS=OFF) it opens
// nothing, so every clearing reports a spooler failure. On Windows: the print spooler service
// through winspool.
std::unique_ptr<PrintSpooler> MakeSystemSpooler();

}  // namespace linvo::platform

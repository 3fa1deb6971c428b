// The print spooler as print job clearing sees it: open a destination by name, list its active
// jobs, cancel them one by one, close it. The real one is CUPS; tests may put a stand-in behind it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace linvo::control {

// One open destination. Destroying it closes it and releases everything it holds.
class PrintQueue {
 public:
  virtual ~PrintQueue() = default;
  // Identifiers of the jobs not yet finished (pending, held, processing), in the spooler's
  // order; nullopt when the spooler cannot be asked or refuses.
  virtual std::optional<std::vector<int>> ActiveJobs() = 0;
  // Cancels one job; false when the spooler refuses or cannot be reached.
  virtual bool CancelJob(int jobId) = 0;
};

class PrintSpooler {
 public:
  virtual ~PrintSpooler() = default;
  // Opens the destination `name`; null when the spooler cannot be reached or does not know it.
  virtual std::unique_ptr<PrintQueue> Open(const std::string& name) = 0;
};

// The system's spooler. On POSIX: the CUPS server that libcups is configured for (CUPS_SERVER,
// then client.conf, then the local scheduler); built without CUPS (LINVO_WITH_CUPS=OFF) it opens
// nothing, so every clearing reports a spooler failure. On Windows: the print spooler service
// through winspool.
std::unique_ptr<PrintSpooler> MakeSystemSpooler();

}  // namespace linvo::control

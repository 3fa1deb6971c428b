#include "control/print_jobs.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "engine/result_codes.h"

namespace linvo::control {

long PrintJobClear(const std::string& printerName) {
  const std::unique_ptr<PrintSpooler> spooler = MakeSystemSpooler();
  return PrintJobClear(printerName, *spooler);
}

long PrintJobClear(const std::string& printerName, PrintSpooler& spooler) {
  if (printerName.empty()) return engine::kParameterError;
  // The name goes to the spooler whole, with no 255-byte limit of our own: a name the spooler
  // cannot hold (CUPS allows 127 bytes) is simply unknown to it, which gives 30.
  const std::unique_ptr<PrintQueue> queue = spooler.Open(printerName);
  if (!queue) return engine::kStateError;
  const std::optional<std::vector<int>> jobs = queue->ActiveJobs();
  if (!jobs) return engine::kStateError;
  std::printf("%d jobs\n", static_cast<int>(jobs->size()));
  std::fflush(stdout);
  for (int jobId : *jobs) {
    if (!queue->CancelJob(jobId)) return engine::kStateError;
  }
  return engine::kSuccess;
}

}  // namespace linvo::control

#include "control/print_jobs.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "engine/result_codes.h"

namespace linvo::control {

long PrintJobClear(const std::string& printerName, std::string* reason) {
  const std::unique_ptr<PrintSpooler> spooler = MakeSystemSpooler();
  return PrintJobClear(printerName, *spooler, reason);
}

long PrintJobClear(const std::string& printerName, PrintSpooler& spooler, std::string* reason) {
  if (reason != nullptr) reason->clear();
  // A spooler failure answers 30 and leaves the spooler's reason, in the form the engine gives
  // a line's failure.
  auto failed = [reason](const SpoolerError& error) {
    if (reason != nullptr && !error.message.empty()) {
      *reason = engine::FormatSystemError(error.code, error.message);
    }
    return engine::kStateError;
  };
  if (printerName.empty()) return engine::kParameterError;
  // The name goes to the spooler whole, with no 255-byte limit of our own: a name the spooler
  // cannot hold (CUPS allows 127 bytes) is simply unknown to it, which gives 30.
  const std::unique_ptr<PrintQueue> queue = spooler.Open(printerName);
  if (!queue) return failed(spooler.LastError());
  const std::optional<std::vector<int>> jobs = queue->ActiveJobs();
  if (!jobs) return failed(queue->LastError());
  std::printf("%d jobs\n", static_cast<int>(jobs->size()));
  std::fflush(stdout);
  for (int jobId : *jobs) {
    if (!queue->CancelJob(jobId)) return failed(queue->LastError());
  }
  return engine::kSuccess;
}

}  // namespace linvo::control

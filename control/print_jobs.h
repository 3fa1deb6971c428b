// lvoPrintJobClear: cancels every job waiting in a printer's queue.
#pragma once

#include <string>

#include "platform/print_spooler.h"

namespace linvo::control {

// The spooler seam is the platform's; print job clearing speaks only through it.
using platform::MakeSystemSpooler;
using platform::PrintQueue;
using platform::PrintSpooler;
using platform::SpoolerError;

// Cancels the active jobs of `printerName`, in the order the spooler lists them, after writing
// "<count> jobs\n" to standard output. Returns 0 when every job was cancelled (or there was
// none), 100 for an empty name (the spooler is not contacted), 30 when the destination cannot
// be opened, its jobs cannot be listed, or a cancel is refused (the jobs before it stay
// cancelled, the ones after it are left alone). With `reason`, a 30 leaves there why, as the
// spooler tells it ("The printer or class does not exist.: Office (system error 1030)"), and
// any other result "".
long PrintJobClear(const std::string& printerName, std::string* reason = nullptr);

// The same against a given spooler (the system's CUPS above).
long PrintJobClear(const std::string& printerName, PrintSpooler& spooler,
                   std::string* reason = nullptr);

}  // namespace linvo::control

#include "platform/print_spooler.h"

#ifdef LINVO_HAVE_CUPS
#include <cups/cups.h>

#include <cerrno>

#include "platform/error_text.h"
#endif

namespace linvo::platform {
namespace {

#ifdef LINVO_HAVE_CUPS

// Time allowed for connecting to the scheduler.
constexpr int kConnectTimeoutMs = 30000;

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
using HttpConnection = std::unique_ptr<http_t, HttpCloser>;

struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

bool IppSucceeded(ipp_status_t status) { return status < IPP_STATUS_REDIRECTION_OTHER_SITE; }

// The reason of the CUPS request that failed last on this thread, for the destination `name`.
SpoolerError LastCupsError(const std::string& name) {
  return {static_cast<int>(cupsLastError()), std::string(cupsLastErrorString()) + ": " + name};
}

// A destination on its own connection to the scheduler, closed with the queue.
class CupsQueue final : public PrintQueue {
 public:
  CupsQueue(HttpConnection http, std::string name)
      : m_http(std::move(http)), m_name(std::move(name)) {}

  std::optional<std::vector<int>> ActiveJobs() override {
    cups_job_t* jobs = nullptr;
    const int count =
        cupsGetJobs2(m_http.get(), &jobs, m_name.c_str(), /*myjobs=*/0, CUPS_WHICHJOBS_ACTIVE);
    if (count < 0) {
      m_error = LastCupsError(m_name);
      return std::nullopt;
    }
    std::vector<int> ids;
    ids.reserve(count);
    for (int i = 0; i < count; ++i) ids.push_back(jobs[i].id);
    cupsFreeJobs(count, jobs);
    return ids;
  }

  bool CancelJob(int jobId) override {
    if (IppSucceeded(cupsCancelJob2(m_http.get(), m_name.c_str(), jobId, /*purge=*/0))) {
      return true;
    }
    m_error = LastCupsError(m_name);
    return false;
  }

  SpoolerError LastError() const override { return m_error; }

 private:
  HttpConnection m_http;
  std::string m_name;
  SpoolerError m_error;
};

class CupsSpooler final : public PrintSpooler {
 public:
  std::unique_ptr<PrintQueue> Open(const std::string& name) override {
    errno = 0;
    HttpConnection http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(),
                                     /*blocking=*/1, kConnectTimeoutMs,
                                     /*cancel=*/nullptr));
    if (!http) {
      // The scheduler cannot be reached: the connection's error, when the system gave one.
      const int code = errno;
      m_error =
          code != 0 ? SpoolerError{code, platform::ErrorText(code) + ": " + name} : SpoolerError{};
      return nullptr;
    }
    if (!DestinationExists(http.get(), name)) {
      m_error = LastCupsError(name);
      return nullptr;
    }
    return std::make_unique<CupsQueue>(std::move(http), name);
  }

  SpoolerError LastError() const override { return m_error; }

 private:
  SpoolerError m_error;

  // An explicit Get-Printer-Attributes for the one name (printer or class): the job listing
  // would also fail for an unknown name, but only as a list error, and cupsGetNamedDest may
  // fall back to network discovery with a time-out of its own.
  static bool DestinationExists(http_t* http, const std::string& name) {
    char uri[HTTP_MAX_URI];
    if (httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                         "/printers/%s", name.c_str()) < HTTP_URI_STATUS_OK) {
      return false;
    }
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    // cupsDoRequest takes the request and frees it.
    IppMessage response(cupsDoRequest(http, request, "/"));
    return response && IppSucceeded(cupsLastError());
  }
};

#else  // !LINVO_HAVE_CUPS

class NoSpooler final : public PrintSpooler {
 public:
  std::unique_ptr<PrintQueue> Open(const std::string&) override { return nullptr; }
};

#endif

}  // namespace

std::unique_ptr<PrintSpooler> MakeSystemSpooler() {
#ifdef LINVO_HAVE_CUPS
  return std::make_unique<CupsSpooler>();
#else
  return std::make_unique<NoSpooler>();
#endif
}

}  // namespace linvo::platform

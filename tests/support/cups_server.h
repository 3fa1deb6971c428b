// A private CUPS scheduler for the print tests: its own configuration, spool and socket under a
// temporary directory, with queues that keep their jobs and discard any output.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace linvo::test {

class CupsServer {
 public:
  // Starts cupsd with the given queues, each stopped (jobs stay queued) and printing to
  // /dev/null. The cancel policy lets a user cancel only their own jobs. Returns null and says
  // why in *error when cupsd or lp is missing or the server does not come up.
  static std::unique_ptr<CupsServer> Start(const std::vector<std::string>& queues,
                                           std::string* error);
  // Stops the server (it is also killed should the test process die) and removes its files.
  ~CupsServer();

  CupsServer(const CupsServer&) = delete;
  CupsServer& operator=(const CupsServer&) = delete;

  // The value for CUPS_SERVER: the server's unix socket.
  const std::string& Address() const { return m_socket; }

  // Submits a small job to `queue` with lp, owned by `user` (empty: the calling user). Returns
  // the job id, or -1 with the reason in *error.
  int SubmitJob(const std::string& queue, const std::string& user, std::string* error) const;

 private:
  CupsServer() = default;

  std::string m_dir;
  std::string m_socket;
  std::string m_lp;
  pid_t m_pid = -1;
  int m_pidFd = -1;
};

}  // namespace linvo::test

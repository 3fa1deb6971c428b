#include "support/cups_server.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

extern char** environ;

namespace linvo::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kToolTimeout = std::chrono::seconds(10);
constexpr int kStopTimeoutMs = 5000;

// A program in PATH or in the sbin directories (cupsd lives in /usr/sbin, which a normal
// user's PATH may lack); "" when absent.
std::string FindProgram(const std::string& name) {
  std::string dirs = getenv("PATH") ? getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
  std::istringstream stream(dirs);
  for (std::string dir; std::getline(stream, dir, ':');) {
    if (dir.empty()) continue;
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string ReadTail(const std::string& path, size_t maxBytes = 2000) {
  std::ifstream file(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return text.size() > maxBytes ? text.substr(text.size() - maxBytes) : text;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file.flush());
}

bool CanConnect(const std::string& socketPath) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// Waits for the child behind `pidFd` to end, up to `timeoutMs`; true when it has.
bool WaitExit(int pidFd, int timeoutMs) {
  pollfd entry{pidFd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) > 0;
}

// Runs a tool with CUPS_SERVER set, its output (stdout and stderr) into *output. Returns the
// exit status, or -1 when it cannot run or outlasts kToolTimeout (it is then killed).
int RunTool(const std::vector<std::string>& args, const std::string& server, std::string* output) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "CUPS_SERVER=", 12) != 0) env.emplace_back(*entry);
  }
  env.push_back("CUPS_SERVER=" + server);
  std::vector<char*> argv;
  std::vector<char*> envp;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  pid_t pid = -1;
  const int spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawnError != 0) {
    close(pipeFds[0]);
    *output = std::string("cannot run ") + args[0] + ": " + std::strerror(spawnError);
    return -1;
  }

  const Clock::time_point deadline = Clock::now() + kToolTimeout;
  bool timedOut = false;
  char buffer[4096];
  for (;;) {
    pollfd entry{pipeFds[0], POLLIN, 0};
    if (poll(&entry, 1, RemainingMs(deadline)) <= 0) {
      timedOut = true;
      break;
    }
    const ssize_t length = read(pipeFds[0], buffer, sizeof buffer);
    if (length <= 0) break;
    output->append(buffer, static_cast<size_t>(length));
  }
  close(pipeFds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (timedOut) {
    *output += "\n" + args[0] + " timed out";
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string GroupName(gid_t gid) {
  const group* entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

}  // namespace

std::unique_ptr<CupsServer> CupsServer::Start(const std::vector<std::string>& queues,
                                              std::string* error) {
  const std::string cupsd = FindProgram("cupsd");
  if (cupsd.empty()) {
    *error =
        "cupsd not found: the print tests need a real CUPS scheduler (Debian package "
        "cups-daemon)";
    return nullptr;
  }
  std::unique_ptr<CupsServer> server(new CupsServer());
  server->m_lp = FindProgram("lp");
  if (server->m_lp.empty()) {
    *error = "lp not found: the print tests submit jobs with it (Debian package cups-client)";
    return nullptr;
  }

  std::string dir = (fs::temp_directory_path() / "linvo-cups-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) {
    *error = "mkdtemp: " + std::string(std::strerror(errno));
    return nullptr;
  }
  server->m_dir = dir;
  server->m_socket = dir + "/sock";
  if (server->m_socket.size() >= sizeof(sockaddr_un::sun_path)) {
    *error = "temporary directory path too long for a unix socket: " + dir;
    return nullptr;
  }
  for (const char* sub : {"spool", "cache", "state", "tmp", "log"})
    fs::create_directory(dir + "/" + sub);

  // As root cupsd runs its helpers as lp; as anyone else it stays that user. SystemGroup only
  // has to name an existing group: the policy below gives the system group nothing special.
  std::string files = "ServerRoot " + dir + "\nRequestRoot " + dir + "/spool\nCacheDir " + dir +
                      "/cache\nStateDir " + dir + "/state\nTempDir " + dir + "/tmp\nErrorLog " +
                      dir + "/log/error_log\nAccessLog " + dir + "/log/access_log\nPageLog " + dir +
                      "/log/page_log\nPrintcap " + dir + "/printcap\n" +
                      "FileDevice Yes\nSandboxing Relaxed\nSystemGroup " + GroupName(getegid()) +
                      "\n";
  if (geteuid() == 0) files += "User lp\nGroup lp\n";
  // Anyone may do anything except cancel another user's job: that is the refusal the tests
  // need from a real server.
  const std::string daemon = "LogLevel error\nListen " + server->m_socket +
                             "\nBrowsing No\nBrowseLocalProtocols none\nWebInterface No\n"
                             "DefaultAuthType None\n<Policy default>\n"
                             "  <Limit Cancel-Job>\n    Require user @OWNER\n"
                             "    Order deny,allow\n  </Limit>\n"
                             "  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
  std::string printers;
  for (const std::string& queue : queues) {
    printers += "<Printer " + queue +
                ">\nState Stopped\nAccepting Yes\nDeviceURI file:///dev/null\n</Printer>\n";
  }
  if (!WriteFile(dir + "/cups-files.conf", files) || !WriteFile(dir + "/cupsd.conf", daemon) ||
      !WriteFile(dir + "/printers.conf", printers) ||
      !WriteFile(dir + "/job.txt", "linvo test page\n")) {
    *error = "cannot write the cupsd configuration under " + dir;
    return nullptr;
  }

  // Watch for the socket before cupsd can create it.
  const int watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watchFd < 0 || inotify_add_watch(watchFd, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
    if (watchFd >= 0) close(watchFd);
    *error = "inotify: " + std::string(std::strerror(errno));
    return nullptr;
  }

  const std::string confPath = dir + "/cupsd.conf";
  const std::string filesPath = dir + "/cups-files.conf";
  const std::string outPath = dir + "/log/cupsd.out";
  const char* argv[] = {cupsd.c_str(),     "-f",   "-c", confPath.c_str(), "-s",
                        filesPath.c_str(), nullptr};
  const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on. cupsd dies with the test process, whatever
    // ends it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0) dup2(nullFd, 0);
    if (outFd >= 0) {
      dup2(outFd, 1);
      dup2(outFd, 2);
    }
    close_range(3, ~0U, 0);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  if (outFd >= 0) close(outFd);
  if (pid < 0) {
    close(watchFd);
    *error = "fork: " + std::string(std::strerror(errno));
    return nullptr;
  }
  server->m_pid = pid;
  // glibc 2.36's <sys/pidfd.h> lacks C linkage for C++, hence the raw system call.
  server->m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

  // Ready once the socket accepts a connection. The socket file appears at bind(); in the
  // moment before listen() a connect is refused, and only then is it retried after a short
  // wait on the server's exit.
  const Clock::time_point deadline = Clock::now() + kStartTimeout;
  bool ready = false;
  bool exited = false;
  while (!ready && !exited && Clock::now() < deadline) {
    struct stat socketStat;
    if (stat(server->m_socket.c_str(), &socketStat) == 0 && S_ISSOCK(socketStat.st_mode)) {
      ready = CanConnect(server->m_socket);
      if (!ready) exited = WaitExit(server->m_pidFd, 2);
      continue;
    }
    pollfd entries[2] = {{watchFd, POLLIN, 0}, {server->m_pidFd, POLLIN, 0}};
    if (poll(entries, 2, RemainingMs(deadline)) > 0) {
      char events[4096];
      while (read(watchFd, events, sizeof events) > 0) {
      }
      exited = (entries[1].revents & POLLIN) != 0;
    }
  }
  close(watchFd);
  if (!ready) {
    *error = std::string(exited ? "cupsd exited during start-up" : "cupsd did not come up") +
             "\n--- cupsd output ---\n" + ReadTail(outPath) + "\n--- error_log ---\n" +
             ReadTail(dir + "/log/error_log");
    return nullptr;  // the destructor stops what is left
  }
  return server;
}

CupsServer::~CupsServer() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    if (m_pidFd < 0 || !WaitExit(m_pidFd, kStopTimeoutMs)) kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_pidFd >= 0) close(m_pidFd);
  if (!m_dir.empty()) {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
}

int CupsServer::SubmitJob(const std::string& queue, const std::string& user,
                          std::string* error) const {
  std::vector<std::string> args = {m_lp, "-d", queue, "-t", "linvo"};
  if (!user.empty()) args.insert(args.end(), {"-U", user});
  args.push_back(m_dir + "/job.txt");
  std::string output;
  const int status = RunTool(args, m_socket, &output);
  // "request id is <queue>-<id> (1 file(s))"
  const std::string marker = "request id is " + queue + "-";
  const size_t at = output.find(marker);
  if (status != 0 || at == std::string::npos) {
    *error = "lp failed (status " + std::to_string(status) + "): " + output;
    return -1;
  }
  return std::atoi(output.c_str() + at + marker.size());
}

}  // namespace linvo::test

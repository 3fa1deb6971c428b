// linvo: the control from the shell, through dispatch by name.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "linvo/linvo.hpp"
#include "linvo/version.h"

namespace linvo::cli {

int Usage(const char* command, const std::string& message) {
  std::fprintf(stderr, "linvo %s: %s (see linvo %s --help)\n", command, message.c_str(), command);
  return 2;
}

bool UseSettings(const char* command, const std::string& dir) {
  if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
    Usage(command, "cannot enter settings directory " + dir + ": " + std::strerror(errno));
    return false;
  }
  const linvo::SettingsFile settings = linvo::ChosenSettingsFile();
  if (!settings.unused.empty())
    std::fprintf(stderr, "linvo: warning: %s\n", settings.unused.c_str());
  return true;
}

}  // namespace linvo::cli

namespace {

constexpr const char* kHelp =
    "Usage: linvo COMMAND [options]\n"
    "\n"
    "Drives the serial device control LINVO.LinvoCtrl.1 by member name.\n"
    "\n"
    "Commands:\n"
    "  members   list the control's properties, methods and events with their types\n"
    "  ports     list the COM names a host can open (--all: devices and unmapped adapters)\n"
    "  run       set properties, call methods, read properties and wait for events, in order\n"
    "\n"
    "linvo COMMAND --help describes each; linvo --version prints the version.\n"
    "Exit status: 0 success, 1 failure, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace linvo::cli;
  const std::string command = argc > 1 ? argv[1] : "";
  const Args args(argv + std::min(argc, 2), argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("linvo %d.%d.%d.%d\n", LINVO_VERSION_MAJOR, LINVO_VERSION_MINOR,
                LINVO_VERSION_PATCH, LINVO_VERSION_TWEAK);
    return 0;
  }
  try {
    if (command == "members") return Members(args);
    if (command == "ports") return Ports(args);
    if (command == "run") return Run(args);
  } catch (const linvo::Error& e) {
    std::fprintf(stderr, "linvo %s: %s\n", command.c_str(), e.what());
    return 1;
  }
  std::fprintf(stderr, "linvo: %s\n%s",
               command.empty() ? "no command given" : ("unknown command " + command).c_str(),
               kHelp);
  return 2;
}

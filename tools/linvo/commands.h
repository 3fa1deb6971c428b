// The subcommands of the linvo command. Each takes its arguments (after the subcommand's name)
// and returns the exit status: 0 success, 1 failure, 2 bad usage.
#pragma once

#include <string>
#include <vector>

namespace linvo::cli {

inline constexpr const char* kProgId = "LINVO.LinvoCtrl.1";

using Args = std::vector<std::string>;

int Members(const Args& args);
int Ports(const Args& args);
int Run(const Args& args);

// Prints "linvo <command>: <message> (see linvo <command> --help)" and returns 2.
int Usage(const char* command, const std::string& message);
// Enters the settings directory when one is given (the engine reads Linvo.ini from the current
// directory and writes its relative trace paths there); false with a message printed when it
// cannot. Then warns on standard error when a settings file there, or the per-user one, cannot
// be used, and says why ("linvo: warning: Settings file ./Linvo.ini not used: it is a
// directory").
bool UseSettings(const char* command, const std::string& dir);

}  // namespace linvo::cli

// Where diagnostic records go: appended to a log file, or to the debugger output.
#pragma once

#include <string>
#include <string_view>

namespace linvo::platform {

// Appends the record to the file with one write, creating the file private to the user (0600)
// when missing. Refuses (false, nothing written) a symbolic link, anything that is not a regular
// file (a FIFO cannot hang the call) and a file that cannot be opened.
bool AppendRecord(const std::string& path, std::string_view record);

// The debugger output of the Windows world; here standard error.
void WriteDebugOutput(std::string_view text);

}  // namespace linvo::platform

// Paths from the Windows world and the per-user directories the engine uses.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace linvo::platform {

// What separates a directory from a name in the system's own paths.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Turns a path written with backslashes (".\Linvo%03d.log") into a native one: every backslash
// becomes a slash. A leading "\\.\" device prefix is not special here.
std::string NativePath(std::string_view path);

// The per-user private temporary directory, with a trailing '/': $XDG_RUNTIME_DIR when it is set,
// absolute, a directory owned by this user and not reachable to others; otherwise
// ${TMPDIR:-/tmp}/linvo-<uid>/, created with mode 0700 and refused when it is a symbolic link,
// not a directory, owned by another user or open to group/others. Empty optional when none
// can be had.
std::optional<std::string> TempDirectory();

// The user's desktop directory without a trailing '/': $XDG_DESKTOP_DIR, else ~/Desktop when it
// exists. Empty optional otherwise.
std::optional<std::string> DesktopDirectory();

// True when something exists at the path (GetFileAttributes succeeding).
bool FileExists(const std::string& path);

}  // namespace linvo::platform

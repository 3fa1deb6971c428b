// Native paths and the per-user directories (POSIX).
#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace linvo::platform {

namespace {

// A directory private to this user: a real directory (lstat, so a symbolic link is refused),
// owned by us, with no permission bits for group or others when strict, or at least not writable
// by them when not strict.
bool IsPrivateDirectory(const std::string& path, mode_t forbiddenBits) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & forbiddenBits) == 0;
}

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

}  // namespace

std::string NativePath(std::string_view path) {
  std::string native(path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

std::optional<std::string> TempDirectory() {
  // The runtime directory is accepted when nobody else can write into it (the usual 0700 passes;
  // a group-readable one does too, as nothing written there is secret, only tamper-prone).
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateDirectory(runtime, S_IWGRP | S_IWOTH)) {
    return WithSlash(runtime);
  }

  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string dir = base + "/linvo-" + std::to_string(getuid());
  // mkdir never follows a symbolic link at the final component (EEXIST), and the lstat check
  // below decides whatever was there before us.
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  if (!IsPrivateDirectory(dir, S_IRWXG | S_IRWXO)) return std::nullopt;
  return dir + '/';
}

std::optional<std::string> DesktopDirectory() {
  auto isDirectory = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  auto withoutSlash = [](std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  };
  const char* desktop = std::getenv("XDG_DESKTOP_DIR");
  if (desktop != nullptr && desktop[0] != '\0') return withoutSlash(desktop);
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    const std::string candidate = withoutSlash(home) + "/Desktop";
    if (isDirectory(candidate)) return candidate;
  }
  return std::nullopt;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

}  // namespace linvo::platform

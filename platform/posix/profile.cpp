// INI ("profile") files with the behaviour of the Windows private-profile functions (POSIX).
//
// Reading: the file is read whole through a descriptor opened with O_NOFOLLOW; a symbolic link,
// a missing file or anything that is not a regular file reads as a missing file. Lines end with
// "\n" or "\r\n" (only "\n" ends a line: a bare "\r" belongs to it). A line whose first non-blank
// character is '[' starts a section (the name runs to the first ']'); ';' starts a comment line;
// other lines are "key=value" (a line without '=' is ignored, as are keys before the first
// section). Names compare case-insensitively (ASCII); the first section of a name and the first key
// of a name in it win.
//
// Writing: under an exclusive flock on the companion file "<file>.lock", the file is read,
// exactly one line is changed or added, and the result is written to a temporary file in the
// same directory ("<file>.tmp-XXXXXX", mkostemp), fsynced and renamed over the original, so
// readers (who take no lock) see the old or the new file, never a mix. A temporary file exists
// only while its writer holds the lock, so one found under the lock was left by a writer that
// died; it is removed before the write. The lock sits on a companion file because a
// lock on the settings file itself would be lost with the inode the rename replaces; a lock on
// the directory was rejected because flock on directories is not available everywhere (NFS turns
// flock into byte-range locks, which need a descriptor open for writing). The lock file is
// never removed: removing it would let two writers lock two different inodes.
#include "platform/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error_text.h"
#include "platform/text.h"

namespace linvo::platform {

namespace {

// Settings files are small; a larger file is treated as unreadable rather than read into memory.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;

constexpr std::string_view kBlanks = " \t\v\f\r";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// Closes a descriptor on scope exit.
class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) close(m_fd);
  }
  Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

struct FileContent {
  std::string bytes;
  mode_t mode = 0600;  // permissions for the rewritten file; a new file is private
  bool exists = false;
};

// Reads the whole file. A missing file (and a symbolic link when symlinkIsMissing) gives empty,
// non-existing content; nullopt means the file is there but unusable (a symbolic link when
// writing, not a regular file, too large, a read error), and *why (may be null) says which.
std::optional<FileContent> ReadFile(const std::string& file, bool symlinkIsMissing,
                                    std::string* why = nullptr) {
  const auto unusable = [why](std::string reason) -> std::optional<FileContent> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  FileContent content;
  // O_NONBLOCK so that a FIFO put in the file's place cannot hang the open.
  Fd fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) {
    if (errno == ENOENT || (errno == ELOOP && symlinkIsMissing)) return content;
    if (errno == ELOOP) {
      return unusable("is a symbolic link (settings files are not read through links)");
    }
    return unusable("cannot be read: " + ErrorText(errno));
  }
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return unusable("cannot be read: " + ErrorText(errno));
  if (S_ISDIR(st.st_mode)) return unusable("is a directory");
  if (!S_ISREG(st.st_mode)) return unusable("is not a regular file");
  if (st.st_size > kMaxFileSize) return unusable("is larger than 16 MiB");
  content.exists = true;
  content.mode = st.st_mode & 07777;
  char chunk[8192];
  for (;;) {
    const ssize_t n = read(fd.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return unusable("cannot be read: " + ErrorText(errno));
    if (n == 0) break;
    content.bytes.append(chunk, static_cast<size_t>(n));
    if (content.bytes.size() > static_cast<size_t>(kMaxFileSize)) {
      return unusable("is larger than 16 MiB");
    }
  }
  return content;
}

// One line of the file as stored: its offset and length without the terminator, and the length
// with it, so that untouched lines are written back byte for byte.
struct Line {
  size_t begin;
  size_t length;      // without "\n" / "\r\n"
  size_t fullLength;  // with the terminator
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed
};

std::vector<Line> SplitLines(const std::string& bytes) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t nl = bytes.find('\n', pos);
    const size_t end = nl == std::string::npos ? bytes.size() : nl;
    Line line{pos, end - pos, (nl == std::string::npos ? end : nl + 1) - pos, Line::kOther, {}, {}};
    if (line.length > 0 && bytes[end - 1] == '\r') --line.length;
    std::string_view text(bytes.data() + pos, line.length);
    if (pos == 0 && text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
    text = Trim(text);
    if (text.starts_with('[')) {
      line.kind = Line::kSection;
      const size_t close = text.find(']');
      line.name = Trim(text.substr(1, close == std::string_view::npos ? close : close - 1));
    } else if (!text.starts_with(';')) {
      const size_t eq = text.find('=');
      if (eq != std::string_view::npos) {
        line.kind = Line::kKey;
        line.name = Trim(text.substr(0, eq));
        line.value = Trim(text.substr(eq + 1));
      }
    }
    lines.push_back(line);
    pos += line.fullLength;
  }
  return lines;
}

// Index of the first section named `section`, or lines.size().
size_t FindSection(const std::vector<Line>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind == Line::kSection && EqualsNoCase(lines[i].name, section)) return i;
  }
  return lines.size();
}

// Index of the first key named `key` in the section starting at `header`, or lines.size().
size_t FindKey(const std::vector<Line>& lines, size_t header, std::string_view key) {
  for (size_t i = header + 1; i < lines.size() && lines[i].kind != Line::kSection; ++i) {
    if (lines[i].kind == Line::kKey && EqualsNoCase(lines[i].name, key)) return i;
  }
  return lines.size();
}

// A value without a matching pair of enclosing quotes.
std::string Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// The value of the key, or nullopt when missing.
std::optional<std::string> LookUp(const std::string& section, const std::string& key,
                                  const std::string& file) {
  const auto content = ReadFile(file, /*symlinkIsMissing=*/true);
  if (!content) return std::nullopt;
  const auto lines = SplitLines(content->bytes);
  const size_t header = FindSection(lines, Trim(section));
  if (header == lines.size()) return std::nullopt;
  const size_t at = FindKey(lines, header, Trim(key));
  if (at == lines.size()) return std::nullopt;
  return Unquoted(lines[at].value);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

constexpr std::string_view kTempInfix = ".tmp-";
constexpr std::size_t kTempRandomLength = 6;  // the XXXXXX of mkostemp

// Removes "<file>.tmp-XXXXXX" files of this user beside `file`. Called under the lock, when no
// writer can be using one.
void RemoveStaleTemporaries(const std::string& file) {
  const std::string directory = DirectoryOf(file);
  const size_t slash = file.rfind('/');
  const std::string prefix =
      (slash == std::string::npos ? file : file.substr(slash + 1)) + std::string(kTempInfix);
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + kTempRandomLength || !name.starts_with(prefix)) continue;
    struct stat st {};
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == geteuid()) {
      unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  closedir(dir);
}

// Writes `bytes` to a new file beside `file` and renames it into place. The old file stays as it
// was unless the rename happens.
bool ReplaceFile(const std::string& file, std::string_view bytes, mode_t mode) {
  std::string temp = file + std::string(kTempInfix) + std::string(kTempRandomLength, 'X');
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (fd.Get() < 0) return false;
  const bool written = WriteAll(fd.Get(), bytes) && fchmod(fd.Get(), mode) == 0 &&
                       fsync(fd.Get()) == 0 && rename(temp.c_str(), file.c_str()) == 0;
  if (!written) {
    unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here does not undo the completed write.
  Fd dir(open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) fsync(dir.Get());
  return true;
}

// The exclusive lock on "<file>.lock", held while the descriptor stays open.
Fd LockFor(const std::string& file) {
  const std::string lockPath = file + ".lock";
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  // A lock file created by someone else may be read-only to us; flock needs no write access.
  if (fd < 0 && errno == EACCES) fd = open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  Fd lock(fd);
  if (fd < 0) return lock;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return Fd();
  }
  return lock;
}

}  // namespace

ProfileFileState ProbeProfileFile(const std::string& file, std::string* reason) {
  std::string why;
  const auto content = ReadFile(file, /*symlinkIsMissing=*/false, &why);
  if (!content) {
    if (reason != nullptr) *reason = why;
    return ProfileFileState::kUnusable;
  }
  return content->exists ? ProfileFileState::kReadable : ProfileFileState::kAbsent;
}

int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                   const std::string& file) {
  const auto value = LookUp(section, key, file);
  // As on Windows, an empty value reads as the default too.
  if (!value || value->empty()) return defaultValue;
  std::string_view text = *value;
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Hand-written rather than strtol: strtol also accepts blanks after the sign, and its long
  // result would need clamping to int anyway.
  long long magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    magnitude =
        std::min<long long>(magnitude * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  const long long result = negative ? -magnitude : magnitude;
  return static_cast<int>(std::clamp<long long>(result, INT_MIN, INT_MAX));
}

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& file,
                              std::size_t bufferSize) {
  std::string value = LookUp(section, key, file).value_or(defaultValue);
  if (bufferSize == 0) return {};
  if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
  return value;
}

std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& section,
                                                                    const std::string& file) {
  std::vector<std::pair<std::string, std::string>> entries;
  const auto content = ReadFile(file, /*symlinkIsMissing=*/true);
  if (!content) return entries;
  const auto lines = SplitLines(content->bytes);
  const size_t header = FindSection(lines, Trim(section));
  for (size_t i = header + 1; i < lines.size() && lines[i].kind != Line::kSection; ++i) {
    if (lines[i].kind != Line::kKey || FindKey(lines, header, lines[i].name) != i) continue;
    entries.emplace_back(lines[i].name, Unquoted(lines[i].value));
  }
  return entries;
}

bool WriteProfileValue(const std::string& section, const std::string& key, const std::string& value,
                       const std::string& file) {
  const std::string_view sectionName = Trim(section);
  const std::string_view keyName = Trim(key);
  // Names and values that would change the structure of the file are refused rather than
  // written into a file that reads back differently.
  auto hasLineBreak = [](std::string_view s) { return s.find_first_of("\r\n") != s.npos; };
  if (sectionName.empty() || hasLineBreak(sectionName) ||
      sectionName.find(']') != sectionName.npos || keyName.empty() || hasLineBreak(keyName) ||
      keyName.find('=') != keyName.npos || keyName.front() == '[' || keyName.front() == ';' ||
      hasLineBreak(value)) {
    return false;
  }

  const Fd lock = LockFor(file);
  if (lock.Get() < 0) return false;
  RemoveStaleTemporaries(file);
  const auto content = ReadFile(file, /*symlinkIsMissing=*/false);
  if (!content) return false;
  const std::string& old = content->bytes;
  const auto lines = SplitLines(old);
  // New lines follow the file's own line ending.
  const std::string eol =
      (!lines.empty() && lines[0].fullLength == lines[0].length + 2) ? "\r\n" : "\n";
  const std::string keyLine = std::string(keyName) + "=" + value;

  std::string updated;
  const size_t header = FindSection(lines, sectionName);
  if (header == lines.size()) {
    // New section at the end, after a blank line when the file has content.
    updated = old;
    if (!updated.empty() && updated.back() != '\n') updated += updated.back() == '\r' ? "\n" : eol;
    if (!lines.empty() &&
        !Trim(std::string_view(old).substr(lines.back().begin, lines.back().length)).empty()) {
      updated += eol;
    }
    updated += "[" + std::string(sectionName) + "]" + eol + keyLine + eol;
  } else {
    const size_t at = FindKey(lines, header, keyName);
    if (at != lines.size()) {
      // Replace the line's text, keeping the key's spelling and the line's terminator.
      const Line& line = lines[at];
      updated = old.substr(0, line.begin) + std::string(line.name) + "=" + value +
                old.substr(line.begin + line.length);
    } else {
      // After the section's last key (or its header), before the blank lines and comments that
      // lead to the next section.
      size_t last = header;
      for (size_t i = header + 1; i < lines.size() && lines[i].kind != Line::kSection; ++i) {
        if (lines[i].kind == Line::kKey) last = i;
      }
      // A line is terminated only by "\n"; after a bare "\r" the "\n" completes it.
      const size_t insertAt = lines[last].begin + lines[last].fullLength;
      std::string ending;
      if (insertAt == 0 || old[insertAt - 1] != '\n') {
        ending = insertAt > 0 && old[insertAt - 1] == '\r' ? "\n" : eol;
      }
      updated = old.substr(0, insertAt) + ending + keyLine + eol + old.substr(insertAt);
    }
  }
  return ReplaceFile(file, updated, content->mode);
}

}  // namespace linvo::platform

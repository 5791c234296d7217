#include "platform/uFiles.h"
#include "platform/uFilesDetail.h"
#include "platform/uTime.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

// A file replaced in one step: its new content written and synced beside
// it, renamed over it (through every symbolic link to the file it leads
// to), and the leftovers of a replacement that was killed midway removed.

namespace logserver {

using namespace files_detail;

namespace {

constexpr const char* kReplaceSuffix = ".tmp-";

// The file `path` leads to through every symbolic link, also one that does
// not exist yet (a dangling link is followed to where its file would be).
// Empty with ELOOP for a loop of links.
std::string LinkTarget(const std::string& path) {
  std::string target = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
    char next[PATH_MAX];
    const ssize_t n = readlink(target.c_str(), next, sizeof next);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof next) return target;
    const std::string link(next, static_cast<std::size_t>(n));
    target = link.front() == '/' ? link : DirectoryPart(target) + link;
  }
  errno = ELOOP;
  return std::string();
}

// A new file beside `target` for its replacement, created with `mode`.
TDescriptor CreateReplacement(const std::string& target, unsigned mode, std::string& name) {
  static std::atomic<unsigned> sequence{0};
  const char* const digits = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint64_t seed = MonotonicMicroseconds() ^ (static_cast<std::uint64_t>(getpid()) << 32) ^ ++sequence;
    std::string suffix;
    for (int i = 0; i < 6; ++i, seed /= 36) suffix += digits[seed % 36];
    name = target + kReplaceSuffix + suffix;
    TDescriptor fd = OpenRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd || errno != EEXIST) return fd;
  }
  return TDescriptor();
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& content, unsigned newMode) {
  // The file a link leads to is the one replaced; a missing file is created.
  const std::string target = LinkTarget(path);
  if (target.empty()) return false;
  struct stat old;
  const bool existed = stat(target.c_str(), &old) == 0;
  // A file the service may not write is not replaced behind its back.
  if (existed && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;

  std::string temporary;
  TDescriptor fd = CreateReplacement(target, existed ? 0600 : newMode, temporary);
  if (!fd) return false;
  bool ok = true;
  if (existed) {
    // The old file's owner and group where this process may set them (root
    // may; another user may keep at least the group when it belongs to it).
    if (fchown(fd.Get(), old.st_uid, old.st_gid) != 0) fchown(fd.Get(), static_cast<uid_t>(-1), old.st_gid);
    ok = fchmod(fd.Get(), old.st_mode & 07777) == 0;
  }
  ok = ok && WriteAll(fd.Get(), content.data(), content.size()) && fsync(fd.Get()) == 0;
  int saved = errno;
  fd.Reset();
  if (ok && rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  // The rename itself reaches the disk with its directory. The new file is
  // in place either way; a directory that cannot be synced only leaves the
  // rename to the kernel's own write-back.
  const std::string directory = DirectoryPart(target);
  TDescriptor dir = OpenRetrying(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (dir) fsync(dir.Get());
  return true;
}

void RemoveReplaceLeftovers(const std::string& path) {
  const std::string target = LinkTarget(path);
  if (target.empty()) return;
  const std::string directory = DirectoryPart(target);
  const std::string stem = FileNamePart(target) + kReplaceSuffix;
  TDescriptor dir = OpenRetrying(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
  std::vector<std::string> names;
  if (!dir || !ListDirectory(dir.Get(), names)) return;
  for (const std::string& name : names) {
    if (name.size() != stem.size() + 6 || name.compare(0, stem.size(), stem) != 0) continue;
    struct stat st;
    if (fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      unlinkat(dir.Get(), name.c_str(), 0);
  }
}

}  // namespace logserver

#include "platform/uFiles.h"
#include "platform/uFilesDetail.h"


#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logserver {

namespace files_detail {

TDescriptor OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return TDescriptor(fd);
}

TDescriptor OpenAtRetrying(int dir, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(dir, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return TDescriptor(fd);
}

// Keeps `file` only when it is a regular file (EINVAL otherwise).
void KeepOnlyRegularFile(TDescriptor& file, bool endTornLine) {
  struct stat st;
  if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    file.Reset();
    errno = EINVAL;
    return;
  }
  if (!endTornLine || st.st_size == 0) return;
  char last = '\n';
  ssize_t n;
  do {
    n = pread(file.Get(), &last, 1, st.st_size - 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1 && last != '\n') AppendWhole(file.Get(), "\n", 1);
}

void Fill(const struct stat& st, TEntryStatus& status) {
  if (S_ISREG(st.st_mode))
    status.Kind = TEntryStatus::TKind::File;
  else if (S_ISDIR(st.st_mode))
    status.Kind = TEntryStatus::TKind::Directory;
  else if (S_ISLNK(st.st_mode))
    status.Kind = TEntryStatus::TKind::Link;
  else
    status.Kind = TEntryStatus::TKind::Other;
  status.Device = st.st_dev;
  status.Inode = st.st_ino;
  status.Links = st.st_nlink;
  status.Size = static_cast<std::uint64_t>(st.st_size);
  status.Mode = st.st_mode & 07777;
  status.Owner = st.st_uid;
  status.Group = st.st_gid;
  status.ModifiedSeconds = st.st_mtim.tv_sec;
  status.ModifiedNanoseconds = st.st_mtim.tv_nsec;
  status.AccessedSeconds = st.st_atim.tv_sec;
  status.AccessedNanoseconds = st.st_atim.tv_nsec;
}

}  // namespace files_detail

using namespace files_detail;

TDescriptor OpenLogBase(const std::string& base, unsigned directoryMode) {
  const std::string start = base.empty() ? std::string(".") : base;
  TDescriptor dir = OpenRetrying(start.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (!dir && errno == ENOENT) {
    // Whether it could be made shows in the open that follows.
    ForceDirectories(start, directoryMode);
    dir = OpenRetrying(start.c_str(), O_RDONLY | O_DIRECTORY, 0);
  }
  return dir;
}

TDescriptor OpenSubdirectory(int dir, const std::string& name, bool parentMade, bool* made, unsigned mode) {
  if (made != nullptr) *made = false;
  // In a directory made a moment ago nothing can be found: make it first.
  if (parentMade && mkdirat(dir, name.c_str(), mode) == 0) {
    if (made != nullptr) *made = true;
    return OpenAtRetrying(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  }
  TDescriptor sub = OpenAtRetrying(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (sub || errno != ENOENT) return sub;
  // Another writer may create it between the two calls: EEXIST is fine.
  const bool madeHere = mkdirat(dir, name.c_str(), mode) == 0;
  if (!madeHere && errno != EEXIST) return TDescriptor();
  if (made != nullptr) *made = madeHere;
  return OpenAtRetrying(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
}

TDescriptor OpenLogDirectoryBelow(const std::string& base,
                                  const std::vector<std::string>& directories) {
  TDescriptor dir = OpenLogBase(base);
  for (const std::string& name : directories) {
    if (!dir) return dir;
    if (name.empty()) continue;
    dir = OpenSubdirectory(dir.Get(), name);
  }
  return dir;
}

TDescriptor OpenLogFileIn(int directory, const std::string& fileName, unsigned mode,
                          bool endTornLine) {
  if (fileName.empty()) {
    errno = EISDIR;
    return TDescriptor();
  }
  // A new file (the common case: a new hour) is certainly a regular file of
  // our own making: one call.
  TDescriptor file = OpenAtRetrying(directory, fileName.c_str(),
                                    O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (file || errno != EEXIST) return file;
  // An existing one is appended to, never truncated, and must be a regular
  // file: O_NONBLOCK keeps a planted FIFO from blocking the open. On a
  // regular file O_NONBLOCK changes nothing, so it may stay set.
  file = OpenAtRetrying(directory, fileName.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK, 0);
  if (file) KeepOnlyRegularFile(file, endTornLine);
  return file;
}

TDescriptor OpenLogFileBelow(const std::string& base, const std::vector<std::string>& directories,
                             const std::string& fileName) {
  TDescriptor dir = OpenLogDirectoryBelow(base, directories);
  if (!dir) return dir;
  return OpenLogFileIn(dir.Get(), fileName);
}

std::string DescriptorPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  // On the stack: a directory's path is checked each time a file is opened
  // in it, and a 4 KiB string cleared per check would cost more than the
  // readlink.
  char path[4096];
  const ssize_t n = readlink(link, path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return std::string();
  return std::string(path, static_cast<std::size_t>(n));
}

int PrepareWritableDirectory(const std::string& directory, unsigned mode) {
  const std::string path = directory.empty() ? std::string(".") : directory;
  if (!ForceDirectories(path, mode)) return errno != 0 ? errno : ENOTDIR;
  if (faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
  return 0;
}

int CheckWritableDirectory(const std::string& directory) {
  std::string path = directory.empty() ? std::string(".") : directory;
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return ENOTDIR;
      return faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
    }
    if (errno != ENOENT) return errno;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      if (path == ".") return ENOENT;  // the working directory itself is gone
      path = ".";
    } else {
      path.resize(slash == 0 ? 1 : slash);
    }
  }
}

int MarkTopOfHierarchies(const std::string& directory) {
  TDescriptor fd(open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno;
  // The kernel reads and writes an int here, whatever the macro's type says.
  int flags = 0;
  if (ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags) != 0) return errno;
  if ((flags & FS_TOPDIR_FL) != 0) return 0;
  flags |= FS_TOPDIR_FL;
  return ioctl(fd.Get(), FS_IOC_SETFLAGS, &flags) == 0 ? 0 : errno;
}

std::size_t CountDirectoryEntries(const std::string& path) {
  std::error_code error;
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator(path, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

bool IsUnlinked(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_nlink == 0;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return true;
  // Walk the components outermost first; failures are ignored until the end,
  // where only the outcome matters.
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && !DirectoryExists(prefix)) mkdir(prefix.c_str(), mode);
  }
  return DirectoryExists(path);
}

TDescriptor OpenAppend(const std::string& path, bool create) {
  int flags = O_RDWR | O_APPEND;
  if (create) flags |= O_CREAT;
  return OpenRetrying(path.c_str(), flags, 0666);
}

long ReadFromFileAt(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  for (;;) {
    const ssize_t n = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

bool TruncateFile(int fd, std::uint64_t size) {
  for (;;) {
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

std::int64_t FileSizeOf(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return -1;
  return static_cast<std::int64_t>(status.st_size);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool AppendWhole(int fd, const char* data, std::size_t size) {
  const std::uint32_t end = static_cast<std::uint32_t>(size);
  return AppendUnits(fd, data, size, &end, 1) == 1;
}

std::size_t AppendUnits(int fd, const char* data, std::size_t size, const std::uint32_t* ends,
                        std::size_t count) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  if (written == size) return count;
  const int saved = errno;
  // Keep the units that reached the file whole; cut off the torn rest.
  std::size_t whole = 0;
  while (whole < count && ends[whole] <= written) ++whole;
  const std::size_t kept = whole > 0 ? ends[whole - 1] : 0;
  if (written > kept) {
    const off_t end = lseek(fd, 0, SEEK_END);
    const off_t torn = static_cast<off_t>(written - kept);
    if (end >= torn) {
      int rc;
      do {
        rc = ftruncate(fd, end - torn);
      } while (rc != 0 && errno == EINTR);
    }
  }
  errno = saved == 0 ? EIO : saved;
  return whole;
}

bool ReadFileText(const std::string& path, std::string& content, bool& exists, std::size_t maxBytes) {
  content.clear();
  exists = false;
  // Without blocking, and only a regular file: a FIFO (or a device) named
  // as a file to read would hold the caller in open or read for ever.
  const TDescriptor fd = OpenRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
  if (!fd) return errno == ENOENT;
  exists = true;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    // Counted as read, so that a file that grows (or never ends) is bounded too.
    if (content.size() + static_cast<std::size_t>(n) > maxBytes) {
      content.clear();
      errno = EFBIG;
      return false;
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

long ReadFromFile(int fd, char* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

bool CopyFileAttributes(int fd, const TEntryStatus& status) {
  if (fchown(fd, status.Owner, status.Group) != 0 && errno != EPERM) return false;
  if (fchmod(fd, status.Mode & 0777) != 0) return false;
  const timespec times[2] = {{status.AccessedSeconds, status.AccessedNanoseconds},
                             {status.ModifiedSeconds, status.ModifiedNanoseconds}};
  return futimens(fd, times) == 0;
}

bool SyncFile(int fd) {
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

TDescriptor DuplicateDescriptor(int fd) { return TDescriptor(fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

bool SyncFileSystem(int fd) {
  int rc;
  do {
    rc = syncfs(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

std::string ExecutablePath() {
  std::string buffer(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0) return std::string();
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

std::string DirectoryPart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace logserver

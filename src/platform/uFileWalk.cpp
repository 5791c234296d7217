#include "platform/uFiles.h"
#include "platform/uFilesDetail.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The contained walk: directories opened and read by descriptor, entries
// looked at, opened, made and removed by name below one open directory,
// never through a link.

namespace logserver {

using namespace files_detail;

TDescriptor OpenDirectoryToWalk(const std::string& path) {
  return OpenAtRetrying(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY, 0);
}

bool ListDirectory(int directory, std::vector<std::string>& names) {
  names.clear();
  // fdopendir takes the descriptor over: it gets a duplicate of its own.
  const int own = fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return false;
  DIR* listing = fdopendir(own);
  if (listing == nullptr) {
    const int error = errno;
    close(own);
    errno = error;
    return false;
  }
  rewinddir(listing);
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  const int error = errno;
  closedir(listing);
  errno = error;
  return ok;
}

bool EntryStatusIn(int directory, const std::string& name, TEntryStatus& status) {
  struct stat st;
  if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  Fill(st, status);
  return true;
}

bool DescriptorStatus(int fd, TEntryStatus& status) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  Fill(st, status);
  return true;
}

TDescriptor OpenExistingSubdirectory(int directory, const std::string& name) {
  return OpenAtRetrying(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
}

TDescriptor OpenRegularFileIn(int directory, const std::string& name) {
  TDescriptor file = OpenAtRetrying(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
  if (file) KeepOnlyRegularFile(file);
  return file;
}

TDescriptor CreateNewFileIn(int directory, const std::string& name, unsigned mode) {
  return OpenAtRetrying(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
}

bool RemoveFileIn(int directory, const std::string& name) {
  return unlinkat(directory, name.c_str(), 0) == 0;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool RenamePath(const std::string& from, const std::string& to) {
  // No replacing: what holds the name stays.
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

bool RemoveDirectoryIn(int directory, const std::string& name) {
  return unlinkat(directory, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace logserver

#include "platform/uFiles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logserver {

namespace {

TDescriptor OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return TDescriptor(fd);
}

}  // namespace

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
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int saved = errno;
    if (written > 0) {
      const off_t end = lseek(fd, 0, SEEK_END);
      if (end >= static_cast<off_t>(written)) {
        int rc;
        do {
          rc = ftruncate(fd, end - static_cast<off_t>(written));
        } while (rc != 0 && errno == EINTR);
      }
    }
    errno = saved;
    return false;
  }
  return true;
}

bool ReadFileText(const std::string& path, std::string& content, bool& exists) {
  content.clear();
  exists = false;
  const TDescriptor fd = OpenRetrying(path.c_str(), O_RDONLY, 0);
  if (!fd) return errno == ENOENT;
  exists = true;
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool WriteFileText(const std::string& path, const std::string& content) {
  TDescriptor fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) return false;
  return WriteAll(fd.Get(), content.data(), content.size());
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

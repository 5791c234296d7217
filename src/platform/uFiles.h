// Files, directories and the process's own identity.
//
// Every function returns its result and leaves errno for the caller; EINTR is
// retried inside. Descriptors are opened close-on-exec. Thread-safe.
#pragma once

#include "platform/uDescriptor.h"

#include <cstddef>
#include <string>

namespace logserver {

// True when anything (file, directory, link, device) exists under `path`.
bool PathExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Creates every missing directory of `path`, outermost first, with `mode`
// before the umask. Returns true when `path` is a directory afterwards.
bool ForceDirectories(const std::string& path, unsigned mode = 0777);

// Opens `path` for reading and writing with every write at the end of the
// file. With `create` a missing file is created with 0666 before the umask;
// an existing file is never truncated. Empty on failure, errno set.
TDescriptor OpenAppend(const std::string& path, bool create);

// Writes all `size` bytes, continuing after short writes and retrying
// interrupted ones. Returns false when a write failed; whatever reached the
// file before the failure stays there.
bool WriteAll(int fd, const char* data, std::size_t size);

// As WriteAll for a file opened for appending, by its only writer: when the
// data cannot be written whole (a full disk), what did reach the file is cut
// off again, so the file never ends in a torn piece.
bool AppendWhole(int fd, const char* data, std::size_t size);

// Reads a whole file. A missing file gives `exists` false and returns true;
// any other failure returns false with errno set.
bool ReadFileText(const std::string& path, std::string& content, bool& exists);

// Replaces the contents of `path` with `content`, creating it when missing.
// False with errno set when it cannot be opened or written.
bool WriteFileText(const std::string& path, const std::string& content);

// The running executable's path as the kernel reports it.
std::string ExecutablePath();

// Everything up to and including the last "/" of `path`; empty without one.
std::string DirectoryPart(const std::string& path);
// Everything after the last "/" of `path`.
std::string FileNamePart(const std::string& path);

}  // namespace logserver

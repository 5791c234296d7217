// Files, directories and the process's own identity.
//
// Every function returns its result and leaves errno for the caller; EINTR is
// retried inside. Descriptors are opened close-on-exec. Thread-safe.
#pragma once

#include "platform/uDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace logserver {

// True when anything (file, directory, link, device) exists under `path`.
bool PathExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// The modes log files and their directories are created with (the umask
// may take away from them, never add); operators may set others.
constexpr unsigned kLogFileMode = 0640;
constexpr unsigned kLogDirectoryMode = 0750;

// Creates every missing directory of `path`, outermost first, with `mode`
// before the umask. Returns true when `path` is a directory afterwards.
bool ForceDirectories(const std::string& path, unsigned mode = kLogDirectoryMode);

// Opens `path` for reading and writing with every write at the end of the
// file. With `create` a missing file is created with 0666 before the umask;
// an existing file is never truncated. Empty on failure, errno set.
TDescriptor OpenAppend(const std::string& path, bool create);

// Opens the log file `fileName` in the directory `directories` below `base`
// for appending, creating what is missing (directories 0777, the file 0666,
// before the umask). `base` is an existing or creatable directory path,
// empty for the working directory, and may itself be a symbolic link; below
// it every level is opened relative to its parent with O_NOFOLLOW, so no
// symbolic link there is followed (ELOOP), and the file must be a regular
// file (EINVAL otherwise). Empty pieces are skipped, as a path would. An
// existing file is never truncated. Empty on failure, errno set. What is
// created gets kLogDirectoryMode and kLogFileMode before the umask.
TDescriptor OpenLogFileBelow(const std::string& base, const std::vector<std::string>& directories,
                             const std::string& fileName);

// The steps of OpenLogFileBelow, for a caller that keeps directories open:
// the base (created when missing; it may be a link), one level below an open
// directory (created when missing; never a link), the whole walk, and the
// file in an open directory (one call when the file is new).
TDescriptor OpenLogBase(const std::string& base, unsigned directoryMode = kLogDirectoryMode);
// With `parentMade` (`directory` was just made, so it holds nothing) the
// level is made first, which spares the failed open; `made` tells whether
// this call made it.
TDescriptor OpenSubdirectory(int directory, const std::string& name, bool parentMade = false,
                             bool* made = nullptr, unsigned mode = kLogDirectoryMode);
TDescriptor OpenLogDirectoryBelow(const std::string& base,
                                  const std::vector<std::string>& directories);
// With `endTornLine`, an existing file whose last line has no end (a
// writer killed inside a write leaves one) gets its newline first, so the
// next line starts a line of its own instead of running on from the torn one.
TDescriptor OpenLogFileIn(int directory, const std::string& fileName, unsigned mode = kLogFileMode,
                          bool endTornLine = false);

// Where an open file or directory is now, as the kernel names it (with
// " (deleted)" after a deleted one); empty when it cannot be told.
std::string DescriptorPath(int fd);

// Creates `directory` (and its parents, with `mode`) when missing and checks
// that this process may create files in it. Returns 0, or the errno that
// says why not.
int PrepareWritableDirectory(const std::string& directory, unsigned mode = kLogDirectoryMode);
// Whether PrepareWritableDirectory would succeed, touching nothing: the
// directory, or the nearest of its parents that exists, is a directory this
// process may create files in. 0, or the errno that says why not.
int CheckWritableDirectory(const std::string& directory);

// Asks the file system to place each directory made in `directory` as the
// start of a hierarchy of its own, spread over the disk (ext4's
// top-of-hierarchies flag, `chattr +T`). 0 when the flag is set (also when
// it already was); ENOTTY, EOPNOTSUPP or EINVAL where the file system has no
// such flag; another errno when it cannot be set.
int MarkTopOfHierarchies(const std::string& directory);

// How many entries a directory has ("." and ".." not counted); 0 when it
// cannot be read.
std::size_t CountDirectoryEntries(const std::string& path);

// True when the open file has no name left (deleted, or its directory was).
bool IsUnlinked(int fd);

// Writes all `size` bytes, continuing after short writes and retrying
// interrupted ones. Returns false when a write failed; whatever reached the
// file before the failure stays there.
bool WriteAll(int fd, const char* data, std::size_t size);

// As WriteAll for a file opened for appending, by its only writer: when the
// data cannot be written whole (a full disk), what did reach the file is cut
// off again, so the file never ends in a torn piece.
bool AppendWhole(int fd, const char* data, std::size_t size);

// As AppendWhole for data made of units (lines) that end at the offsets
// `ends` (ascending, the last one `size`): with one write when it can, and
// when not all of it fits, the units that reached the file whole stay and
// the rest is cut off again. Returns how many units were written; errno
// tells why the others were not.
std::size_t AppendUnits(int fd, const char* data, std::size_t size, const std::uint32_t* ends,
                        std::size_t count);

// Reads a whole file. A missing file gives `exists` false and returns true;
// any other failure returns false with errno set, EFBIG for a file larger
// than `maxBytes`, EINVAL for anything but a regular file (a FIFO is never
// waited for).
bool ReadFileText(const std::string& path, std::string& content, bool& exists,
                  std::size_t maxBytes = static_cast<std::size_t>(-1));

// Replaces the file at `path` by one holding `content`, atomically: the
// content goes into a new file beside it (named `path`.tmp-XXXXXX), which is
// synced and renamed over it, so a failure (full disk, file-size limit, a
// signal) leaves the old file whole. When `path` is a symbolic link, the
// file it leads to is replaced (or created, when it is missing) and the link
// stays. The mode of the old file is kept, and its owner and group where
// this process may set them; a new file gets `newMode` before the umask. A
// file this process may not write is not replaced (EACCES). False with
// errno set; the new file is removed again.
bool ReplaceFileAtomically(const std::string& path, const std::string& content, unsigned newMode = 0640);

// Removes the new files a ReplaceFileAtomically of `path` left behind when
// the process was killed in the middle of it.
void RemoveReplaceLeftovers(const std::string& path);

// Below an open directory, by name relative to it and never through a
// symbolic link: what a job needs that walks a tree other users can write
// to (the log tree) and must not be led out of it.

struct TEntryStatus {
  enum class TKind { File, Directory, Link, Other };
  TKind Kind = TKind::Other;
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::uint64_t Links = 0;
  std::uint64_t Size = 0;
  unsigned Mode = 0;  // the permission bits
  unsigned Owner = 0;
  unsigned Group = 0;
  // Last modification and access, wall clock.
  std::int64_t ModifiedSeconds = 0;
  long ModifiedNanoseconds = 0;
  std::int64_t AccessedSeconds = 0;
  long AccessedNanoseconds = 0;

  bool SameFile(const TEntryStatus& other) const { return Device == other.Device && Inode == other.Inode; }
};

// Opens an existing directory to walk from; `path` may be a link (the
// operator named it).
TDescriptor OpenDirectoryToWalk(const std::string& path);

// The names in an open directory, "." and ".." left out. The descriptor's
// position is used up: a second listing needs a fresh descriptor.
bool ListDirectory(int directory, std::vector<std::string>& names);

// The status of `name` in `directory`: of the link itself when it is one.
bool EntryStatusIn(int directory, const std::string& name, TEntryStatus& status);
bool DescriptorStatus(int fd, TEntryStatus& status);

// Opens an existing directory below `directory`; ELOOP or ENOTDIR when the
// name is a link or no directory. Nothing is created.
TDescriptor OpenExistingSubdirectory(int directory, const std::string& name);

// Opens an existing regular file for reading; a link fails (ELOOP), and
// anything but a regular file fails with EINVAL without blocking (a FIFO).
TDescriptor OpenRegularFileIn(int directory, const std::string& name);

// Creates `name` in `directory` for writing; fails with EEXIST when anything
// has the name already, a link included.
TDescriptor CreateNewFileIn(int directory, const std::string& name, unsigned mode);

// Gives `from` (a file or a directory) the name `to`, which must not be
// taken; false (errno set) otherwise.
bool RenamePath(const std::string& from, const std::string& to);

// Removes a file (or link) or an empty directory by its name.
bool RemoveFileIn(int directory, const std::string& name);
// Removes a file by its path; false (errno set) when it could not, also
// when there was none.
bool RemoveFile(const std::string& path);
bool RemoveDirectoryIn(int directory, const std::string& name);

// Reads up to `size` bytes; the count, 0 at the end, -1 on failure.
long ReadFromFile(int fd, char* buffer, std::size_t size);
// As ReadFromFile, from `offset` on, without moving the file position.
long ReadFromFileAt(int fd, char* buffer, std::size_t size, std::uint64_t offset);
// Cuts an open file to `size` bytes.
bool TruncateFile(int fd, std::uint64_t size);
// The size of an open file; -1 on failure.
std::int64_t FileSizeOf(int fd);

// Gives an open file the owner, group, permission bits and times of another
// (`status`). Changing the owner needs privileges: without them the file
// keeps this process's, which is not counted as failure.
bool CopyFileAttributes(int fd, const TEntryStatus& status);

// Writes what the kernel still holds of an open file to its disk.
bool SyncFile(int fd);
// A second descriptor of the same open file (close-on-exec), for a thread
// that must outlive the first one's owner closing it; invalid (errno set)
// on failure.
TDescriptor DuplicateDescriptor(int fd);
// Writes what the kernel still holds of the whole file system `fd` lives
// on: one call for many files.
bool SyncFileSystem(int fd);

// The running executable's path as the kernel reports it.
std::string ExecutablePath();

// Everything up to and including the last "/" of `path`; empty without one.
std::string DirectoryPart(const std::string& path);
// Everything after the last "/" of `path`.
std::string FileNamePart(const std::string& path);

}  // namespace logserver

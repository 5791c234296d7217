// The open log files, shared by all file producers.
//
// Producers that write the same path share one descriptor, and at most
// Capacity descriptors are open; beyond that the least recently written file
// is closed and reopened (append, never truncate) with its next line. So
// descriptors stay bounded however many senders there are.
//
// Thread-safe: one lock guards the table and every write through it.
#pragma once

#include "platform/uDescriptor.h"

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace logserver {

class TLogFileTable {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;

  // The table the file producers use.
  static TLogFileTable& Shared();

  explicit TLogFileTable(std::size_t capacity = kDefaultCapacity)
      : Capacity(capacity < 1 ? 1 : capacity) {}
  TLogFileTable(const TLogFileTable&) = delete;
  TLogFileTable& operator=(const TLogFileTable&) = delete;

  // Registers a user of `path` and opens it: a path where nothing exists
  // gets its missing directories and an empty file. False, with no user
  // registered, when it cannot be opened.
  bool Attach(const std::string& path);
  // Drops a user; the last one closes the file.
  void Detach(const std::string& path);
  // Appends `data` whole to an attached path, reopening it when it was
  // closed to make room. False when the data was lost.
  bool Append(const std::string& path, const std::string& data);

  std::size_t OpenFiles();
  void SetCapacity(std::size_t capacity);

 private:
  struct TEntry {
    TDescriptor file;
    std::size_t users = 0;
    std::list<std::string>::iterator recent;  // valid while the file is open
  };

  // Opens the entry's file and makes it the most recent; under Guard.
  bool Open(const std::string& path, TEntry& entry);
  void Close(TEntry& entry);  // under Guard
  // Closes the least recently written files until `keep` are open; entries
  // without users go with them. Under Guard.
  void CloseOldest(std::size_t keep);

  std::mutex Guard;
  std::size_t Capacity;                             // guarded by Guard
  std::unordered_map<std::string, TEntry> Entries;  // guarded by Guard
  std::list<std::string> Recent;                    // open paths, most recent first
};

}  // namespace logserver

// The open log files, shared by all file producers. The service core
// creates one table and lends it to its producers (through the producers'
// environment); nothing else holds one.
//
// Producers that write the same path share one descriptor, and at most
// Capacity descriptors are open; beyond that the least recently written file
// is closed and reopened (append, never truncate) with its next line. So
// descriptors stay bounded however many senders there are.
//
// A file that is not open when a line comes (its open failed, it was closed
// to make room or by ReopenAll, or it was deleted) is opened then, at most
// once per retry interval, so a lasting failure costs one attempt a second
// and not one per line. Every line that cannot be written is counted, with
// the path and the reason, for the service to report (TakeLosses).
//
// Files are opened below their base directory without following links
// (OpenLogFileBelow), so nothing planted in the tree leads a line out of it.
//
// Group commit: between BeginBatch and EndBatch, appended lines collect per
// file and go out with one write per file at EndBatch (or as soon as a
// file's pending bytes pass kFlushBytes, or before the file is closed). What
// reaches a file is the same bytes in the same order as with one write per
// line; a write that runs short keeps the lines that reached the file whole.
// Outside a batch every line is written at once.
//
// Thread-safe: one lock guards the table and every write through it. In the
// service only the main thread uses it.
#pragma once

#include "platform/uDescriptor.h"
#include "platform/uSync.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace logserver {

// Where a log file lives: the directory it must stay below (empty for the
// working directory; it may be a link), the levels below it, and its name.
struct TLogFilePath {
  std::string Base;
  std::vector<std::string> Directories;
  std::string FileName;
  // Whether its lines count in the statistics (the service's own do not).
  bool CountedInStatistics = true;
  // Base, the levels and the name joined with "/": the table's key.
  std::string Text() const;
  // A path taken whole: everything before the last "/" is the base.
  static TLogFilePath FromText(const std::string& path);
};

class TLogFileTable {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;
  static constexpr std::uint64_t kDefaultRetryMs = 1000;
  // Distinct paths whose losses are told apart; the rest are summed.
  static constexpr std::size_t kLossPaths = 64;
  static constexpr std::size_t kFlushBytes = 64 * 1024;

  explicit TLogFileTable(std::size_t capacity = kDefaultCapacity)
      : Capacity(capacity < 1 ? 1 : capacity) {}
  TLogFileTable(const TLogFileTable&) = delete;
  TLogFileTable& operator=(const TLogFileTable&) = delete;

  // Registers a user of the path and opens the file, creating its missing
  // directories and the file itself. True when it is open now; a user is
  // registered either way, and Append tries again later.
  bool Attach(const TLogFilePath& path) EXCLUDES(Guard);
  bool Attach(const std::string& path) { return Attach(TLogFilePath::FromText(path)); }
  // Drops a user; the last one closes the file.
  void Detach(const std::string& path) EXCLUDES(Guard);
  // Appends `data` whole to an attached path, opening the file first when
  // it is not open (at most once per retry interval). False when the data
  // was lost; it is then counted with the reason.
  // Within a batch the data waits for EndBatch and true means only that it
  // was taken; what is lost at the write is counted then.
  bool Append(const std::string& path, const std::string& data) EXCLUDES(Guard);
  bool IsOpen(const std::string& path) EXCLUDES(Guard);

  // Main thread: lines appended from now on wait for EndBatch, which writes
  // every file's pending lines, one write per file.
  void BeginBatch() EXCLUDES(Guard);
  void EndBatch() EXCLUDES(Guard);

  // One batch for a scope: its lines go out also when an error escapes it.
  class TBatch {
   public:
    explicit TBatch(TLogFileTable& files) : Files(files) { Files.BeginBatch(); }
    ~TBatch() { Files.EndBatch(); }
    TBatch(const TBatch&) = delete;
    TBatch& operator=(const TBatch&) = delete;

   private:
    TLogFileTable& Files;
  };

  // Closes every file; each is opened anew with its next line, and created
  // when it was moved or deleted (log rotation's SIGHUP).
  void ReopenAll() EXCLUDES(Guard);
  // Closes the files that have lost their name (deleted, or their tree), so
  // that their next lines recreate them instead of vanishing.
  void CloseUnlinked() EXCLUDES(Guard);

  struct TLoss {
    std::string Path;  // empty: the paths beyond kLossPaths
    std::uint64_t Lines = 0;
    int Error = 0;  // the last reason
  };
  // The lines lost since the last call, per path.
  std::vector<TLoss> TakeLosses() EXCLUDES(Guard);

  // Lines of counted files since the start: written, and lost because the
  // file could not be opened or written.
  struct TCounts {
    std::uint64_t Written = 0;
    std::uint64_t OpenFailed = 0;
    std::uint64_t WriteFailed = 0;
    std::uint64_t Writes = 0;  // write calls for counted files (group commit shows here)
  };
  TCounts Counts() EXCLUDES(Guard);

  std::size_t OpenFiles() EXCLUDES(Guard);
  void SetCapacity(std::size_t capacity) EXCLUDES(Guard);
  void SetRetryInterval(std::uint64_t milliseconds) EXCLUDES(Guard);

 private:
  struct TEntry {
    TLogFilePath Path;
    TDescriptor File;
    std::size_t Users = 0;
    std::uint64_t NextAttempt = 0;              // monotonic ms; 0: at once
    int Error = 0;                              // why the last attempt failed
    std::list<std::string>::iterator RecentAt;  // valid while the file is open
    std::string Pending;                        // lines waiting for the batch's end
    std::vector<std::uint32_t> Ends;            // where each pending line ends
    bool IsDirty = false;                       // listed in Dirty, at DirtyAt
    std::list<std::pair<std::string, TEntry*>>::iterator DirtyAt;
  };

  // Opens the entry's file when the retry interval allows.
  bool Open(const std::string& key, TEntry& entry) REQUIRES(Guard);
  // Writes the entry's pending lines, counting those that do not reach the
  // file.
  void Flush(const std::string& key, TEntry& entry) REQUIRES(Guard);
  void FlushAll() REQUIRES(Guard);
  void ForgetDirty(TEntry* entry) REQUIRES(Guard);  // before an entry goes
  void Close(TEntry& entry) REQUIRES(Guard);
  // Closes the least recently written files until `keep` are open; entries
  // without users go with them.
  void CloseOldest(std::size_t keep) REQUIRES(Guard);
  // Lines lost, for the report and, when counted, the counts.
  void CountLoss(const std::string& key, const TEntry& entry, int error, bool opening,
                 std::uint64_t lines = 1) REQUIRES(Guard);

  TMutex Guard;
  std::size_t Capacity GUARDED_BY(Guard);
  std::uint64_t RetryMs GUARDED_BY(Guard) = kDefaultRetryMs;
  std::unordered_map<std::string, TEntry> Entries GUARDED_BY(Guard);
  std::list<std::string> Recent GUARDED_BY(Guard);  // open paths, most recent first
  std::map<std::string, TLoss> Losses GUARDED_BY(Guard);
  bool Batching GUARDED_BY(Guard) = false;
  TCounts Totals GUARDED_BY(Guard);
  // Entries with pending lines, in the order of their first line.
  std::list<std::pair<std::string, TEntry*>> Dirty GUARDED_BY(Guard);
};

}  // namespace logserver

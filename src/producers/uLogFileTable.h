// The open log files, shared by all file producers. The service core
// creates one table and lends it to its producers (through the producers'
// environment); nothing else holds one.
//
// Producers that write the same path share one descriptor, and at most
// Capacity descriptors are open; beyond that the least recently written file
// is closed and reopened (append, never truncate) with its next line. A file
// that has had no line for kIdleCloseMs is closed by CloseIdle, so the open
// files follow the senders that are active, not every sender ever seen.
//
// A file is opened with one call in the common case: the directory it lives
// in is kept open in a bounded cache (most recently used first), and a
// missing directory is created by the contained walk of OpenLogDirectoryBelow
// only when it is not cached. A cached directory is used only while it is
// still where it was opened (the kernel's name for it is unchanged), so a
// directory deleted, moved away or replaced by a link is walked to anew:
// nothing planted in the tree leads a line out of it.
//
// A file that is not open when a line comes (its open failed, it was closed
// to make room or by ReopenAll, or it was deleted) is opened then, at most
// once per retry interval, so a lasting failure costs one attempt a second
// and not one per line. Every line that cannot be written is counted, with
// the path and the reason, for the service to report (TakeLosses).
//
// Group commit: within a batch (BeginBatch to EndBatch), appended lines
// collect per file. When the batch ends and the writer has nothing more
// queued, every file's lines go out with one write per file. When more work
// is queued, a file's lines may wait for later batches (that is what turns a
// batch of one line for each of thousands of files into few writes), but
// never longer than kMaxWaitMs, never beyond kFlushBytes for one file (it is
// written at once then) and never beyond kMaxPendingBytes for all together
// (then the largest are written first). Lines are also written before their
// file closes, before a user leaves it (hour change), and by WritePending.
// What reaches a file is the same bytes in the same order as with one write
// per line; a write that runs short keeps the lines that reached the file
// whole. Outside a batch every line is written at once.
//
// Thread-safe: one lock guards the table and every write through it. In the
// service only the main thread uses it.
#pragma once

#include "platform/uDescriptor.h"
#include "platform/uFiles.h"
#include "platform/uHistogram.h"
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
  // Base and the levels joined with "/", ending with "/": the directory's key.
  std::string DirectoryText() const;
  // The directory's key and the name: the file's key.
  std::string Text() const { return DirectoryText() + FileName; }
  // A path taken whole: everything before the last "/" is the base.
  static TLogFilePath FromText(const std::string& path);
};

// How many descriptors the log files may hold, from the process's limit on
// descriptors: the limit less a reserve for sockets, connections, providers
// and the process itself (a quarter of the limit, at least kReserve), at
// most kMaxFiles; kept open directories take their share of it.
struct TDescriptorBudget {
  static constexpr std::size_t kReserve = 1024;
  static constexpr std::size_t kMaxFiles = 65536;
  std::size_t Files = 0;
  std::size_t Directories = 0;
  static TDescriptorBudget ForLimit(std::size_t descriptorLimit);
};

class TLogFileTable {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;
  static constexpr std::size_t kDefaultDirectories = 64;
  static constexpr std::uint64_t kDefaultRetryMs = 1000;
  // Distinct paths whose losses are told apart; the rest are summed.
  static constexpr std::size_t kLossPaths = 64;
  static constexpr std::size_t kFlushBytes = 64 * 1024;
  static constexpr std::uint64_t kMaxWaitMs = 100;
  static constexpr std::size_t kMaxPendingBytes = 32u * 1024 * 1024;
  static constexpr std::uint64_t kIdleCloseMs = 5 * 60 * 1000;

  // One attached path; valid from Attach until its last Detach.
  struct TFile;
  using TFileHandle = TFile*;

  explicit TLogFileTable(std::size_t capacity = kDefaultCapacity,
                         std::size_t directories = kDefaultDirectories)
      : Capacity(capacity < 1 ? 1 : capacity), DirectoryCapacity(directories) {}
  explicit TLogFileTable(const TDescriptorBudget& budget)
      : TLogFileTable(budget.Files, budget.Directories) {}
  ~TLogFileTable();
  TLogFileTable(const TLogFileTable&) = delete;
  TLogFileTable& operator=(const TLogFileTable&) = delete;

  // Registers a user of the path and opens the file, creating its missing
  // directories and the file itself. A user is registered whether or not it
  // could be opened now (Append tries again later).
  TFileHandle Attach(const TLogFilePath& path) EXCLUDES(Guard);
  TFileHandle Attach(const std::string& path) { return Attach(TLogFilePath::FromText(path)); }
  // Drops a user, writing what it left pending; the last one closes the file.
  void Detach(TFileHandle file) EXCLUDES(Guard);
  // Appends `data` whole, opening the file first when it is not open (at
  // most once per retry interval). False when the data was lost; it is then
  // counted with the reason. Within a batch the data waits (see above) and
  // true means only that it was taken; what is lost at the write is counted
  // then.
  bool Append(TFileHandle file, const std::string& data) EXCLUDES(Guard);
  bool IsOpen(TFileHandle file) EXCLUDES(Guard);

  // Main thread: lines appended from now on wait for EndBatch. EndBatch
  // writes them all, or, when `moreQueued`, those that may wait no longer.
  void BeginBatch() EXCLUDES(Guard);
  void EndBatch(bool moreQueued = false) EXCLUDES(Guard);
  // Writes every pending line now.
  void WritePending() EXCLUDES(Guard);

  // One batch for a scope: its lines go out when it ends, also when an
  // error escapes it; with LetWait(true) before then, they may wait.
  class TBatch {
   public:
    explicit TBatch(TLogFileTable& files) : Files(files) { Files.BeginBatch(); }
    ~TBatch() { Files.EndBatch(MoreQueued); }
    TBatch(const TBatch&) = delete;
    TBatch& operator=(const TBatch&) = delete;
    void LetWait(bool moreQueued) { MoreQueued = moreQueued; }

   private:
    TLogFileTable& Files;
    bool MoreQueued = false;
  };

  // Closes every file and forgets the open directories; each file is
  // opened anew with its next line, and created when it was moved or
  // deleted (log rotation's SIGHUP).
  void ReopenAll() EXCLUDES(Guard);
  // How many files and directories a first line to `path` would create, as
  // far as the table can tell without walking (at most: levels below the
  // deepest directory kept open count as new): 0 when the file is in use or
  // exists in a directory kept open. Costs at most one fstatat.
  std::size_t NewPaths(const TLogFilePath& path) EXCLUDES(Guard);
  // Closes the files that have lost their name (deleted, or their tree), so
  // that their next lines recreate them instead of vanishing. The lines
  // written into such a file since the last look went nowhere: they are
  // counted as lost (and no longer as written).
  void CloseUnlinked() EXCLUDES(Guard);
  // Closes the files without a line for `idleMs`; they open again with
  // their next line.
  void CloseIdle(std::uint64_t idleMs = kIdleCloseMs) EXCLUDES(Guard);

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
    std::uint64_t WrittenBytes = 0;
    std::uint64_t OpenFailed = 0;
    std::uint64_t WriteFailed = 0;
    std::uint64_t Writes = 0;  // write calls for counted files (group commit shows here)
  };
  TCounts Counts() EXCLUDES(Guard);

  // When the messages whose lines come next arrived (monotonic
  // microseconds; 0: now), for the write-delay histogram.
  void NoteArrival(std::uint64_t microseconds) EXCLUDES(Guard);
  // Per write, the time from the arrival of its oldest line to the write,
  // counted once for each of its lines (so an upper bound per line); and
  // how long each batch's writing took. Thread-safe reads.
  const TDurationHistogram& WriteDelays() const { return WriteDelay; }
  const TDurationHistogram& BatchWrites() const { return BatchWrite; }

  // The modes new files and directories get before the umask (at first
  // kLogFileMode and kLogDirectoryMode).
  void SetCreationModes(unsigned fileMode, unsigned directoryMode) EXCLUDES(Guard);

  // Someone who must act before lines reach their files, and after: the
  // collector's stream writes every record ahead into its spool before its
  // line is written; the archive writer notes the sizes of a batch's files
  // before the batch and syncs them after it (so it writes each line once
  // across its own crashes).
  class TWriteObserver {
   public:
    virtual ~TWriteObserver() = default;
    // True: a batch's lines all wait for its end: none is written early
    // for its file's size or the pending bound, nor when its last user
    // leaves the file (an hour change) or the open-file budget would close
    // it (files with waiting lines stay open until the batch ends, beyond
    // the budget if need be). The caller bounds its batches.
    virtual bool HoldsBatches() const = 0;
    // Once before lines appended since the last call are written (called
    // with the table's lock held; it must not use the table). With
    // HoldsBatches, `files` are the files with lines waiting and their
    // sizes before any of them is written (each opened first; one that
    // cannot be opened is left out, its lines will be counted lost).
    virtual void BeforeWrite(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& files) = 0;
    // With HoldsBatches, after a batch's end wrote its lines: the
    // descriptors written, still open.
    virtual void AfterBatchWrite(const std::vector<int>& descriptors) = 0;
  };
  // Lent; null: none. Set while no batch is open.
  void SetObserver(TWriteObserver* observer) EXCLUDES(Guard);

  std::size_t OpenFiles() EXCLUDES(Guard);
  std::size_t OpenDirectories() EXCLUDES(Guard);
  std::size_t PendingBytes() EXCLUDES(Guard);
  void SetRetryInterval(std::uint64_t milliseconds) EXCLUDES(Guard);

  struct TFile {
    TLogFilePath Path;
    std::string Key;           // Path.Text()
    std::string DirectoryKey;  // Path.DirectoryText()
    TDescriptor Descriptor;
    std::size_t Users = 0;
    std::uint64_t NextAttempt = 0;  // monotonic ms; 0: at once
    std::uint64_t LastWrite = 0;    // monotonic ms of the last line
    int Error = 0;                  // why the last attempt failed
    std::list<TFile*>::iterator RecentAt;  // valid while the file is open
    std::string Pending;                   // lines waiting to be written
    std::vector<std::uint32_t> Ends;       // where each pending line ends
    std::uint64_t PendingSince = 0;        // when the first pending line came
    std::uint64_t OldestArrival = 0;       // its message's arrival, monotonic us
    bool IsDirty = false;                  // listed in Dirty, at DirtyAt
    std::list<TFile*>::iterator DirtyAt;
    // Counted lines and their bytes written since the file was last found
    // to have its name: lost after all when it is found without one.
    std::uint64_t LinesSinceCheck = 0;
    std::uint64_t BytesSinceCheck = 0;
  };

 private:
  struct TDirectory {
    TDescriptor Descriptor;
    std::string TruePath;  // the kernel's name for it when it was opened
    std::list<std::string>::iterator RecentAt;
  };

  // Opens the file when the retry interval allows.
  bool Open(TFile& file) REQUIRES(Guard);
  // The open directory of `file`, from the cache while it is still in its
  // place, else by the walk; -1 (errno set) when it cannot be had.
  int Directory(const TFile& file) REQUIRES(Guard);
  void ForgetDirectory(const std::string& key) REQUIRES(Guard);
  // Writes the file's pending lines, counting those that do not reach it.
  void Flush(TFile& file) REQUIRES(Guard);
  void FlushAll() REQUIRES(Guard);
  // Writes the files whose lines may wait no longer.
  void FlushOverdue(std::uint64_t now) REQUIRES(Guard);
  // Writes the largest pending files until half the pending bound is left.
  void FlushLargest() REQUIRES(Guard);
  void MarkDirty(TFile& file) REQUIRES(Guard);
  void ForgetDirty(TFile& file) REQUIRES(Guard);  // before a file goes
  void Close(TFile& file) REQUIRES(Guard);
  // Counts the lines written since the last look as lost when the file has
  // no name any more; starts the next count.
  void CheckUnlinked(TFile& file) REQUIRES(Guard);
  // Closes the least recently written files until `keep` are open; files
  // without users go with them.
  void CloseOldest(std::size_t keep) REQUIRES(Guard);
  // While the observer holds batches, a batch's lines reach no file before
  // its end.
  bool Held() const REQUIRES(Guard) { return HoldingBatches && Batching; }
  // Tells the observer, once, before lines appended since it last heard
  // are written.
  void Observe() REQUIRES(Guard);
  void CloseLeftInBatch() REQUIRES(Guard);
  void Erase(TFile& file) REQUIRES(Guard);
  // Lines lost, for the report and, when counted, the counts.
  void CountLoss(const TFile& file, int error, bool opening, std::uint64_t lines = 1)
      REQUIRES(Guard);

  TMutex Guard;
  const std::size_t Capacity;
  const std::size_t DirectoryCapacity;
  std::uint64_t RetryMs GUARDED_BY(Guard) = kDefaultRetryMs;
  unsigned FileMode GUARDED_BY(Guard) = kLogFileMode;
  unsigned DirectoryMode GUARDED_BY(Guard) = kLogDirectoryMode;
  std::unordered_map<std::string, TFile> Files GUARDED_BY(Guard);
  std::list<TFile*> Recent GUARDED_BY(Guard);  // open files, most recent first
  std::unordered_map<std::string, TDirectory> Directories GUARDED_BY(Guard);
  std::list<std::string> RecentDirectories GUARDED_BY(Guard);  // most recent first
  std::map<std::string, TLoss> Losses GUARDED_BY(Guard);
  bool Batching GUARDED_BY(Guard) = false;
  std::uint64_t BatchStart GUARDED_BY(Guard) = 0;  // monotonic ms
  TCounts Totals GUARDED_BY(Guard);
  // Files with pending lines, in the order their first one came.
  std::list<TFile*> Dirty GUARDED_BY(Guard);
  std::size_t TotalPending GUARDED_BY(Guard) = 0;
  std::uint64_t CurrentArrival GUARDED_BY(Guard) = 0;
  TWriteObserver* Observer GUARDED_BY(Guard) = nullptr;
  bool HoldingBatches GUARDED_BY(Guard) = false;
  bool AppendedSinceObserved GUARDED_BY(Guard) = false;
  // Left by their last user during a held batch, with lines still
  // waiting: closed once those are written.
  std::vector<std::string> LeftInBatch GUARDED_BY(Guard);
  // The descriptors a held batch's end wrote.
  std::vector<int> WrittenInBatch GUARDED_BY(Guard);
  TDurationHistogram WriteDelay;
  TDurationHistogram BatchWrite;
};

}  // namespace logserver

// The archive writer's crash protocol: each line once, also across a crash
// of the writer. One append-only journal file (".archive-journal" in the
// archive's base) holds, per batch:
//
//   1. before any of its lines is written, the sizes of the files it will
//      write ("I" lines, the intent), synced;
//   2. its lines are written (the file table calls BeforeWrite and
//      AfterBatchWrite around its writes, and holds the batch's lines
//      until its end);
//   3. once its files are synced, the stream sequences and message ids it
//      took ("D" line, done), synced; only then are its messages
//      acknowledged.
//
// Steps 1 and 2 of a batch run on the writer's thread while step 3 of
// earlier batches runs on another (the disk syncs one batch while the next
// is written); batches are done in the order they were written.
//
// A start reads the journal: the sequences and the recent ids written (so
// that a message delivered again, or a collector's second copy of it, is
// skipped, also across restarts), and cuts the files of every batch with an
// intent and no "done" back to the sizes noted first: the stream delivers
// those again. A torn last line counts as not written. The journal is
// rewritten as a snapshot (the state and the recent ids) when it grows.
//
// Threading: Open, Begin, End, SetBack and the file table's calls on the
// writer's thread; MakeDurable on the syncing thread; IsWritten and
// IsRecent on the writer's. The state both share is under Guard.
#pragma once

#include "platform/uDescriptor.h"
#include "platform/uSync.h"
#include "producers/uLogFileTable.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace logserver {

// One batch on its way from its intent to done.
struct TArchiveBatch {
  std::uint64_t Number = 0;
  // The files' sizes before it, and their descriptors (its own copies) to
  // sync.
  std::vector<std::pair<TLogFilePath, std::uint64_t>> Sizes;
  std::vector<TDescriptor> Files;
  // What it took.
  std::vector<std::uint64_t> Sequences;
  std::vector<std::string> Ids;
  // Its intent could not be noted: it must not be done.
  bool Failed = false;
  int Error = 0;
};

class TArchiveJournal : public TLogFileTable::TWriteObserver {
 public:
  // Ids of this many stream messages written last are remembered.
  static constexpr std::size_t kRecentIds = 100000;
  // Written sequences kept beside the watermark at most.
  static constexpr std::size_t kMaxAbove = 100000;

  explicit TArchiveJournal(std::string baseCatalog);
  ~TArchiveJournal() override;
  TArchiveJournal(const TArchiveJournal&) = delete;
  TArchiveJournal& operator=(const TArchiveJournal&) = delete;

  // Reads the journal left by an earlier run and finishes what a crash
  // left; `said` gets what the operator should know. False (errno set)
  // when the journal cannot be used.
  bool Open(std::vector<std::string>& said);

  // Written, or being made durable now.
  bool IsWritten(std::uint64_t sequence) EXCLUDES(Guard);
  bool IsRecent(const std::string& id) EXCLUDES(Guard);

  // A batch: Begin, then the file table's calls while its lines are
  // written, then End with what it took: the batch to make durable.
  void Begin();
  std::unique_ptr<TArchiveBatch> End(std::vector<std::uint64_t> sequences, std::vector<std::string> ids)
      EXCLUDES(Guard);
  // Syncs the batch's files and notes it done. False (errno set) when it
  // is not durable: its messages must not be acknowledged.
  bool MakeDurable(TArchiveBatch& batch) EXCLUDES(Guard);
  // Batches that will not be done, newest first: their files go back to
  // their sizes before them, and what they took is forgotten.
  void SetBack(const std::vector<std::unique_ptr<TArchiveBatch>>& undone) EXCLUDES(Guard);

  std::uint64_t Done() EXCLUDES(Guard);

  // The file table's side.
  bool HoldsBatches() const override { return true; }
  void BeforeWrite(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& files) override;
  void AfterBatchWrite(const std::vector<int>& descriptors) override;

 private:
  void MarkWritten(std::uint64_t sequence) REQUIRES(Guard);
  void Remember(const std::string& id) REQUIRES(Guard);
  bool AppendSynced(const std::string& text) REQUIRES(Guard);
  bool Compact() REQUIRES(Guard);
  void Replay(const std::string& text, std::vector<std::string>& said) REQUIRES(Guard);
  void CutBack(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& sizes) const;

  const std::string Base;
  const std::string Path;

  TMutex Guard;
  TDescriptor Journal GUARDED_BY(Guard);
  std::uint64_t JournalBytes GUARDED_BY(Guard) = 0;
  // The stream sequences written: all up to Watermark, and those in Above
  // (a crash's batch may come again after later ones).
  std::uint64_t Watermark GUARDED_BY(Guard) = 0;
  std::set<std::uint64_t> Above GUARDED_BY(Guard);
  std::uint64_t Batches GUARDED_BY(Guard) = 0;  // the last one done
  std::unordered_set<std::string> RecentIds GUARDED_BY(Guard);
  std::deque<std::string> RecentOrder GUARDED_BY(Guard);
  // What batches on their way took.
  std::unordered_set<std::uint64_t> TakenSequences GUARDED_BY(Guard);
  std::unordered_set<std::string> TakenIds GUARDED_BY(Guard);

  // The writer's: the last number given, and the batch being written.
  std::uint64_t LastBegun = 0;
  std::unique_ptr<TArchiveBatch> Current;
};

}  // namespace logserver

// The archive writer's crash protocol: each line once, also across a crash
// of the writer. One append-only journal file (".archive-journal" in the
// archive's base) holds, per batch:
//
//   1. before any of its lines is written, the sizes of the files it will
//      write ("I" lines, the intent), synced;
//   2. its lines are written and the files synced (the file table calls
//      BeforeWrite and AfterBatchWrite around its writes, and holds the
//      batch's lines until its end);
//   3. once they are on disk, the stream sequences and message ids it
//      took ("D" line, done), synced; only then are its messages
//      acknowledged.
//
// A start reads the journal: the sequences and the recent ids written (so
// that a message delivered again, or a collector's second copy of it, is
// skipped, also across restarts), and, when the last batch has an intent
// and no "done", cuts its files back to the noted sizes: the stream
// delivers it again. A torn last line counts as not written. The journal is
// rewritten as a snapshot (the state and the recent ids) when it grows.
//
// Threading: one thread (the writer's), the file table's calls included.
#pragma once

#include "platform/uDescriptor.h"
#include "producers/uLogFileTable.h"

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace logserver {

class TArchiveJournal : public TLogFileTable::TWriteObserver {
 public:
  // Ids of this many stream messages written last are remembered.
  static constexpr std::size_t kRecentIds = 100000;
  // Written sequences kept beside the watermark at most.
  static constexpr std::size_t kMaxAbove = 100000;

  explicit TArchiveJournal(std::string baseCatalog);
  TArchiveJournal(const TArchiveJournal&) = delete;
  TArchiveJournal& operator=(const TArchiveJournal&) = delete;

  // Reads the journal left by an earlier run and finishes what a crash
  // left; `said` gets what the operator should know. False (errno set)
  // when the journal cannot be used.
  bool Open(std::vector<std::string>& said);

  bool IsWritten(std::uint64_t sequence) const;
  bool IsRecent(const std::string& id) const { return RecentIds.count(id) > 0; }

  // A batch: Begin, then the file table's calls while its lines are
  // written, then Commit with what it took. Commit returns false (errno
  // set) when the batch is not durable: its messages must not be
  // acknowledged.
  void Begin();
  bool Commit(const std::vector<std::uint64_t>& sequences, const std::vector<std::string>& ids);

  std::uint64_t Batches() const { return Batches_; }
  std::uint64_t Watermark() const { return Watermark_; }

  // The file table's side.
  bool HoldsBatches() const override { return true; }
  void BeforeWrite(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& files) override;
  void AfterBatchWrite(const std::vector<int>& descriptors) override;

 private:
  void MarkWritten(std::uint64_t sequence);
  void Remember(const std::string& id);
  bool AppendSynced(const std::string& text);
  bool Compact();
  void Replay(const std::string& text, std::vector<std::string>& said);
  // A batch that is not durable: its files go back to their sizes before it.
  void SetBack();

  const std::string Base;
  const std::string Path;
  TDescriptor Journal;
  std::uint64_t JournalBytes = 0;
  // The stream sequences written: all up to Watermark_, and those in Above
  // (a crash's batch may come again after later ones).
  std::uint64_t Watermark_ = 0;
  std::set<std::uint64_t> Above;
  std::uint64_t Batches_ = 0;
  std::unordered_set<std::string> RecentIds;
  std::deque<std::string> RecentOrder;
  // The batch being written: its files' sizes before it, and whether its
  // intent and files reached the disk.
  std::vector<std::pair<TLogFilePath, std::uint64_t>> IntentSizes;
  bool BatchFailed = false;
  int BatchError = 0;
};

}  // namespace logserver

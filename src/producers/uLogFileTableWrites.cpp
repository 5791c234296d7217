#include "producers/uLogFileTable.h"

#include "platform/uFiles.h"
#include "platform/uTime.h"

#include <algorithm>
#include <cerrno>

// The lines that wait in a batch, and how they are written: one write per
// file at the batch's end (group commit), or earlier when a file or the
// whole table holds too much; the write observer hears of each write first.

namespace logserver {

void TLogFileTable::Observe() {
  if (Observer == nullptr || !AppendedSinceObserved) return;
  AppendedSinceObserved = false;
  std::vector<std::pair<TLogFilePath, std::uint64_t>> sizes;
  // A copy: an open may close other files.
  if (HoldingBatches)
    for (TFile* file : std::vector<TFile*>(Dirty.begin(), Dirty.end())) {
      if (!file->Descriptor && !Open(*file)) continue;
      const std::int64_t size = FileSizeOf(file->Descriptor.Get());
      if (size >= 0) sizes.emplace_back(file->Path, static_cast<std::uint64_t>(size));
    }
  Observer->BeforeWrite(sizes);
}

void TLogFileTable::Flush(TFile& file) {
  if (file.Pending.empty()) return;
  Observe();
  // Taken out first: an open below may close other files, and flush them.
  std::string data;
  std::vector<std::uint32_t> ends;
  data.swap(file.Pending);
  ends.swap(file.Ends);
  TotalPending -= data.size();
  ForgetDirty(file);
  if (!file.Descriptor) {
    if (!Open(file)) {
      CountLoss(file, errno, true, ends.size());
      return;
    }
  } else if (file.RecentAt != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, file.RecentAt);
  }
  const std::uint64_t now = MonotonicMicroseconds();
  file.LastWrite = now / 1000;
  const std::size_t written =
      AppendUnits(file.Descriptor.Get(), data.data(), data.size(), ends.data(), ends.size());
  if (Held() && written > 0) WrittenInBatch.push_back(file.Descriptor.Get());
  if (file.Path.CountedInStatistics) {
    const std::uint64_t bytes = written == ends.size() ? data.size() : (written > 0 ? ends[written - 1] : 0);
    Totals.Written += written;
    Totals.WrittenBytes += bytes;
    file.LinesSinceCheck += written;
    file.BytesSinceCheck += bytes;
    ++Totals.Writes;
    if (written > 0 && file.OldestArrival != 0 && now >= file.OldestArrival)
      WriteDelay.Observe(static_cast<double>(now - file.OldestArrival) / 1e6, written);
  }
  if (written < ends.size()) CountLoss(file, errno, false, ends.size() - written);
  // With thousands of files, room kept per file would add up: only a
  // little is kept, for a file that is written often.
  if (data.capacity() <= 4096 && file.Pending.empty()) {
    data.clear();
    ends.clear();
    file.Pending.swap(data);
    file.Ends.swap(ends);
  }
}

void TLogFileTable::FlushAll() {
  // Each file leaves the list before it is written: a flush that opens a
  // file may close another, which flushes (and forgets) that one itself.
  while (!Dirty.empty()) Flush(*Dirty.front());
}

void TLogFileTable::FlushOverdue(std::uint64_t now) {
  // Dirty is in the order the first pending lines came: the oldest first.
  while (!Dirty.empty() && Dirty.front()->PendingSince + kMaxWaitMs <= now) Flush(*Dirty.front());
}

void TLogFileTable::FlushLargest() {
  std::vector<TFile*> largest(Dirty.begin(), Dirty.end());
  std::sort(largest.begin(), largest.end(),
            [](const TFile* a, const TFile* b) { return a->Pending.size() > b->Pending.size(); });
  for (TFile* file : largest) {
    if (TotalPending <= kMaxPendingBytes / 2) break;
    // An earlier flush may have written this one (a file it closed).
    if (file->IsDirty) Flush(*file);
  }
}

void TLogFileTable::MarkDirty(TFile& file) {
  if (file.IsDirty) return;
  file.IsDirty = true;
  file.PendingSince = BatchStart;
  file.OldestArrival = CurrentArrival != 0 ? CurrentArrival : MonotonicMicroseconds();
  file.DirtyAt = Dirty.insert(Dirty.end(), &file);
}

void TLogFileTable::ForgetDirty(TFile& file) {
  if (!file.IsDirty) return;
  Dirty.erase(file.DirtyAt);
  file.IsDirty = false;
}

void TLogFileTable::BeginBatch() {
  TMutexLock guard(Guard);
  Batching = true;
  BatchStart = MonotonicMilliseconds();
}

void TLogFileTable::EndBatch(bool moreQueued) {
  TMutexLock guard(Guard);
  CurrentArrival = 0;
  if (!Dirty.empty()) {
    const std::uint64_t start = MonotonicMicroseconds();
    if (moreQueued && !HoldingBatches)
      FlushOverdue(start / 1000);
    else
      FlushAll();
    BatchWrite.Observe(static_cast<double>(MonotonicMicroseconds() - start) / 1e6);
  }
  Batching = false;
  if (HoldingBatches && !WrittenInBatch.empty()) {
    std::vector<int> written;
    written.swap(WrittenInBatch);
    Observer->AfterBatchWrite(written);
  }
  if (!LeftInBatch.empty()) CloseLeftInBatch();
}

void TLogFileTable::NoteArrival(std::uint64_t microseconds) {
  TMutexLock guard(Guard);
  CurrentArrival = microseconds;
}

void TLogFileTable::SetObserver(TWriteObserver* observer) {
  TMutexLock guard(Guard);
  Observer = observer;
  HoldingBatches = observer != nullptr && observer->HoldsBatches();
  AppendedSinceObserved = observer != nullptr;
}

void TLogFileTable::WritePending() {
  TMutexLock guard(Guard);
  FlushAll();
  if (!LeftInBatch.empty()) CloseLeftInBatch();
}

}  // namespace logserver

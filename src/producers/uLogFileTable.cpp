#include "producers/uLogFileTable.h"

#include "platform/uFiles.h"
#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

std::string TLogFilePath::Text() const {
  std::string text = Base;
  for (const std::string& level : Directories) {
    text += level;
    text += '/';
  }
  return text + FileName;
}

TLogFilePath TLogFilePath::FromText(const std::string& path) {
  TLogFilePath p;
  p.Base = DirectoryPart(path);
  p.FileName = FileNamePart(path);
  return p;
}

bool TLogFileTable::Open(const std::string& key, TEntry& entry) {
  const std::uint64_t now = MonotonicMilliseconds();
  if (entry.NextAttempt != 0 && now < entry.NextAttempt) {
    errno = entry.Error;  // the last attempt failed a moment ago
    return false;
  }
  CloseOldest(Capacity - 1);
  entry.File = OpenLogFileBelow(entry.Path.Base, entry.Path.Directories, entry.Path.FileName);
  if (!entry.File) {
    entry.Error = errno;
    entry.NextAttempt = now + RetryMs;
    if (entry.NextAttempt == 0) entry.NextAttempt = 1;
    return false;
  }
  entry.NextAttempt = 0;
  Recent.push_front(key);
  entry.RecentAt = Recent.begin();
  return true;
}

void TLogFileTable::Close(TEntry& entry) {
  if (!entry.File) return;
  // Pending lines go out before their file closes.
  if (!entry.Pending.empty()) Flush(*entry.RecentAt, entry);
  entry.File.Reset();
  Recent.erase(entry.RecentAt);
}

void TLogFileTable::Flush(const std::string& key, TEntry& entry) {
  if (entry.Pending.empty()) return;
  // Taken out first: an open below may close other files, and flush them.
  std::string data;
  std::vector<std::uint32_t> ends;
  data.swap(entry.Pending);
  ends.swap(entry.Ends);
  if (!entry.File) {
    if (!Open(key, entry)) {
      CountLoss(key, entry, errno, true, ends.size());
      return;
    }
  } else if (entry.RecentAt != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, entry.RecentAt);
  }
  const std::size_t written = AppendUnits(entry.File.Get(), data.data(), data.size(), ends.data(), ends.size());
  if (entry.Path.CountedInStatistics) {
    Totals.Written += written;
    ++Totals.Writes;
  }
  if (written < ends.size()) CountLoss(key, entry, errno, false, ends.size() - written);
  // Keep the buffers' room for the next batch, unless a burst made them large.
  if (data.capacity() <= 4 * kFlushBytes && entry.Pending.empty()) {
    data.clear();
    ends.clear();
    entry.Pending.swap(data);
    entry.Ends.swap(ends);
  }
}

void TLogFileTable::FlushAll() {
  // Each entry leaves the list before it is written: a flush that opens a
  // file may close another, which flushes (and forgets) that one itself.
  while (!Dirty.empty()) {
    const std::pair<std::string, TEntry*> next = Dirty.front();
    Dirty.pop_front();
    next.second->IsDirty = false;
    Flush(next.first, *next.second);
  }
}

void TLogFileTable::BeginBatch() {
  TMutexLock guard(Guard);
  Batching = true;
}

void TLogFileTable::EndBatch() {
  TMutexLock guard(Guard);
  FlushAll();
  Batching = false;
}

void TLogFileTable::CloseOldest(std::size_t keep) {
  while (Recent.size() > keep) {
    const auto it = Entries.find(Recent.back());
    Close(it->second);
    if (it->second.Users == 0) {
      ForgetDirty(&it->second);
      Entries.erase(it);
    }
  }
}

void TLogFileTable::ForgetDirty(TEntry* entry) {
  if (!entry->IsDirty) return;
  Dirty.erase(entry->DirtyAt);
  entry->IsDirty = false;
}

void TLogFileTable::CountLoss(const std::string& key, const TEntry& entry, int error, bool opening,
                              std::uint64_t lines) {
  if (entry.Path.CountedInStatistics) (opening ? Totals.OpenFailed : Totals.WriteFailed) += lines;
  auto it = Losses.find(key);
  if (it == Losses.end()) {
    const bool room = Losses.size() < kLossPaths;
    it = Losses.emplace(room ? key : std::string(), TLoss{room ? key : std::string(), 0, 0}).first;
  }
  it->second.Lines += lines;
  it->second.Error = error;
}

bool TLogFileTable::Attach(const TLogFilePath& path) {
  TMutexLock guard(Guard);
  const std::string key = path.Text();
  TEntry& entry = Entries[key];
  if (entry.Users++ == 0) entry.Path = path;
  return entry.File || Open(key, entry);
}

void TLogFileTable::Detach(const std::string& path) {
  TMutexLock guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end() || it->second.Users == 0) return;
  // A user leaves when its hour changes or it goes: what is pending goes out
  // first, also when no file is open (then counted as lost if it cannot be
  // opened now) and also when other users stay.
  Flush(path, it->second);
  if (--it->second.Users > 0) return;
  Close(it->second);
  ForgetDirty(&it->second);
  Entries.erase(it);
}

bool TLogFileTable::Append(const std::string& path, const std::string& data) {
  TMutexLock guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end()) return false;
  TEntry& entry = it->second;
  if (Batching) {
    entry.Pending += data;
    entry.Ends.push_back(static_cast<std::uint32_t>(entry.Pending.size()));
    if (!entry.IsDirty) {
      entry.IsDirty = true;
      entry.DirtyAt = Dirty.emplace(Dirty.end(), it->first, &entry);
    }
    if (entry.Pending.size() >= kFlushBytes) Flush(it->first, entry);
    return true;
  }
  if (!entry.File) {
    if (!Open(path, entry)) {
      CountLoss(path, entry, errno, true);
      return false;
    }
  } else if (entry.RecentAt != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, entry.RecentAt);
  }
  // One append per line keeps lines of producers sharing the file apart; a
  // short write is finished, and a line that cannot be finished (disk full,
  // file-size limit) is taken out again, so no line is ever torn.
  if (entry.Path.CountedInStatistics) ++Totals.Writes;
  if (AppendWhole(entry.File.Get(), data.data(), data.size())) {
    if (entry.Path.CountedInStatistics) ++Totals.Written;
    return true;
  }
  CountLoss(path, entry, errno, false);
  return false;
}

bool TLogFileTable::IsOpen(const std::string& path) {
  TMutexLock guard(Guard);
  const auto it = Entries.find(path);
  return it != Entries.end() && it->second.File.Valid();
}

void TLogFileTable::ReopenAll() {
  TMutexLock guard(Guard);
  for (auto& [key, entry] : Entries) {
    Close(entry);
    entry.NextAttempt = 0;
  }
}

void TLogFileTable::CloseUnlinked() {
  TMutexLock guard(Guard);
  for (auto& [key, entry] : Entries)
    if (entry.File && IsUnlinked(entry.File.Get())) Close(entry);
}

std::vector<TLogFileTable::TLoss> TLogFileTable::TakeLosses() {
  TMutexLock guard(Guard);
  std::vector<TLoss> losses;
  for (auto& [key, loss] : Losses) losses.push_back(loss);
  Losses.clear();
  return losses;
}

TLogFileTable::TCounts TLogFileTable::Counts() {
  TMutexLock guard(Guard);
  return Totals;
}

std::size_t TLogFileTable::OpenFiles() {
  TMutexLock guard(Guard);
  return Recent.size();
}

void TLogFileTable::SetCapacity(std::size_t capacity) {
  TMutexLock guard(Guard);
  Capacity = capacity < 1 ? 1 : capacity;
  CloseOldest(Capacity);
}

void TLogFileTable::SetRetryInterval(std::uint64_t milliseconds) {
  TMutexLock guard(Guard);
  RetryMs = milliseconds;
}

}  // namespace logserver

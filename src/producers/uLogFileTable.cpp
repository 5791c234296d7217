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

TLogFileTable& TLogFileTable::Shared() {
  static TLogFileTable table;
  return table;
}

bool TLogFileTable::Open(const std::string& key, TEntry& entry) {
  const std::uint64_t now = MonotonicMilliseconds();
  if (entry.nextAttempt != 0 && now < entry.nextAttempt) {
    errno = entry.error;  // the last attempt failed a moment ago
    return false;
  }
  CloseOldest(Capacity - 1);
  entry.file = OpenLogFileBelow(entry.path.Base, entry.path.Directories, entry.path.FileName);
  if (!entry.file) {
    entry.error = errno;
    entry.nextAttempt = now + RetryMs;
    if (entry.nextAttempt == 0) entry.nextAttempt = 1;
    return false;
  }
  entry.nextAttempt = 0;
  Recent.push_front(key);
  entry.recent = Recent.begin();
  return true;
}

void TLogFileTable::Close(TEntry& entry) {
  if (!entry.file) return;
  // Pending lines go out before their file closes.
  if (!entry.pending.empty()) Flush(*entry.recent, entry);
  entry.file.Reset();
  Recent.erase(entry.recent);
}

void TLogFileTable::Flush(const std::string& key, TEntry& entry) {
  if (entry.pending.empty()) return;
  // Taken out first: an open below may close other files, and flush them.
  std::string data;
  std::vector<std::uint32_t> ends;
  data.swap(entry.pending);
  ends.swap(entry.ends);
  if (!entry.file) {
    if (!Open(key, entry)) {
      CountLoss(key, entry, errno, true, ends.size());
      return;
    }
  } else if (entry.recent != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, entry.recent);
  }
  const std::size_t written = AppendUnits(entry.file.Get(), data.data(), data.size(), ends.data(), ends.size());
  if (entry.path.Counted) {
    Totals.Written += written;
    ++Totals.Writes;
  }
  if (written < ends.size()) CountLoss(key, entry, errno, false, ends.size() - written);
  // Keep the buffers' room for the next batch, unless a burst made them large.
  if (data.capacity() <= 4 * kFlushBytes && entry.pending.empty()) {
    data.clear();
    ends.clear();
    entry.pending.swap(data);
    entry.ends.swap(ends);
  }
}

void TLogFileTable::FlushAll() {
  // Each entry leaves the list before it is written: a flush that opens a
  // file may close another, which flushes (and forgets) that one itself.
  while (!Dirty.empty()) {
    const std::pair<std::string, TEntry*> next = Dirty.front();
    Dirty.pop_front();
    next.second->dirty = false;
    Flush(next.first, *next.second);
  }
}

void TLogFileTable::BeginBatch() {
  std::lock_guard<std::mutex> guard(Guard);
  Batching = true;
}

void TLogFileTable::EndBatch() {
  std::lock_guard<std::mutex> guard(Guard);
  FlushAll();
  Batching = false;
}

void TLogFileTable::CloseOldest(std::size_t keep) {
  while (Recent.size() > keep) {
    const auto it = Entries.find(Recent.back());
    Close(it->second);
    if (it->second.users == 0) {
      ForgetDirty(&it->second);
      Entries.erase(it);
    }
  }
}

void TLogFileTable::ForgetDirty(TEntry* entry) {
  if (!entry->dirty) return;
  Dirty.erase(entry->dirtyAt);
  entry->dirty = false;
}

void TLogFileTable::CountLoss(const std::string& key, const TEntry& entry, int error, bool opening,
                              std::uint64_t lines) {
  if (entry.path.Counted) (opening ? Totals.OpenFailed : Totals.WriteFailed) += lines;
  auto it = Losses.find(key);
  if (it == Losses.end()) {
    const bool room = Losses.size() < kLossPaths;
    it = Losses.emplace(room ? key : std::string(), TLoss{room ? key : std::string(), 0, 0}).first;
  }
  it->second.Lines += lines;
  it->second.Error = error;
}

bool TLogFileTable::Attach(const TLogFilePath& path) {
  std::lock_guard<std::mutex> guard(Guard);
  const std::string key = path.Text();
  TEntry& entry = Entries[key];
  if (entry.users++ == 0) entry.path = path;
  return entry.file || Open(key, entry);
}

void TLogFileTable::Detach(const std::string& path) {
  std::lock_guard<std::mutex> guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end() || it->second.users == 0) return;
  // A user leaves when its hour changes or it goes: what is pending goes out
  // first, also when no file is open (then counted as lost if it cannot be
  // opened now) and also when other users stay.
  Flush(path, it->second);
  if (--it->second.users > 0) return;
  Close(it->second);
  ForgetDirty(&it->second);
  Entries.erase(it);
}

bool TLogFileTable::Append(const std::string& path, const std::string& data) {
  std::lock_guard<std::mutex> guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end()) return false;
  TEntry& entry = it->second;
  if (Batching) {
    entry.pending += data;
    entry.ends.push_back(static_cast<std::uint32_t>(entry.pending.size()));
    if (!entry.dirty) {
      entry.dirty = true;
      entry.dirtyAt = Dirty.emplace(Dirty.end(), it->first, &entry);
    }
    if (entry.pending.size() >= kFlushBytes) Flush(it->first, entry);
    return true;
  }
  if (!entry.file) {
    if (!Open(path, entry)) {
      CountLoss(path, entry, errno, true);
      return false;
    }
  } else if (entry.recent != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, entry.recent);
  }
  // One append per line keeps lines of producers sharing the file apart; a
  // short write is finished, and a line that cannot be finished (disk full,
  // file-size limit) is taken out again, so no line is ever torn.
  if (entry.path.Counted) ++Totals.Writes;
  if (AppendWhole(entry.file.Get(), data.data(), data.size())) {
    if (entry.path.Counted) ++Totals.Written;
    return true;
  }
  CountLoss(path, entry, errno, false);
  return false;
}

bool TLogFileTable::IsOpen(const std::string& path) {
  std::lock_guard<std::mutex> guard(Guard);
  const auto it = Entries.find(path);
  return it != Entries.end() && it->second.file.Valid();
}

void TLogFileTable::ReopenAll() {
  std::lock_guard<std::mutex> guard(Guard);
  for (auto& [key, entry] : Entries) {
    Close(entry);
    entry.nextAttempt = 0;
  }
}

void TLogFileTable::CloseUnlinked() {
  std::lock_guard<std::mutex> guard(Guard);
  for (auto& [key, entry] : Entries)
    if (entry.file && IsUnlinked(entry.file.Get())) Close(entry);
}

std::vector<TLogFileTable::TLoss> TLogFileTable::TakeLosses() {
  std::lock_guard<std::mutex> guard(Guard);
  std::vector<TLoss> losses;
  for (auto& [key, loss] : Losses) losses.push_back(loss);
  Losses.clear();
  return losses;
}

TLogFileTable::TCounts TLogFileTable::Counts() {
  std::lock_guard<std::mutex> guard(Guard);
  return Totals;
}

std::size_t TLogFileTable::OpenFiles() {
  std::lock_guard<std::mutex> guard(Guard);
  return Recent.size();
}

void TLogFileTable::SetCapacity(std::size_t capacity) {
  std::lock_guard<std::mutex> guard(Guard);
  Capacity = capacity < 1 ? 1 : capacity;
  CloseOldest(Capacity);
}

void TLogFileTable::SetRetryInterval(std::uint64_t milliseconds) {
  std::lock_guard<std::mutex> guard(Guard);
  RetryMs = milliseconds;
}

}  // namespace logserver

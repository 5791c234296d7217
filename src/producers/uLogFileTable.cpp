#include "producers/uLogFileTable.h"

#include "platform/uFiles.h"

namespace logserver {

TLogFileTable& TLogFileTable::Shared() {
  static TLogFileTable table;
  return table;
}

bool TLogFileTable::Open(const std::string& path, TEntry& entry) {
  CloseOldest(Capacity - 1);
  const bool isNew = !PathExists(path);
  if (isNew) {
    const std::string directory = DirectoryPart(path);
    if (!DirectoryExists(directory)) ForceDirectories(directory);
  }
  // A new file is created without truncation: should it appear between the
  // test and the open, its lines are kept.
  entry.file = OpenAppend(path, isNew);
  if (!entry.file) return false;
  Recent.push_front(path);
  entry.recent = Recent.begin();
  return true;
}

void TLogFileTable::Close(TEntry& entry) {
  if (!entry.file) return;
  entry.file.Reset();
  Recent.erase(entry.recent);
}

void TLogFileTable::CloseOldest(std::size_t keep) {
  while (Recent.size() > keep) {
    const auto it = Entries.find(Recent.back());
    Close(it->second);
    if (it->second.users == 0) Entries.erase(it);
  }
}

bool TLogFileTable::Attach(const std::string& path) {
  std::lock_guard<std::mutex> guard(Guard);
  TEntry& entry = Entries[path];
  if (!entry.file && !Open(path, entry)) {
    if (entry.users == 0) Entries.erase(path);
    return false;
  }
  ++entry.users;
  return true;
}

void TLogFileTable::Detach(const std::string& path) {
  std::lock_guard<std::mutex> guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end() || it->second.users == 0) return;
  if (--it->second.users > 0) return;
  Close(it->second);
  Entries.erase(it);
}

bool TLogFileTable::Append(const std::string& path, const std::string& data) {
  std::lock_guard<std::mutex> guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end()) return false;
  TEntry& entry = it->second;
  if (!entry.file) {
    if (!Open(path, entry)) return false;
  } else if (entry.recent != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, entry.recent);
  }
  // One append per line keeps lines of producers sharing the file apart; a
  // short write is finished, and a line that cannot be finished (disk full)
  // is taken out again, so no line is ever torn.
  return AppendWhole(entry.file.Get(), data.data(), data.size());
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

}  // namespace logserver

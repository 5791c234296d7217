#include "producers/uLogFileTable.h"

#include "platform/uFiles.h"
#include "platform/uTime.h"

#include <algorithm>
#include <cerrno>

namespace logserver {

std::string TLogFilePath::DirectoryText() const {
  std::string text = Base;
  for (const std::string& level : Directories) {
    text += level;
    text += '/';
  }
  return text;
}

TLogFilePath TLogFilePath::FromText(const std::string& path) {
  TLogFilePath p;
  p.Base = DirectoryPart(path);
  p.FileName = FileNamePart(path);
  return p;
}

TDescriptorBudget TDescriptorBudget::ForLimit(std::size_t descriptorLimit) {
  const std::size_t reserve = std::max(kReserve, descriptorLimit / 4);
  TDescriptorBudget budget;
  const std::size_t usable = descriptorLimit > reserve ? descriptorLimit - reserve : 0;
  // Directories get an eighth (at most 4,096): a directory holds the files of
  // one sender, application, module and day, so far fewer are in use than
  // files, and one that is not cached costs a walk, not a lost line.
  budget.Directories = std::min<std::size_t>(usable / 8, 4096);
  budget.Files = std::min(std::max<std::size_t>(usable - budget.Directories, 16), kMaxFiles);
  return budget;
}

TLogFileTable::~TLogFileTable() {
  TMutexLock guard(Guard);
  FlushAll();
}

int TLogFileTable::Directory(const TFile& file) {
  // The deepest level of the file's directory that is kept open and still
  // in its place (not deleted, not moved away) is where the walk starts;
  // below it every level is opened (and made) without following links.
  const std::vector<std::string>& levels = file.Path.Directories;
  std::vector<std::string> keys(levels.size() + 1);
  keys[0] = file.Path.Base;
  for (std::size_t i = 0; i < levels.size(); ++i)
    keys[i + 1] = levels[i].empty() ? keys[i] : keys[i] + levels[i] + "/";
  std::size_t start = keys.size();
  while (start > 0) {
    const auto cached = Directories.find(keys[start - 1]);
    if (cached != Directories.end()) {
      TDirectory& directory = cached->second;
      if (!directory.TruePath.empty() &&
          DescriptorPath(directory.Descriptor.Get()) == directory.TruePath) {
        RecentDirectories.splice(RecentDirectories.begin(), RecentDirectories, directory.RecentAt);
        break;
      }
      ForgetDirectory(keys[start - 1]);
    }
    --start;
  }
  if (start == keys.size()) return Directories.find(keys.back())->second.Descriptor.Get();
  // Opened here, kept below (the deepest last, so that it stays).
  std::vector<std::pair<std::size_t, TDirectory>> opened;
  int parent = -1;
  std::string parentPath;
  if (start == 0) {
    TDirectory base;
    base.Descriptor = OpenLogBase(file.Path.Base, DirectoryMode);
    if (!base.Descriptor) return -1;
    base.TruePath = DescriptorPath(base.Descriptor.Get());
    parent = base.Descriptor.Get();
    parentPath = base.TruePath;
    opened.emplace_back(0, std::move(base));
    start = 1;
  } else {
    const TDirectory& from = Directories.find(keys[start - 1])->second;
    parent = from.Descriptor.Get();
    parentPath = from.TruePath;
  }
  bool madeParent = false;
  for (std::size_t i = start; i < keys.size(); ++i) {
    const std::string& name = levels[i - 1];
    if (name.empty()) continue;
    TDirectory level;
    // Below a level made just now, every level is new.
    level.Descriptor = OpenSubdirectory(parent, name, madeParent, &madeParent, DirectoryMode);
    if (!level.Descriptor) return -1;
    // Reached without a link from a directory known to be in its place.
    level.TruePath = parentPath.empty() ? std::string() : parentPath + "/" + name;
    parent = level.Descriptor.Get();
    parentPath = level.TruePath;
    opened.emplace_back(i, std::move(level));
  }
  for (auto& [index, level] : opened) {
    ForgetDirectory(keys[index]);
    while (!RecentDirectories.empty() &&
           Directories.size() >= std::max<std::size_t>(DirectoryCapacity, 1))
      ForgetDirectory(RecentDirectories.back());
    RecentDirectories.push_front(keys[index]);
    level.RecentAt = RecentDirectories.begin();
    Directories[keys[index]] = std::move(level);
  }
  return Directories.find(keys.back())->second.Descriptor.Get();
}

void TLogFileTable::ForgetDirectory(const std::string& key) {
  const auto it = Directories.find(key);
  if (it == Directories.end()) return;
  RecentDirectories.erase(it->second.RecentAt);
  Directories.erase(it);
}

bool TLogFileTable::Open(TFile& file) {
  const std::uint64_t now = MonotonicMilliseconds();
  if (file.NextAttempt != 0 && now < file.NextAttempt) {
    errno = file.Error;  // the last attempt failed a moment ago
    return false;
  }
  CloseOldest(Capacity - 1);
  const int directory = Directory(file);
  if (directory >= 0) {
    file.Descriptor = OpenLogFileIn(directory, file.Path.FileName, FileMode, /*endTornLine=*/true);
    // The directory went between the check and the open: walk once more.
    if (!file.Descriptor && errno == ENOENT) {
      ForgetDirectory(file.DirectoryKey);
      const int again = Directory(file);
      if (again >= 0)
        file.Descriptor = OpenLogFileIn(again, file.Path.FileName, FileMode, /*endTornLine=*/true);
    }
  }
  if (!file.Descriptor) {
    file.Error = errno;
    file.NextAttempt = now + RetryMs;
    if (file.NextAttempt == 0) file.NextAttempt = 1;
    return false;
  }
  file.NextAttempt = 0;
  file.LastWrite = now;
  Recent.push_front(&file);
  file.RecentAt = Recent.begin();
  return true;
}

void TLogFileTable::Close(TFile& file) {
  if (!file.Descriptor) return;
  // Pending lines go out before their file closes.
  if (!file.Pending.empty()) Flush(file);
  CheckUnlinked(file);
  file.Descriptor.Reset();
  Recent.erase(file.RecentAt);
}

void TLogFileTable::CheckUnlinked(TFile& file) {
  if (file.LinesSinceCheck > 0 && IsUnlinked(file.Descriptor.Get())) {
    Totals.Written -= file.LinesSinceCheck;
    Totals.WrittenBytes -= file.BytesSinceCheck;
    CountLoss(file, ENOENT, false, file.LinesSinceCheck);
  }
  file.LinesSinceCheck = 0;
  file.BytesSinceCheck = 0;
}

void TLogFileTable::CloseOldest(std::size_t keep) {
  // `held` is the end or a file kept open for its waiting lines: closing
  // the ones before it leaves it valid.
  auto held = Recent.end();
  while (Recent.size() > keep && held != Recent.begin()) {
    const auto oldest = std::prev(held);
    TFile& file = **oldest;
    if (Held() && file.IsDirty) {
      held = oldest;
      continue;
    }
    Close(file);
    if (file.Users == 0) Erase(file);
  }
}

void TLogFileTable::Erase(TFile& file) {
  ForgetDirty(file);
  TotalPending -= file.Pending.size();
  Files.erase(file.Key);
}

void TLogFileTable::CountLoss(const TFile& file, int error, bool opening, std::uint64_t lines) {
  if (file.Path.CountedInStatistics) (opening ? Totals.OpenFailed : Totals.WriteFailed) += lines;
  auto it = Losses.find(file.Key);
  if (it == Losses.end()) {
    const bool room = Losses.size() < kLossPaths;
    const std::string key = room ? file.Key : std::string();
    it = Losses.emplace(key, TLoss{key, 0, 0}).first;
  }
  it->second.Lines += lines;
  it->second.Error = error;
}

TLogFileTable::TFileHandle TLogFileTable::Attach(const TLogFilePath& path) {
  TMutexLock guard(Guard);
  const std::string key = path.Text();
  TFile& file = Files[key];
  if (file.Users++ == 0) {
    file.Path = path;
    file.Key = key;
    file.DirectoryKey = path.DirectoryText();
  }
  if (!file.Descriptor) Open(file);
  return &file;
}

std::size_t TLogFileTable::NewPaths(const TLogFilePath& path) {
  TMutexLock guard(Guard);
  if (Files.find(path.Text()) != Files.end()) return 0;
  // The keys are those Directory() gives the levels.
  std::string key = path.Base;
  std::size_t known = 0, levels = 0;
  const TDirectory* deepest = nullptr;
  for (const std::string& level : path.Directories) {
    if (level.empty()) continue;
    key += level;
    key += '/';
    ++levels;
    const auto cached = Directories.find(key);
    if (cached != Directories.end()) {
      known = levels;
      deepest = &cached->second;
    }
  }
  if (known < levels || deepest == nullptr || !deepest->Descriptor) return levels - known + 1;
  TEntryStatus status;
  return EntryStatusIn(deepest->Descriptor.Get(), path.FileName, status) ? 0 : 1;
}

void TLogFileTable::Detach(TFileHandle handle) {
  TMutexLock guard(Guard);
  TFile& file = *handle;
  if (file.Users == 0) return;
  // A user leaves when its hour changes or it goes: what is pending goes out
  // first, also when no file is open (then counted as lost if it cannot be
  // opened now) and also when other users stay; a held batch waits for
  // its end, and so does the file's close.
  if (Held() && file.IsDirty) {
    if (--file.Users == 0) LeftInBatch.push_back(file.Key);
    return;
  }
  Flush(file);
  if (--file.Users > 0) return;
  Close(file);
  Erase(file);
}

void TLogFileTable::CloseLeftInBatch() {
  std::vector<std::string> keys;
  keys.swap(LeftInBatch);
  for (const std::string& key : keys) {
    const auto found = Files.find(key);
    // Taken up again by a new user, or not written yet: it stays.
    if (found == Files.end() || found->second.Users > 0) continue;
    if (found->second.IsDirty) {
      LeftInBatch.push_back(key);
      continue;
    }
    Close(found->second);
    Erase(found->second);
  }
}

bool TLogFileTable::Append(TFileHandle handle, const std::string& data) {
  TMutexLock guard(Guard);
  TFile& file = *handle;
  if (file.Users == 0) return false;
  AppendedSinceObserved = true;
  if (Batching || !file.Pending.empty()) {
    file.Pending += data;
    file.Ends.push_back(static_cast<std::uint32_t>(file.Pending.size()));
    TotalPending += data.size();
    MarkDirty(file);
    if (!Batching || (file.Pending.size() >= kFlushBytes && !HoldingBatches)) Flush(file);
    if (TotalPending > kMaxPendingBytes && !HoldingBatches) FlushLargest();
    return true;
  }
  if (!file.Descriptor) {
    if (!Open(file)) {
      CountLoss(file, errno, true);
      return false;
    }
  } else if (file.RecentAt != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, file.RecentAt);
  }
  const std::uint64_t now = MonotonicMicroseconds();
  file.LastWrite = now / 1000;
  // One append per line keeps lines of producers sharing the file apart; a
  // short write is finished, and a line that cannot be finished (disk full,
  // file-size limit) is taken out again, so no line is ever torn.
  if (file.Path.CountedInStatistics) ++Totals.Writes;
  Observe();
  if (AppendWhole(file.Descriptor.Get(), data.data(), data.size())) {
    if (file.Path.CountedInStatistics) {
      ++Totals.Written;
      Totals.WrittenBytes += data.size();
      ++file.LinesSinceCheck;
      file.BytesSinceCheck += data.size();
      if (CurrentArrival != 0 && now >= CurrentArrival)
        WriteDelay.Observe(static_cast<double>(now - CurrentArrival) / 1e6);
    }
    return true;
  }
  CountLoss(file, errno, false);
  return false;
}

void TLogFileTable::SetCreationModes(unsigned fileMode, unsigned directoryMode) {
  TMutexLock guard(Guard);
  FileMode = fileMode;
  DirectoryMode = directoryMode;
}

bool TLogFileTable::IsOpen(TFileHandle handle) {
  TMutexLock guard(Guard);
  return handle->Descriptor.Valid();
}

void TLogFileTable::ReopenAll() {
  TMutexLock guard(Guard);
  while (!Recent.empty()) {
    TFile& file = *Recent.front();
    Close(file);
    file.NextAttempt = 0;
  }
  for (auto& [key, file] : Files) file.NextAttempt = 0;
  Directories.clear();
  RecentDirectories.clear();
}

void TLogFileTable::CloseUnlinked() {
  TMutexLock guard(Guard);
  std::vector<TFile*> unlinked;
  for (TFile* file : Recent) {
    if (IsUnlinked(file->Descriptor.Get()))
      unlinked.push_back(file);
    else
      file->LinesSinceCheck = file->BytesSinceCheck = 0;
  }
  for (TFile* file : unlinked) {
    Close(*file);
    ForgetDirectory(file->DirectoryKey);
  }
}

void TLogFileTable::CloseIdle(std::uint64_t idleMs) {
  TMutexLock guard(Guard);
  const std::uint64_t now = MonotonicMilliseconds();
  // Recent is in the order of the last line: the idle ones are at its end.
  while (!Recent.empty() && Recent.back()->LastWrite + idleMs <= now) {
    TFile& file = *Recent.back();
    Close(file);
    if (file.Users == 0) Erase(file);
  }
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

std::size_t TLogFileTable::OpenDirectories() {
  TMutexLock guard(Guard);
  return Directories.size();
}

std::size_t TLogFileTable::PendingBytes() {
  TMutexLock guard(Guard);
  return TotalPending;
}

void TLogFileTable::SetRetryInterval(std::uint64_t milliseconds) {
  TMutexLock guard(Guard);
  RetryMs = milliseconds;
}

}  // namespace logserver

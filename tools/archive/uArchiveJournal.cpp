#include "archive/uArchiveJournal.h"

#include "platform/uFiles.h"
#include "stream/uStreamRecord.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>

namespace logserver {

namespace {

constexpr const char* kMagic = "LSJ2";
// Past this the journal is rewritten as a snapshot.
constexpr std::uint64_t kCompactBytes = 16u << 20;
// Beyond this many files a batch is synced with one call for the whole
// file system.
constexpr std::size_t kSyncEachUpTo = 64;

std::string Joined(const std::string& directory, const char* name) {
  return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

TArchiveJournal::TArchiveJournal(std::string baseCatalog)
    : Base(std::move(baseCatalog)), Path(Joined(Base, ".archive-journal")) {}

TArchiveJournal::~TArchiveJournal() = default;

bool TArchiveJournal::Open(std::vector<std::string>& said) {
  if (!ForceDirectories(Base, kLogDirectoryMode)) return false;
  RemoveReplaceLeftovers(Path);
  std::string text;
  bool exists = false;
  if (!ReadFileText(Path, text, exists, 256u << 20)) return false;
  TMutexLock held(Guard);
  if (exists) Replay(text, said);
  LastBegun = Batches;
  // A fresh snapshot: what was replayed (cut batches included) is settled.
  return Compact();
}

void TArchiveJournal::Replay(const std::string& text, std::vector<std::string>& said) {
  // The intents of batches not done, by number; each file's first noted
  // size is the one it goes back to.
  std::map<std::uint64_t, std::vector<std::pair<std::uint64_t, std::vector<std::string>>>> intents;
  std::size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // torn: never written whole
    const std::vector<std::string> words = Words(text.substr(at, end - at));
    at = end + 1;
    if (first) {
      first = false;
      if (words.size() != 1 || words[0] != kMagic) {
        said.push_back("the journal is not one this writer made: started afresh");
        return;
      }
      continue;
    }
    if (words.empty()) continue;
    const std::string& kind = words[0];
    auto number = [&](std::size_t i) { return i < words.size() ? std::strtoull(words[i].c_str(), nullptr, 10) : 0; };
    if (kind == "S" && words.size() >= 3) {
      Batches = number(1);
      Watermark = number(2);
      for (std::size_t i = 3; i < words.size(); ++i) Above.insert(number(i));
    } else if (kind == "R" && words.size() == 2) {
      std::string id;
      if (UnescapeHeaderValue(words[1], id)) Remember(id);
    } else if (kind == "I" && words.size() >= 4) {
      intents[number(1)].emplace_back(number(2), std::vector<std::string>(words.begin() + 3, words.end()));
    } else if (kind == "D" && words.size() >= 3) {
      const std::uint64_t batch = number(1);
      Batches = std::max(Batches, batch);
      intents.erase(batch);
      const std::uint64_t count = number(2);
      std::size_t i = 3;
      for (; i < words.size() && i < 3 + count; ++i) MarkWritten(number(i));
      for (; i < words.size(); ++i) {
        std::string id;
        if (UnescapeHeaderValue(words[i], id)) Remember(id);
      }
    }
  }
  // Batches not done may be written in part: their files go back to their
  // sizes before the first of them, and the stream delivers them again.
  std::map<std::string, std::pair<TLogFilePath, std::uint64_t>> sizes;
  std::uint64_t cutBatches = 0;
  for (const auto& [batch, files] : intents) {
    if (batch <= Batches) continue;
    ++cutBatches;
    for (const auto& [size, parts] : files) {
      TLogFilePath path;
      path.Base = Base;
      bool valid = true;
      for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string part;
        valid = valid && UnescapeHeaderValue(parts[i], part);
        if (i + 1 < parts.size())
          path.Directories.push_back(part);
        else
          path.FileName = part;
      }
      if (valid) sizes.emplace(path.Text(), std::make_pair(path, size));  // the first noted stays
    }
  }
  if (cutBatches == 0) return;
  std::vector<std::pair<TLogFilePath, std::uint64_t>> cut;
  for (const auto& [key, entry] : sizes) cut.push_back(entry);
  CutBack(cut);
  said.push_back(std::to_string(cutBatches) + " batches were cut short: " + std::to_string(cut.size()) +
                 " files set back; they are written again");
}

void TArchiveJournal::CutBack(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& sizes) const {
  for (const auto& [path, size] : sizes) {
    TDescriptor fd = OpenLogFileBelow(Base, path.Directories, path.FileName);
    if (fd && TruncateFile(fd.Get(), size)) SyncFile(fd.Get());
  }
}

bool TArchiveJournal::IsWritten(std::uint64_t sequence) {
  TMutexLock held(Guard);
  return sequence <= Watermark || Above.count(sequence) > 0 || TakenSequences.count(sequence) > 0;
}

bool TArchiveJournal::IsRecent(const std::string& id) {
  TMutexLock held(Guard);
  return RecentIds.count(id) > 0 || TakenIds.count(id) > 0;
}

std::uint64_t TArchiveJournal::Done() {
  TMutexLock held(Guard);
  return Batches;
}

void TArchiveJournal::MarkWritten(std::uint64_t sequence) {
  if (sequence <= Watermark) return;
  Above.insert(sequence);
  // A sequence the stream no longer has (deleted by its limits) never
  // comes: past a bound the watermark moves over such holes.
  if (Above.size() > kMaxAbove) Watermark = *Above.begin() - 1;
  while (!Above.empty() && *Above.begin() == Watermark + 1) {
    ++Watermark;
    Above.erase(Above.begin());
  }
}

void TArchiveJournal::Remember(const std::string& id) {
  if (!RecentIds.insert(id).second) return;
  RecentOrder.push_back(id);
  if (RecentOrder.size() > kRecentIds) {
    RecentIds.erase(RecentOrder.front());
    RecentOrder.pop_front();
  }
}

bool TArchiveJournal::AppendSynced(const std::string& text) {
  if (!Journal) {
    errno = EBADF;
    return false;
  }
  if (!WriteAll(Journal.Get(), text.data(), text.size()) || !SyncFile(Journal.Get())) return false;
  JournalBytes += text.size();
  return true;
}

bool TArchiveJournal::Compact() {
  std::string text = std::string(kMagic) + "\nS " + std::to_string(Batches) + " " + std::to_string(Watermark);
  for (const std::uint64_t sequence : Above) text += " " + std::to_string(sequence);
  text += "\n";
  for (const std::string& id : RecentOrder) text += "R " + EscapeHeaderValue(id) + "\n";
  Journal.Reset();
  if (!ReplaceFileAtomically(Path, text, 0640)) return false;
  Journal = OpenAppend(Path, false);
  JournalBytes = text.size();
  return Journal.Valid();
}

void TArchiveJournal::Begin() {
  Current = std::make_unique<TArchiveBatch>();
  Current->Number = ++LastBegun;
}

void TArchiveJournal::BeforeWrite(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& files) {
  if (files.empty() || !Current) return;
  std::string text;
  const std::string batch = std::to_string(Current->Number);
  for (const auto& [path, size] : files) {
    text += "I " + batch + " " + std::to_string(size);
    for (const std::string& directory : path.Directories) text += " " + EscapeHeaderValue(directory);
    text += " " + EscapeHeaderValue(path.FileName) + "\n";
    Current->Sizes.emplace_back(path, size);
  }
  TMutexLock held(Guard);
  if (!AppendSynced(text) && !Current->Failed) {
    Current->Failed = true;
    Current->Error = errno;
  }
}

void TArchiveJournal::AfterBatchWrite(const std::vector<int>& descriptors) {
  if (!Current) return;
  // Copies: the table may close its own before the batch is synced.
  for (const int fd : descriptors) {
    TDescriptor copy = DuplicateDescriptor(fd);
    if (copy) {
      Current->Files.push_back(std::move(copy));
    } else if (!Current->Failed) {
      Current->Failed = true;
      Current->Error = errno;
    }
  }
}

std::unique_ptr<TArchiveBatch> TArchiveJournal::End(std::vector<std::uint64_t> sequences,
                                                   std::vector<std::string> ids) {
  std::unique_ptr<TArchiveBatch> batch = std::move(Current);
  batch->Sequences = std::move(sequences);
  batch->Ids = std::move(ids);
  TMutexLock held(Guard);
  TakenSequences.insert(batch->Sequences.begin(), batch->Sequences.end());
  TakenIds.insert(batch->Ids.begin(), batch->Ids.end());
  return batch;
}

bool TArchiveJournal::MakeDurable(TArchiveBatch& batch) {
  if (batch.Failed) {
    errno = batch.Error;
    return false;
  }
  bool synced = true;
  if (batch.Files.size() > kSyncEachUpTo)
    synced = SyncFileSystem(batch.Files.front().Get());
  else
    for (const TDescriptor& fd : batch.Files) synced = SyncFile(fd.Get()) && synced;
  const int error = errno;
  batch.Files.clear();
  if (!synced) {
    errno = error;
    return false;
  }
  std::string text = "D " + std::to_string(batch.Number) + " " + std::to_string(batch.Sequences.size());
  for (const std::uint64_t sequence : batch.Sequences) text += " " + std::to_string(sequence);
  for (const std::string& id : batch.Ids) text += " " + EscapeHeaderValue(id);
  text += "\n";
  TMutexLock held(Guard);
  if (!AppendSynced(text)) return false;
  Batches = batch.Number;
  for (const std::uint64_t sequence : batch.Sequences) {
    MarkWritten(sequence);
    TakenSequences.erase(sequence);
  }
  for (const std::string& id : batch.Ids) {
    Remember(id);
    TakenIds.erase(id);
  }
  if (JournalBytes > kCompactBytes && !Compact()) return false;
  return true;
}

void TArchiveJournal::SetBack(const std::vector<std::unique_ptr<TArchiveBatch>>& undone) {
  // Newest first, so that each file ends at its size before the oldest.
  for (auto it = undone.rbegin(); it != undone.rend(); ++it) CutBack((*it)->Sizes);
  TMutexLock held(Guard);
  for (const auto& batch : undone) {
    for (const std::uint64_t sequence : batch->Sequences) TakenSequences.erase(sequence);
    for (const std::string& id : batch->Ids) TakenIds.erase(id);
  }
}

}  // namespace logserver

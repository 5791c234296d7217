#include "archive/uArchiveJournal.h"

#include "platform/uFiles.h"
#include "stream/uStreamRecord.h"

#include <cerrno>
#include <cstdlib>
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

bool TArchiveJournal::Open(std::vector<std::string>& said) {
  if (!ForceDirectories(Base, kLogDirectoryMode)) return false;
  RemoveReplaceLeftovers(Path);
  std::string text;
  bool exists = false;
  if (!ReadFileText(Path, text, exists, 256u << 20)) return false;
  if (exists) Replay(text, said);
  // A fresh snapshot: what was replayed (a cut batch included) is settled.
  return Compact();
}

void TArchiveJournal::Replay(const std::string& text, std::vector<std::string>& said) {
  std::uint64_t intentBatch = 0;
  std::vector<std::pair<std::uint64_t, std::vector<std::string>>> intent;
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
      Batches_ = number(1);
      Watermark_ = number(2);
      for (std::size_t i = 3; i < words.size(); ++i) Above.insert(number(i));
    } else if (kind == "R" && words.size() == 2) {
      std::string id;
      if (UnescapeHeaderValue(words[1], id)) Remember(id);
    } else if (kind == "I" && words.size() >= 4) {
      const std::uint64_t batch = number(1);
      if (batch != intentBatch) intent.clear();
      intentBatch = batch;
      intent.emplace_back(number(2), std::vector<std::string>(words.begin() + 3, words.end()));
    } else if (kind == "D" && words.size() >= 3) {
      Batches_ = number(1);
      const std::uint64_t count = number(2);
      std::size_t i = 3;
      for (; i < words.size() && i < 3 + count; ++i) MarkWritten(number(i));
      for (; i < words.size(); ++i) {
        std::string id;
        if (UnescapeHeaderValue(words[i], id)) Remember(id);
      }
    }
  }
  if (intentBatch <= Batches_ || intent.empty()) return;
  // The batch may be written in part: its files go back to their sizes
  // before it, and the stream delivers it again.
  std::size_t cut = 0;
  for (const auto& [size, parts] : intent) {
    std::vector<std::string> directories;
    std::string name;
    bool valid = true;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      std::string part;
      valid = valid && UnescapeHeaderValue(parts[i], part);
      if (i + 1 < parts.size())
        directories.push_back(part);
      else
        name = part;
    }
    if (!valid) continue;
    TDescriptor fd = OpenLogFileBelow(Base, directories, name);
    if (fd && TruncateFile(fd.Get(), size) && SyncFile(fd.Get())) ++cut;
  }
  said.push_back("batch " + std::to_string(intentBatch) + " was cut short: " + std::to_string(cut) +
                 " files set back; it is written again");
}

bool TArchiveJournal::IsWritten(std::uint64_t sequence) const {
  return sequence <= Watermark_ || Above.count(sequence) > 0;
}

void TArchiveJournal::MarkWritten(std::uint64_t sequence) {
  if (sequence <= Watermark_) return;
  Above.insert(sequence);
  // A sequence the stream no longer has (deleted by its limits) never
  // comes: past a bound the watermark moves over such holes.
  if (Above.size() > kMaxAbove) Watermark_ = *Above.begin() - 1;
  while (!Above.empty() && *Above.begin() == Watermark_ + 1) {
    ++Watermark_;
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
  std::string text = std::string(kMagic) + "\nS " + std::to_string(Batches_) + " " + std::to_string(Watermark_);
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
  IntentSizes.clear();
  BatchFailed = false;
  BatchError = 0;
}

void TArchiveJournal::BeforeWrite(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& files) {
  if (files.empty()) return;
  std::string text;
  const std::string batch = std::to_string(Batches_ + 1);
  for (const auto& [path, size] : files) {
    text += "I " + batch + " " + std::to_string(size);
    for (const std::string& directory : path.Directories) text += " " + EscapeHeaderValue(directory);
    text += " " + EscapeHeaderValue(path.FileName) + "\n";
    IntentSizes.emplace_back(path, size);
  }
  if (!AppendSynced(text) && !BatchFailed) {
    BatchFailed = true;
    BatchError = errno;
  }
}

void TArchiveJournal::AfterBatchWrite(const std::vector<int>& descriptors) {
  bool synced = true;
  if (descriptors.size() > kSyncEachUpTo)
    synced = SyncFileSystem(descriptors.front());
  else
    for (const int fd : descriptors) synced = SyncFile(fd) && synced;
  if (!synced && !BatchFailed) {
    BatchFailed = true;
    BatchError = errno;
  }
}

void TArchiveJournal::SetBack() {
  // Written but not durable, or not noted: the files go back to their
  // sizes before the batch, which comes again.
  for (const auto& [path, size] : IntentSizes) {
    TDescriptor fd = OpenLogFileBelow(Base, path.Directories, path.FileName);
    if (fd) TruncateFile(fd.Get(), size);
  }
}

bool TArchiveJournal::Commit(const std::vector<std::uint64_t>& sequences, const std::vector<std::string>& ids) {
  // The number is used either way: a later batch's intent never takes
  // the number of one whose "done" may have reached the journal.
  const std::string batch = std::to_string(++Batches_);
  if (BatchFailed) {
    SetBack();
    errno = BatchError;
    return false;
  }
  std::string text = "D " + batch + " " + std::to_string(sequences.size());
  for (const std::uint64_t sequence : sequences) text += " " + std::to_string(sequence);
  for (const std::string& id : ids) text += " " + EscapeHeaderValue(id);
  text += "\n";
  if (!AppendSynced(text)) {
    const int error = errno;
    SetBack();
    errno = error;
    return false;
  }
  for (const std::uint64_t sequence : sequences) MarkWritten(sequence);
  for (const std::string& id : ids) Remember(id);
  if (JournalBytes > kCompactBytes && !Compact()) return false;
  return true;
}

}  // namespace logserver

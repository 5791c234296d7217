#include "producers/uFileLogProducer.h"

#include "base/uDateTimeMask.h"
#include "platform/uFiles.h"
#include "platform/uTime.h"

#include <cstdint>

namespace logserver {

namespace {

constexpr std::size_t kHashMarkBytes = 17;  // "~" and 16 hex digits

std::uint64_t Fnv1a(const std::string& bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// Whether a level has the form a shortened one ends in: "~" and 16
// lowercase hex digits. Such a level given literally is shortened as well,
// so that no name can take the place of another one's shortened form.
bool LooksShortened(const std::string& level) {
  if (level.size() < kHashMarkBytes || level[level.size() - kHashMarkBytes] != '~') return false;
  for (std::size_t i = level.size() - kHashMarkBytes + 1; i < level.size(); ++i)
    if (!((level[i] >= '0' && level[i] <= '9') || (level[i] >= 'a' && level[i] <= 'f'))) return false;
  return true;
}

std::vector<std::string> SplitLevels(const std::string& name) {
  std::vector<std::string> levels;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    levels.push_back(name.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return levels;
}

// The directory levels of a name: empty pieces give none (as in a path),
// more than `maxLevels` are joined with "_" into the last one allowed, and
// every level is cut to the byte limit.
std::vector<std::string> DirectoryLevels(const std::vector<std::string>& pieces,
                                         std::size_t maxLevels, bool& shortened) {
  std::vector<std::string> levels;
  std::string rest;  // what the last allowed level stands for, with its slashes
  for (const std::string& piece : pieces) {
    if (piece.empty()) continue;
    if (levels.size() + 1 < maxLevels) {
      levels.push_back(piece);
    } else {
      if (!rest.empty()) rest += '/';
      rest += piece;
    }
  }
  std::size_t joinedAt = levels.size() + 1;  // none
  if (!rest.empty()) {
    if (rest.find('/') == std::string::npos) {
      levels.push_back(rest);
    } else {
      std::string joined = rest;
      for (char& c : joined)
        if (c == '/') c = '_';
      levels.push_back(ShortenedLevel(joined, rest, kMaxLevelBytes));
      joinedAt = levels.size() - 1;
      shortened = true;
    }
  }
  // Too long, or given in a shortened level's form: made to fit, with a
  // mark of its own.
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (i == joinedAt || (levels[i].size() <= kMaxLevelBytes && !LooksShortened(levels[i]))) continue;
    levels[i] = ShortenedLevel(levels[i], levels[i], kMaxLevelBytes);
    shortened = true;
  }
  return levels;
}

}  // namespace

std::string SafePathName(const std::string& name) {
  std::string safe;
  safe.reserve(name.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::size_t end = slash == std::string::npos ? name.size() : slash;
    if (end - start == 2 && name[start] == '.' && name[start + 1] == '.') {
      safe += "__";
    } else {
      for (std::size_t i = start; i < end; ++i) safe += name[i] == '\0' ? '_' : name[i];
    }
    if (slash == std::string::npos) break;
    safe += '/';
    start = slash + 1;
  }
  return safe;
}

std::string ShortenedLevel(const std::string& level, const std::string& whole, std::size_t limit) {
  static const char kHex[] = "0123456789abcdef";
  const std::size_t keep = limit > kHashMarkBytes ? limit - kHashMarkBytes : 0;
  std::string shortened = level.substr(0, keep);
  shortened += '~';
  const std::uint64_t hash = Fnv1a(whole);
  for (int shift = 60; shift >= 0; shift -= 4) shortened += kHex[(hash >> shift) & 0xF];
  return shortened;
}

TFileLogProducer::TFileLogProducer(const TLogProducerTexts& texts, TLogFileTable& files)
    : TCustomLogProducer(texts, "ls-file"), Files(files) {
  ApplicationLevels = DirectoryLevels(SplitLevels(SafePathName(ApplicationName)), kMaxNameLevels,
                                      Shortened_);
  ModuleLevels = DirectoryLevels(SplitLevels(SafePathName(ModuleName)), kMaxNameLevels, Shortened_);
  if (!FilePrefix.empty()) {
    // "a/b" puts the file b_hh.log into the directory a; the file name is
    // the last level of the prefix, and counts as one of its levels.
    std::vector<std::string> pieces = SplitLevels(SafePathName(FilePrefix));
    const std::string stem = pieces.back();
    pieces.pop_back();
    PrefixLevels = DirectoryLevels(pieces, kMaxNameLevels - 1, Shortened_);
    const std::size_t stemLimit = kMaxLevelBytes - std::string("_hh.log").size();
    const bool fits = stem.size() <= stemLimit && !LooksShortened(stem);
    FileStem = fits ? stem : ShortenedLevel(stem, stem, stemLimit);
    if (!fits) Shortened_ = true;
    FileStem += '_';
  }
}

PLogProducer TFileLogProducer::Create(const TLogProducerTexts& texts,
                                      const TProducerEnvironment& environment) {
  // No thread is started: its body would end at once, and creating and
  // joining one per route costs more than the route's first line. Stop and
  // WaitFor return at once for a thread that never ran.
  return PLogProducer(new TFileLogProducer(texts, *environment.Files));
}

PLogProducer TFileLogProducer::CreateOverflow(const TLogProducerTexts& texts,
                                              const TProducerEnvironment& environment) {
  auto producer = std::unique_ptr<TFileLogProducer>(new TFileLogProducer(texts, *environment.Files));
  producer->ApplicationLevels.assign(1, kOverflowLevel);
  producer->ModuleLevels.clear();
  producer->PrefixLevels.clear();
  producer->FileStem.clear();
  producer->Shortened_ = false;
  return producer;
}

TFileLogProducer::~TFileLogProducer() {
  StopAndWait();
  CloseFile();
}

bool TFileLogProducer::IsActive() { return CurrentFile != nullptr && Files.IsOpen(CurrentFile); }

TLogFilePath TFileLogProducer::FilePath(double ServerTime) const {
  // BaseCatalog is a plain prefix: without a trailing "/" its last part
  // joins the address ("/srv/Logs" gives /srv/Logs10.1.2.3/...).
  TLogFilePath path;
  path.Base = DirectoryPart(BaseCatalog);
  const std::string first = FileNamePart(BaseCatalog) + ClientAddress;
  if (!first.empty()) path.Directories.push_back(first);
  path.Directories.insert(path.Directories.end(), ApplicationLevels.begin(), ApplicationLevels.end());
  path.Directories.insert(path.Directories.end(), ModuleLevels.begin(), ModuleLevels.end());
  path.Directories.push_back(FormatDateTime("yyyy_mm_dd", ServerTime));
  path.Directories.insert(path.Directories.end(), PrefixLevels.begin(), PrefixLevels.end());
  path.FileName = FileStem + FormatDateTime("hh", ServerTime) + ".log";
  path.CountedInStatistics = CountedInStatistics;
  return path;
}

void TFileLogProducer::AddMessage(const std::string& Text, double EventTime, double ServerTime) {
  // Messages of the same millisecond share their hour and their stamp.
  if (!HourChosen || ServerTime != LastServerTime) {
    const double hour = StartOfHour(ServerTime);
    // The first message always chooses a file, also in the (theoretical)
    // hour whose start is the value 0.0.
    if (!HourChosen || hour != CurrentHour) {
      OpenFile(FilePath(ServerTime));
      CurrentHour = hour;
      HourChosen = true;
    }
    LastServerTime = ServerTime;
    ServerStamp.clear();
  }
  Line.clear();
  if (EventTime != 0.0) {
    if (ServerStamp.empty()) AppendTimeOfDay(ServerStamp, ServerTime);
    if (EventStamp.empty() || EventTime != LastEventTime) {
      EventStamp.assign(1, '[');
      AppendTimeOfDay(EventStamp, EventTime);
      EventStamp += "] : ";
      LastEventTime = EventTime;
    }
    Line += ServerStamp;
    Line += EventStamp;
  }
  Line += Text;
  Line += "\r\n";
  // A line that cannot be written is counted by the table; the next one
  // goes after whatever reached the file.
  Files.Append(CurrentFile, Line);
}

void TFileLogProducer::OpenFile(const TLogFilePath& Path) {
  CloseFile();
  CurrentFile = Files.Attach(Path);
}

void TFileLogProducer::CloseFile() {
  if (CurrentFile == nullptr) return;
  Files.Detach(CurrentFile);
  CurrentFile = nullptr;
}

}  // namespace logserver

#include "stream/uStreamSpool.h"

#include "platform/uFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>

namespace logserver {

namespace {

constexpr std::size_t kReadChunk = 1u << 20;
constexpr std::uint64_t kFirstNumber = 1000000000000ull;
constexpr std::uint64_t kMinSegment = 1ull << 20;
constexpr std::uint64_t kMaxSegment = 64ull << 20;
constexpr const char* kSuffix = ".spool";
constexpr const char* kMarkName = "mark";
constexpr const char* kMarkMagic = "LSM2";

bool ParseSegmentName(const std::string& name, std::uint64_t& number) {
  const std::size_t suffix = std::char_traits<char>::length(kSuffix);
  if (name.size() != 20 + suffix || name.compare(20, suffix, kSuffix) != 0) return false;
  number = 0;
  for (std::size_t i = 0; i < 20; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    number = number * 10 + static_cast<std::uint64_t>(name[i] - '0');
  }
  return true;
}

}  // namespace

std::uint64_t TStreamSpool::SegmentBytesFor(std::uint64_t maxBytes) {
  return std::clamp(maxBytes / 8, kMinSegment, kMaxSegment);
}

std::string TStreamSpool::SegmentName(std::uint64_t number) const {
  char name[32];
  std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(number), kSuffix);
  return name;
}

bool TStreamSpool::Open(const std::string& directory, std::uint64_t maxBytes, const std::string& former) {
  Directory = directory;
  MaxBytes = maxBytes;
  SegmentLimit = SegmentBytesFor(maxBytes);
  if (!former.empty() && !DirectoryExists(directory) && DirectoryExists(former)) {
    const std::string parent = DirectoryPart(directory.back() == '/' ? directory.substr(0, directory.size() - 1) : directory);
    if (!ForceDirectories(parent, 0750) || !RenamePath(former, directory)) return false;
  }
  if (!ForceDirectories(directory, 0750)) return false;
  DirectoryFd = OpenDirectoryToWalk(directory);
  if (!DirectoryFd) return false;
  TDescriptor listing = OpenDirectoryToWalk(directory);
  std::vector<std::string> names;
  if (!listing || !ListDirectory(listing.Get(), names)) return false;
  std::vector<std::uint64_t> numbers;
  for (const std::string& name : names) {
    std::uint64_t number = 0;
    if (ParseSegmentName(name, number)) numbers.push_back(number);
  }
  std::sort(numbers.begin(), numbers.end());
  ReadMark();
  TMutexLock held(Guard);
  for (const std::uint64_t number : numbers) {
    // Before the mark, everything was acknowledged.
    const TSegment segment = number < MarkAtOpen.Segment ? TSegment{} : Survey(number);
    if (segment.Entries == 0) {
      RemoveFileIn(DirectoryFd.Get(), SegmentName(number));
      continue;
    }
    Segments.push_back(segment);
  }
  OwnSegment = numbers.empty() ? kFirstNumber : numbers.back() + 1;
  Read = TSpoolPosition{OwnSegment, 0};
  if (!Segments.empty()) {
    Read = TSpoolPosition{Segments.front().Number, 0};
    if (Segments.front().Number == MarkAtOpen.Segment && MarkAtOpen.Offset <= Segments.front().Bytes) {
      Read.Offset = MarkAtOpen.Offset;
      Released = MarkAtOpen.Offset;
    }
  }
  ReaderSegment = Read.Segment;
  ReaderRecords = 0;
  return true;
}

void TStreamSpool::ReadMark() {
  std::string text;
  bool exists = false;
  if (!ReadFileText(Directory + "/" + kMarkName, text, exists, 64u << 20) || !exists) return;
  std::istringstream in(text);
  std::string magic;
  TSpoolPosition position;
  if (!(in >> magic >> position.Segment >> position.Offset) || magic != kMarkMagic) return;
  MarkAtOpen = position;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string id;
    std::uint64_t sequence = 0;
    if (!(words >> id)) continue;
    words >> sequence;
    AcknowledgedIds[id] = sequence;
  }
}

TStreamSpool::TSegment TStreamSpool::Survey(std::uint64_t number) {
  TSegment segment;
  segment.Number = number;
  TDescriptor fd = OpenAppend(Directory + "/" + SegmentName(number), false);
  if (!fd) return segment;
  std::string buffer;
  std::size_t at = 0;
  std::uint64_t offset = 0, good = 0;
  TSpoolEntry entry;
  TStreamRecord legacy;
  for (;;) {
    std::size_t used = 0;
    const TSpoolParse parsed = ParseSpoolEntry(std::string_view(buffer).substr(at), entry, legacy, used);
    if (parsed == TSpoolParse::Run || parsed == TSpoolParse::Close || parsed == TSpoolParse::Legacy) {
      at += used;
      good += used;
      segment.Records += SpoolEntryRecords(parsed, entry);
      ++segment.Entries;
      continue;
    }
    if (parsed == TSpoolParse::Invalid) {
      Damaged_.fetch_add(1, std::memory_order_relaxed);
      break;
    }
    buffer.erase(0, at);
    at = 0;
    const std::size_t want = std::max(kReadChunk, used);
    const std::size_t old = buffer.size();
    buffer.resize(old + want);
    const long n = ReadFromFileAt(fd.Get(), buffer.data() + old, want, offset);
    buffer.resize(old + static_cast<std::size_t>(std::max(n, 0L)));
    if (n <= 0) break;
    offset += static_cast<std::uint64_t>(n);
  }
  // A cut or damaged tail is no one's record.
  const std::int64_t size = FileSizeOf(fd.Get());
  if (size >= 0 && static_cast<std::uint64_t>(size) != good) TruncateFile(fd.Get(), good);
  segment.Bytes = good;
  return segment;
}

std::uint64_t TStreamSpool::Bytes() const {
  TMutexLock held(Guard);
  std::uint64_t bytes = 0;
  for (const TSegment& segment : Segments) bytes += segment.Bytes;
  return bytes - std::min(bytes, Released);
}

void TStreamSpool::RemoveSegment(std::uint64_t number) {
  RemoveFileIn(DirectoryFd.Get(), SegmentName(number));
}

void TStreamSpool::DropOldest() {
  const TSegment oldest = Segments.front();
  std::uint64_t untaken = oldest.Records;
  if (ReaderSegment > oldest.Number) untaken = 0;  // read: sent from memory
  if (ReaderSegment == oldest.Number) {
    untaken -= std::min(untaken, ReaderRecords.load(std::memory_order_relaxed));
    ReaderSegmentDropped.store(true);
  }
  Dropped_.fetch_add(untaken, std::memory_order_relaxed);
  RemoveSegment(oldest.Number);
  Segments.pop_front();
  Released = 0;
}

bool TStreamSpool::Append(std::string_view entries, std::uint64_t records, TSpoolPosition* at) {
  if (entries.empty()) return true;
  // Held across the write: the positions of entries are the order of the
  // writes, and the reader never reads past what is whole.
  TMutexLock held(Guard);
  if (!WriteFd || WriteBytes >= SegmentLimit) {
    const std::uint64_t number = WriteFd ? WriteNumber + 1 : std::max(OwnSegment, WriteNumber + 1);
    WriteFd = CreateNewFileIn(DirectoryFd.Get(), SegmentName(number), 0640);
    if (!WriteFd) {
      LastError_.store(errno, std::memory_order_relaxed);
      Dropped_.fetch_add(records, std::memory_order_relaxed);
      return false;
    }
    WriteNumber = number;
    WriteBytes = 0;
    TSegment segment;
    segment.Number = number;
    Segments.push_back(segment);
  }
  // The bound: the oldest whole segments go first; the one written now
  // stays, so the disk used is at most the bound and one segment.
  std::uint64_t bytes = 0;
  for (const TSegment& segment : Segments) bytes += segment.Bytes;
  bytes -= std::min(bytes, Released);
  while (Segments.size() > 1 && bytes + entries.size() > MaxBytes) {
    bytes -= std::min(bytes, Segments.front().Bytes - std::min(Segments.front().Bytes, Released));
    DropOldest();
  }
  if (!WriteAll(WriteFd.Get(), entries.data(), entries.size())) {
    // What the disk refused is lost to the stream (the files have it); a
    // piece of it left at the end is cut when the spool is next opened, and
    // the reader never reads past the entries known whole.
    LastError_.store(errno, std::memory_order_relaxed);
    Dropped_.fetch_add(records, std::memory_order_relaxed);
    WriteFd.Reset();
    return false;
  }
  TSegment& segment = Segments.back();
  if (at != nullptr) *at = TSpoolPosition{segment.Number, segment.Bytes};
  WriteBytes += entries.size();
  segment.Bytes += entries.size();
  segment.Records += records;
  ++segment.Entries;
  return true;
}

bool TStreamSpool::Fill(std::size_t needed, std::uint64_t limit) {
  const std::uint64_t end = ReadBufferAt + ReadBuffer.size();
  if (Read.Offset >= ReadBufferAt && Read.Offset + needed <= end) return true;
  if (Read.Offset + needed > limit) return false;
  // Keep what is left of the buffer from the read position, and read on.
  if (Read.Offset >= ReadBufferAt && Read.Offset <= end) {
    ReadBuffer.erase(0, static_cast<std::size_t>(Read.Offset - ReadBufferAt));
  } else {
    ReadBuffer.clear();
  }
  ReadBufferAt = Read.Offset;
  const std::uint64_t from = ReadBufferAt + ReadBuffer.size();
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(limit - from, std::max<std::uint64_t>(kReadChunk, needed - ReadBuffer.size())));
  const std::size_t old = ReadBuffer.size();
  ReadBuffer.resize(old + want);
  const long n = ReadFromFileAt(ReadFd.Get(), ReadBuffer.data() + old, want, from);
  ReadBuffer.resize(old + static_cast<std::size_t>(std::max(n, 0L)));
  if (n < 0) LastError_.store(errno, std::memory_order_relaxed);
  return ReadBuffer.size() >= needed;
}

bool TStreamSpool::Next(TSpoolParse& kind, TSpoolEntry& entry, TStreamRecord& legacy, TSpoolPosition& at) {
  for (;;) {
    std::uint64_t limit = ReadLimit, records = ReadRecordsKnown;
    bool later = ReadLimitLater;
    // The segment's size is looked up again only once the reader reached
    // what it knew of it, or the segment was given up under it.
    if (Read.Offset >= limit || ReadLimitSegment != Read.Segment || ReaderSegmentDropped.load()) {
      TMutexLock held(Guard);
      // The reader's segment, or the next one when it is gone (given up to
      // the bound under the reader).
      auto it = std::find_if(Segments.begin(), Segments.end(),
                             [&](const TSegment& segment) { return segment.Number >= Read.Segment; });
      if (it == Segments.end()) return false;
      if (it->Number != Read.Segment) {
        Read = TSpoolPosition{it->Number, 0};
        ReadFd.Reset();
      }
      limit = ReadLimit = it->Bytes;
      records = ReadRecordsKnown = it->Records;
      later = ReadLimitLater = std::next(it) != Segments.end();
      ReadLimitSegment = Read.Segment;
      ReaderSegmentDropped.store(false);
      if (ReaderSegment != Read.Segment) {
        ReaderSegment = Read.Segment;
        ReaderRecords.store(0, std::memory_order_relaxed);
      }
    }
    if (Read.Offset >= limit) {
      if (!later) return false;
      // On to the next segment (numbers may have gaps).
      Read = TSpoolPosition{Read.Segment + 1, 0};
      ReadFd.Reset();
      continue;
    }
    if (!ReadFd) {
      ReadFd = OpenRegularFileIn(DirectoryFd.Get(), SegmentName(Read.Segment));
      ReadBuffer.clear();
      ReadBufferAt = Read.Offset;
      if (!ReadFd) {
        LastError_.store(errno, std::memory_order_relaxed);
        Damaged_.fetch_add(records, std::memory_order_relaxed);
        Read.Offset = limit;
        continue;
      }
    }
    std::size_t used = 0;
    TSpoolParse parsed = TSpoolParse::Invalid;
    if (Fill(kSpoolEntryHeader, limit)) {
      parsed = ParseSpoolEntry(std::string_view(ReadBuffer).substr(Read.Offset - ReadBufferAt), entry, legacy,
                               used);
      if (parsed == TSpoolParse::Incomplete && Fill(used, limit))
        parsed = ParseSpoolEntry(std::string_view(ReadBuffer).substr(Read.Offset - ReadBufferAt), entry,
                                 legacy, used);
    }
    if (parsed != TSpoolParse::Run && parsed != TSpoolParse::Close && parsed != TSpoolParse::Legacy) {
      // Damaged, or unreadable: the rest of the segment is no one's.
      const std::uint64_t taken = ReaderRecords.exchange(records, std::memory_order_relaxed);
      Damaged_.fetch_add(records - std::min(records, taken), std::memory_order_relaxed);
      Read.Offset = limit;
      continue;
    }
    kind = parsed;
    at = Read;
    Read.Offset += used;
    ReaderRecords.fetch_add(SpoolEntryRecords(parsed, entry), std::memory_order_relaxed);
    return true;
  }
}

TSpoolPosition TStreamSpool::ReadPosition() const {
  TMutexLock held(Guard);
  return Read;
}

void TStreamSpool::Release(TSpoolPosition position) {
  TMutexLock held(Guard);
  // The segment being written is never before the reader, nor before
  // what it has read.
  while (!Segments.empty() && Segments.front().Number < position.Segment) {
    RemoveSegment(Segments.front().Number);
    Segments.pop_front();
    Released = 0;
  }
  if (!Segments.empty() && Segments.front().Number == position.Segment)
    Released = std::max(Released, position.Offset);
}

bool TStreamSpool::SaveMark(TSpoolPosition position, const TAcknowledged& acknowledged) {
  std::string text = std::string(kMarkMagic) + " " + std::to_string(position.Segment) + " " +
                     std::to_string(position.Offset) + "\n";
  for (const auto& [id, sequence] : acknowledged) text += id + " " + std::to_string(sequence) + "\n";
  if (ReplaceFileAtomically(Directory + "/" + kMarkName, text, 0640)) return true;
  LastError_.store(errno, std::memory_order_relaxed);
  return false;
}

void TStreamSpool::Clear() {
  TMutexLock held(Guard);
  WriteFd.Reset();
  ReadFd.Reset();
  while (!Segments.empty()) {
    RemoveSegment(Segments.front().Number);
    Segments.pop_front();
  }
  Released = 0;
  RemoveFileIn(DirectoryFd.Get(), kMarkName);
}

}  // namespace logserver

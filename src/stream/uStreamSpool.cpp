#include "stream/uStreamSpool.h"

#include "platform/uFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace logserver {

namespace {

constexpr std::size_t kReadChunk = 1u << 20;
constexpr std::size_t kWriteChunk = 1u << 20;
// Numbers start in the middle, so that records put in front at a stop
// can take ever smaller ones.
constexpr std::uint64_t kFirstNumber = 1000000000000ull;
constexpr const char* kSuffix = ".spool";

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

std::string TStreamSpool::SegmentName(std::uint64_t number) const {
  char name[32];
  std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(number), kSuffix);
  return name;
}

bool TStreamSpool::Open(const std::string& directory, std::uint64_t maxBytes) {
  Directory = directory;
  MaxBytes = maxBytes;
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
  for (const std::uint64_t number : numbers) {
    const TSegment segment = Survey(number);
    if (segment.Records == 0) {
      RemoveFileIn(DirectoryFd.Get(), SegmentName(number));
      continue;
    }
    Segments.push_back(segment);
  }
  return true;
}

TStreamSpool::TSegment TStreamSpool::Survey(std::uint64_t number) {
  TSegment segment;
  segment.Number = number;
  TDescriptor fd = OpenAppend(Directory + "/" + SegmentName(number), false);
  if (!fd) return segment;
  std::string buffer;
  std::size_t at = 0;
  std::uint64_t offset = 0, good = 0;
  TStreamRecord record;
  for (;;) {
    std::size_t used = 0;
    const TSpoolParse parsed = ParseSpoolRecord(std::string_view(buffer).substr(at), record, used);
    if (parsed == TSpoolParse::Record) {
      at += used;
      good += used;
      ++segment.Records;
      continue;
    }
    if (parsed == TSpoolParse::Invalid) {
      ++Damaged_;
      break;
    }
    buffer.erase(0, at);
    at = 0;
    const std::size_t old = buffer.size();
    buffer.resize(old + kReadChunk);
    const long n = ReadFromFileAt(fd.Get(), buffer.data() + old, kReadChunk, offset);
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
  std::uint64_t bytes = WriteBuffer.size();
  for (const TSegment& segment : Segments) bytes += segment.Bytes;
  const std::uint64_t taken = ReadOffset - (ReadBuffer.size() - ReadPos);
  return bytes - std::min(bytes, taken);
}

void TStreamSpool::Append(const TStreamRecord& record) {
  AppendSpoolRecord(WriteBuffer, record);
  ++BufferedRecords;
  if (WriteBuffer.size() >= kWriteChunk) Flush();
}

bool TStreamSpool::StartSegment(std::uint64_t number) {
  WriteFd = CreateNewFileIn(DirectoryFd.Get(), SegmentName(number), 0640);
  if (!WriteFd) return false;
  WriteNumber = number;
  return true;
}

void TStreamSpool::Flush() {
  if (WriteBuffer.empty()) return;
  const bool appendable = !Segments.empty() && WriteFd && WriteNumber == Segments.back().Number &&
                          Segments.back().Bytes < kSegmentBytes;
  if (!appendable) {
    const std::uint64_t number = Segments.empty() ? NextNumber() : Segments.back().Number + 1;
    if (!StartSegment(number)) {
      LastError_ = errno;
      Dropped_ += BufferedRecords;
      WriteBuffer.clear();
      BufferedRecords = 0;
      return;
    }
    Segments.push_back(TSegment{number, 0, 0});
  }
  if (!WriteAll(WriteFd.Get(), WriteBuffer.data(), WriteBuffer.size())) {
    // What the disk refused is lost to the stream (the files have it);
    // a partial record at the end is cut when the spool is next opened.
    LastError_ = errno;
    Dropped_ += BufferedRecords;
    WriteFd.Reset();
  } else {
    Segments.back().Bytes += WriteBuffer.size();
    Segments.back().Records += BufferedRecords;
  }
  WriteBuffer.clear();
  BufferedRecords = 0;
  EnforceBound();
}

std::uint64_t TStreamSpool::NextNumber() const { return kFirstNumber; }

void TStreamSpool::EnforceBound() {
  while (Segments.size() > 1 && Bytes() > MaxBytes) {
    const TSegment& oldest = Segments.front();
    const std::uint64_t taken = ReadNumber == oldest.Number && ReadFd ? ReadRecords : 0;
    Dropped_ += oldest.Records - std::min(oldest.Records, taken);
    RemoveOldest();
  }
}

void TStreamSpool::RemoveOldest() {
  const std::uint64_t number = Segments.front().Number;
  if (ReadFd && ReadNumber == number) {
    ReadFd.Reset();
    ReadBuffer.clear();
    ReadPos = 0;
    ReadOffset = 0;
    ReadRecords = 0;
  }
  if (WriteFd && WriteNumber == number) WriteFd.Reset();
  RemoveFileIn(DirectoryFd.Get(), SegmentName(number));
  Segments.pop_front();
}

bool TStreamSpool::Take(TStreamRecord& record) {
  for (;;) {
    if (Segments.empty()) {
      if (WriteBuffer.empty()) return false;
      Flush();
      if (Segments.empty()) return false;  // the write failed: counted
      continue;
    }
    const TSegment& oldest = Segments.front();
    if (!ReadFd || ReadNumber != oldest.Number) {
      ReadFd = OpenAppend(Directory + "/" + SegmentName(oldest.Number), false);
      ReadNumber = oldest.Number;
      ReadBuffer.clear();
      ReadPos = ReadOffset = ReadRecords = 0;
      if (!ReadFd) {
        LastError_ = errno;
        Damaged_ += oldest.Records;
        RemoveOldest();
        continue;
      }
    }
    std::size_t used = 0;
    const TSpoolParse parsed =
        ParseSpoolRecord(std::string_view(ReadBuffer).substr(ReadPos), record, used);
    if (parsed == TSpoolParse::Record) {
      ReadPos += used;
      ++ReadRecords;
      return true;
    }
    if (parsed == TSpoolParse::Invalid) {
      Damaged_ += oldest.Records - std::min(oldest.Records, ReadRecords);
      RemoveOldest();
      continue;
    }
    if (ReadOffset < oldest.Bytes) {
      ReadBuffer.erase(0, ReadPos);
      ReadPos = 0;
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(oldest.Bytes - ReadOffset, kReadChunk + kMaxSpoolRecord));
      const std::size_t old = ReadBuffer.size();
      ReadBuffer.resize(old + want);
      const long n = ReadFromFileAt(ReadFd.Get(), ReadBuffer.data() + old, want, ReadOffset);
      ReadBuffer.resize(old + static_cast<std::size_t>(std::max(n, 0L)));
      if (n <= 0) {
        LastError_ = n < 0 ? errno : EIO;
        Damaged_ += oldest.Records - std::min(oldest.Records, ReadRecords);
        RemoveOldest();
        continue;
      }
      ReadOffset += static_cast<std::uint64_t>(n);
      continue;
    }
    // The oldest segment is used up; more may still be buffered for it.
    if (Segments.size() == 1 && !WriteBuffer.empty() && WriteFd && WriteNumber == oldest.Number &&
        oldest.Bytes < kSegmentBytes) {
      Flush();
      continue;
    }
    RemoveOldest();
  }
}

void TStreamSpool::PutInFront(const std::vector<TStreamRecord>& records) {
  std::string front;
  std::uint64_t count = 0;
  for (const TStreamRecord& record : records) {
    AppendSpoolRecord(front, record);
    ++count;
  }
  // The rest of a segment being taken goes along, so that nothing taken
  // (and perhaps acknowledged) is sent again.
  bool replaceOldest = false;
  if (!Segments.empty() && ReadFd && ReadNumber == Segments.front().Number) {
    const TSegment& oldest = Segments.front();
    front.append(ReadBuffer, ReadPos, std::string::npos);
    std::string rest(static_cast<std::size_t>(oldest.Bytes - ReadOffset), '\0');
    const long n = rest.empty() ? 0 : ReadFromFileAt(ReadFd.Get(), rest.data(), rest.size(), ReadOffset);
    if (n == static_cast<long>(rest.size())) {
      front += rest;
      count += oldest.Records - std::min(oldest.Records, ReadRecords);
      replaceOldest = true;
    } else {
      // Unreadable now: the segment stays as it is and is sent again whole.
      front.resize(front.size() - (ReadBuffer.size() - ReadPos));
    }
  }
  if (count > 0) {
    const std::uint64_t number = Segments.empty() ? NextNumber() - 1 : Segments.front().Number - 1;
    TDescriptor fd = CreateNewFileIn(DirectoryFd.Get(), SegmentName(number), 0640);
    if (fd && WriteAll(fd.Get(), front.data(), front.size()) && SyncFile(fd.Get())) {
      if (replaceOldest) RemoveOldest();
      Segments.push_front(TSegment{number, front.size(), count});
    } else {
      LastError_ = errno;
      Dropped_ += records.size();
      if (fd) RemoveFileIn(DirectoryFd.Get(), SegmentName(number));
    }
  }
  Flush();
  if (WriteFd) SyncFile(WriteFd.Get());
}

}  // namespace logserver

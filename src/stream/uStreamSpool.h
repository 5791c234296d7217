// The spool: records the stream could not take yet, in order, on disk, in
// segment files of at most kSegmentBytes ("<number>.spool", numbers rising
// with age falling) in one directory. Records are appended at the newest
// segment and taken from the oldest; past the bound the oldest whole
// segment is given up (its records counted), so the disk it uses stays
// within the bound plus one segment.
//
// A record is written whole or, after a crash, cut at the end of its
// segment: a cut tail is dropped when the spool is opened.
//
// Threading: none; the owner serialises every call (TStreamPublisher under
// its lock).
#pragma once

#include "platform/uDescriptor.h"
#include "stream/uStreamRecord.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace logserver {

class TStreamSpool {
 public:
  static constexpr std::uint64_t kSegmentBytes = 64ull << 20;

  TStreamSpool() = default;
  TStreamSpool(const TStreamSpool&) = delete;
  TStreamSpool& operator=(const TStreamSpool&) = delete;

  // Makes the directory if needed and finds the segments left by an
  // earlier run. False (errno set) when the directory cannot be used.
  bool Open(const std::string& directory, std::uint64_t maxBytes);

  void Append(const TStreamRecord& record);
  // Writes what Append buffered; called at the end of a batch.
  void Flush();
  // Takes the oldest record; false when the spool is empty.
  bool Take(TStreamRecord& record);
  // Puts `records` in front of everything spooled, in their order, and
  // writes the spool out (the stop).
  void PutInFront(const std::vector<TStreamRecord>& records);

  bool Empty() const { return Segments.empty() && WriteBuffer.empty(); }
  std::uint64_t Bytes() const;
  // Records given up to the bound or found damaged since the start.
  std::uint64_t Dropped() const { return Dropped_; }
  std::uint64_t Damaged() const { return Damaged_; }
  // The last error (errno) of a write or read that failed; 0: none.
  int LastError() const { return LastError_; }

 private:
  struct TSegment {
    std::uint64_t Number = 0;
    std::uint64_t Bytes = 0;
    std::uint64_t Records = 0;
  };

  std::string SegmentName(std::uint64_t number) const;
  bool StartSegment(std::uint64_t number);
  std::uint64_t NextNumber() const;
  void RemoveOldest();
  void EnforceBound();
  // Counts the records of a segment left by an earlier run; cuts a
  // damaged or partial tail.
  TSegment Survey(std::uint64_t number);

  std::string Directory;
  std::uint64_t MaxBytes = 0;
  TDescriptor DirectoryFd;
  std::deque<TSegment> Segments;  // oldest first
  TDescriptor WriteFd;            // the newest segment, while appending
  std::uint64_t WriteNumber = 0;  // its number
  std::string WriteBuffer;
  std::uint64_t BufferedRecords = 0;
  TDescriptor ReadFd;             // the oldest segment, while taking
  std::uint64_t ReadNumber = 0;
  std::uint64_t ReadOffset = 0;   // in the oldest segment
  std::uint64_t ReadRecords = 0;  // taken from the oldest segment
  std::string ReadBuffer;         // read from the oldest segment
  std::size_t ReadPos = 0;        // ReadBuffer's bytes before it are taken
  std::uint64_t Dropped_ = 0;
  std::uint64_t Damaged_ = 0;
  int LastError_ = 0;
};

}  // namespace logserver

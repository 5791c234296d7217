// The spool: the stream's write-ahead log. Every record the collector takes
// in goes into it (as chunks of batches, uStreamRecord.h) before it is
// published and before its line reaches a file, so that what a crash of the
// collector interrupts is sent by its next start; acknowledged records are
// trimmed away.
//
// On disk: segment files "<number>.spool" in one directory, numbers rising
// with age falling, each at most about SegmentBytes (a write never spans
// two); and a mark ("mark"): the position before which everything is
// acknowledged, and the ids of the batches after it that are acknowledged
// too, so that a new start sends neither again. Past the bound the oldest
// whole segment is given up (its records not yet read are counted), so the
// disk used stays within the bound plus one segment.
//
// Nothing is synced per write: a killed process loses nothing that was
// written (the kernel has it); a power loss can lose what the kernel had
// not yet written back, as it can the log files' last lines.
//
// Threading: Append from any thread (the collector's main thread writes
// the records, the publisher its close marks); one reader thread (Next,
// ReadPosition, Release, SaveMark); Open before both, Clear after both,
// the counts from any thread. Appends and the segment list are under
// Guard; the reader's descriptor and buffer are its own.
#pragma once

#include "platform/uDescriptor.h"
#include "platform/uSync.h"
#include "stream/uStreamRecord.h"

#include <atomic>
#include <compare>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace logserver {

struct TSpoolPosition {
  std::uint64_t Segment = 0;
  std::uint64_t Offset = 0;
  auto operator<=>(const TSpoolPosition&) const = default;
};

class TStreamSpool {
 public:
  // An eighth of the bound, within 1 and 64 MiB.
  static std::uint64_t SegmentBytesFor(std::uint64_t maxBytes);

  TStreamSpool() = default;
  TStreamSpool(const TStreamSpool&) = delete;
  TStreamSpool& operator=(const TStreamSpool&) = delete;

  // Makes the directory if needed, finds the segments and the mark left by
  // an earlier run (a cut tail is dropped), and puts the reader at the
  // mark. This run writes into new segments after them. A `former`
  // directory (not empty) found while `directory` is not there is moved
  // to it first. False (errno set) when the directory cannot be used.
  bool Open(const std::string& directory, std::uint64_t maxBytes, const std::string& former = {});
  // The batches after the mark an earlier run saw acknowledged, by id, with
  // the stream sequence of those it still kept (0: not kept).
  using TAcknowledged = std::map<std::string, std::uint64_t>;
  const TAcknowledged& AcknowledgedAtOpen() const { return AcknowledgedIds; }
  // The first segment this run writes: what comes before is an earlier run's.
  std::uint64_t FirstOwnSegment() const { return OwnSegment; }

  // Appends whole entries holding `records` records, with one write;
  // first gives up the oldest segments while the bound would be passed.
  // `at` is where they start. False when the disk refused them (counted
  // as dropped; errno).
  bool Append(std::string_view entries, std::uint64_t records, TSpoolPosition* at = nullptr) EXCLUDES(Guard);

  // Reader: the entry at the read position, which moves past it: what it
  // is, and its parts (`entry` views the spool's buffer until the next
  // call; `legacy` is filled for an earlier collector's record); `at` is
  // where it starts. False when everything written has been read. Damaged
  // entries are skipped with the rest of their segment, and counted.
  bool Next(TSpoolParse& kind, TSpoolEntry& entry, TStreamRecord& legacy, TSpoolPosition& at) EXCLUDES(Guard);
  // Where the next entry would be read.
  TSpoolPosition ReadPosition() const EXCLUDES(Guard);
  // Reader: everything before `position` is acknowledged: whole segments
  // before it are removed.
  void Release(TSpoolPosition position) EXCLUDES(Guard);
  // Reader: writes the mark (replacing it), with `acknowledged` the ids of
  // batches after `position` that need not be sent again (and the stream
  // sequence of those a server may still have lost; 0: none).
  bool SaveMark(TSpoolPosition position, const TAcknowledged& acknowledged) EXCLUDES(Guard);
  // Once the writer has stopped and everything is acknowledged: every
  // segment and the mark go.
  void Clear() EXCLUDES(Guard);

  std::uint64_t Bytes() const EXCLUDES(Guard);
  // Records given up to the bound, refused by the disk, or found damaged.
  std::uint64_t Dropped() const { return Dropped_.load(std::memory_order_relaxed); }
  std::uint64_t Damaged() const { return Damaged_.load(std::memory_order_relaxed); }
  // The last error (errno) of a write or read that failed; 0: none.
  int LastError() const { return LastError_.load(std::memory_order_relaxed); }
  std::uint64_t SegmentBytes() const { return SegmentLimit; }

 private:
  struct TSegment {
    std::uint64_t Number = 0;
    std::uint64_t Bytes = 0;    // whole entries written
    std::uint64_t Records = 0;
    std::uint64_t Entries = 0;
  };

  std::string SegmentName(std::uint64_t number) const;
  // Counts the entries of an earlier run's segment; cuts a damaged or
  // partial tail.
  TSegment Survey(std::uint64_t number);
  void ReadMark();
  // Gives up the oldest segment, counting its records the reader has not
  // taken.
  void DropOldest() REQUIRES(Guard);
  void RemoveSegment(std::uint64_t number) REQUIRES(Guard);
  // The reader's next bytes: `needed` bytes at its position, within `limit`.
  bool Fill(std::size_t needed, std::uint64_t limit);

  std::string Directory;
  std::uint64_t MaxBytes = 0;
  std::uint64_t SegmentLimit = 64ull << 20;
  TDescriptor DirectoryFd;
  std::uint64_t OwnSegment = 0;
  TAcknowledged AcknowledgedIds;
  TSpoolPosition MarkAtOpen;

  mutable TMutex Guard;
  std::deque<TSegment> Segments GUARDED_BY(Guard);  // oldest first
  // How far the reader has read into its segment, for the count of what a
  // bound gives up.
  std::uint64_t ReaderSegment GUARDED_BY(Guard) = 0;
  std::atomic<std::uint64_t> ReaderRecords{0};
  std::atomic<bool> ReaderSegmentDropped{false};
  std::uint64_t Released GUARDED_BY(Guard) = 0;  // bytes of the oldest segment acknowledged

  TDescriptor WriteFd GUARDED_BY(Guard);
  std::uint64_t WriteNumber GUARDED_BY(Guard) = 0;
  std::uint64_t WriteBytes GUARDED_BY(Guard) = 0;

  // Reader's own: what it last learnt of its segment's size.
  std::uint64_t ReadLimit = 0, ReadRecordsKnown = 0, ReadLimitSegment = ~0ull;
  bool ReadLimitLater = false;
  TDescriptor ReadFd;
  TSpoolPosition Read;          // the next entry
  std::string ReadBuffer;       // bytes of the segment from ReadBufferAt on
  std::uint64_t ReadBufferAt = 0;

  std::atomic<std::uint64_t> Dropped_{0};
  std::atomic<std::uint64_t> Damaged_{0};
  std::atomic<int> LastError_{0};
};

}  // namespace logserver

// Hands every message to a NATS JetStream stream, at least once, in batches:
// a message counts as forwarded only when the stream has acknowledged the
// batch that carried it.
//
// The road: Offer (the owner's thread) adds a record to a run of its route
// (uStreamRecord.h); WriteAhead, and EndOfBatch, write the runs into the
// spool (uStreamSpool.h) with one write, before any of their lines reaches
// a file (the dispatch calls WriteAhead before the file table writes). The
// publisher thread (ls-stream) reads the spool, gathers each route's
// records into batches (uStreamBatcher.h), writes a close mark for each
// batch into the spool and publishes it (format 2) with an asynchronous
// publish; the acknowledgement handler (a libnats thread) takes
// acknowledged batches off, and the spool is trimmed behind them. A batch
// not acknowledged within AckTimeoutMs, refused, or in flight when the link
// broke is sent again under the same Nats-Msg-Id, so the stream stores it
// once; a new start sends what the spool still holds, each batch published
// before as it was, under its id.
//
// At most WindowMessages records and WindowBytes bytes are in flight. While
// the link is up and the stream is far behind, a batch of offers that held
// a client record waits for room (TCP slows its sender, as with the log
// queue), at most kOfferWaitMs; a syslog message never waits. At the stop
// every batch closes and the service waits for the acknowledgements due
// (at most the time it is given); what is left stays in the spool, and the
// next start sends it first.
//
// Threading: Offer, WriteAhead, EndOfBatch and Close on the owner's thread
// (one); Counts, BatchSizes and TakeNotes on any thread. What the publisher
// thread and the handlers share is under Guard.
#pragma once

#include "base/uLogMessage.h"
#include "platform/uCaughtFailures.h"
#include "platform/uHistogram.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "stream/uNatsLink.h"
#include "stream/uStreamBatcher.h"
#include "stream/uStreamRecord.h"
#include "stream/uStreamSpool.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct __natsConnection;
struct __jsCtx;
struct __natsMsg;
struct jsPubAck;
struct jsPubAckErr;

namespace logserver {

// Servers empty: no stream.
struct TStreamSettings : TNatsLinkSettings {
  std::string Stream = "LOGS";
  std::string Subject = "logs";
  std::uint32_t Replicas = 1;
  // The spool's directory and bound; a spool found in the former
  // directory (when set, and the directory is not there yet) is taken over.
  std::string SpoolDirectory;
  std::string FormerSpoolDirectory;
  std::uint64_t SpoolMaxBytes = 1ull << 30;
  // In flight at most, in records and bytes.
  std::uint32_t WindowMessages = 16384;
  std::uint64_t WindowBytes = 32ull << 20;
  std::uint32_t AckTimeoutMs = 5000;
  // Batch bodies compressed with zstd.
  bool Compress = true;
  // Where the sizes of the batches published are counted (null: the
  // publisher's own), so that they outlive a publisher replaced at a reload.
  TSizeHistogram* BatchSizes = nullptr;
};

// Counted in log messages (records), but PublishedBatches.
struct TStreamCounts {
  std::uint64_t Acknowledged = 0;  // forwarded: the stream has them
  std::uint64_t Resent = 0;        // sent again (time-out, refusal, broken link)
  std::uint64_t Spooled = 0;       // written ahead into the spool
  std::uint64_t DroppedWindowFull = 0;  // none since the spool takes every message
  std::uint64_t DroppedSpoolFull = 0;   // given up to the spool's bound, refused by its disk, damaged
  std::uint64_t Window = 0;             // not yet acknowledged
  std::uint64_t SpoolBytes = 0;         // bytes in the spool now
  std::uint64_t PublishedBatches = 0;
  bool LinkUp = false;
};

class TStreamPublisher : public TThread {
 public:
  // Opens the spool left by an earlier run (sent first) and starts the
  // thread, which connects in the background and keeps reconnecting.
  // Throws std::runtime_error when the settings cannot work (no server
  // given, the spool directory cannot be made).
  static std::unique_ptr<TStreamPublisher> Create(const TStreamSettings& settings,
                                                  TCaughtFailures& failures);
  ~TStreamPublisher() override;

  static constexpr int kOfferWaitMs = 2000;
  // After a refused send the publisher rests this long before sending again.
  static constexpr std::uint64_t kRetryRestMs = 250;
  // Acknowledged batches are kept this long, within this many bytes: what a
  // server acknowledged and had not yet written when it was killed.
  static constexpr std::uint64_t kKeptMs = 2000;
  static constexpr std::uint64_t kKeptBytes = 16u << 20;
  // Batches kept for reuse at most.
  static constexpr std::size_t kRecycled = 1024;

  // One message. `mayWait`: a client record (its batch of offers may wait
  // for room at EndOfBatch); else a syslog message.
  void Offer(const TLogMessage& message, bool mayWait);
  // What was offered, into the spool now.
  void WriteAhead();
  // The end of a batch of offers: writes ahead, wakes the publisher, and
  // waits for room when a client record came while the stream is far
  // behind.
  void EndOfBatch();
  // Closes every batch, waits at most `waitMs` for the acknowledgements
  // due, stops the thread, closes the link and leaves the spool as the next
  // start needs it. Idempotent.
  void Close(std::uint32_t waitMs);

  TStreamCounts Counts() const;
  const TSizeHistogram& BatchSizes() const { return Settings.BatchSizes ? *Settings.BatchSizes : BatchSizes_; }
  // What the operator should know (link up or down, the stream made or
  // refused, records lost from a damaged spool); the owner takes them for
  // its log.
  std::vector<std::string> TakeNotes();

 private:
  TStreamPublisher(const TStreamSettings& settings, TCaughtFailures& failures);
  void Execute() override;
  void Wake() override;

  void Connect();
  bool EnsureStream();
  void Step();
  // Reads the spool into batches while the read-ahead has room.
  void ReadSpool();
  // Marks the batches the batcher closed and hands them to the sender.
  void TakeClosed();
  void Send(std::uint64_t now);
  // Trims the spool behind the oldest batch not yet acknowledged and
  // writes its mark (at most once a second unless `force`).
  void Trim(bool force);
  void PopAcknowledged() REQUIRES(Guard);
  // The stream's last sequence is `last`: kept batches acknowledged beyond
  // it are sent again, first.
  void SendAgainAfter(std::uint64_t last);
  void ForgetKept() REQUIRES(Guard);
  void ForgetAllKept();
  // This run's frame bytes written ahead and not yet acknowledged.
  std::uint64_t OwnBacklogBytes() const;
  void Note(std::string text) REQUIRES(Guard);
  __natsMsg* BuildMessage(const TStreamBatch& batch) const REQUIRES(Guard);
  static void OnAck(__jsCtx* js, __natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* self);
  static void OnDisconnected(__natsConnection* nc, void* self);
  static void OnReconnected(__natsConnection* nc, void* self);
  // The library's last callback for a connection: after it, none comes.
  static void OnClosed(__natsConnection* nc, void* self);

  const TStreamSettings Settings;
  const std::string Instance;  // this run's part of every Nats-Msg-Id

  // The owner's thread: the runs not yet written ahead.
  std::string Runs;
  std::string RunAddress, RunApplication, RunModule;  // the route of the run being added to
  std::size_t RunStart = 0;
  std::uint32_t RunRecords = 0;
  std::uint64_t RunsRecords = 0;
  std::uint64_t RunsBytes = 0;  // frame bytes
  bool WaitingRecord = false;   // a client record came in this batch of offers

  mutable TMutex Guard;
  TCondition Room;      // acknowledgements came, or the link changed
  TCondition Work;      // the publisher has something to do
  TCondition LinkGone;  // the library has made its last callback
  bool LinkClosed GUARDED_BY(Guard) = false;
  // The batches closed and not yet taken off, in the order they closed
  // (acknowledged ones wait behind one that is not); all of them by id;
  // the ones to send, in order. Taken off, acknowledged batches leave their
  // id and close mark for the spool's mark while it may still need them.
  std::deque<std::unique_ptr<TStreamBatch>> Live GUARDED_BY(Guard);
  std::unordered_map<std::string, TStreamBatch*> ById GUARDED_BY(Guard);
  std::deque<TStreamBatch*> Ready GUARDED_BY(Guard);
  std::deque<std::pair<std::string, TSpoolPosition>> TakenOff GUARDED_BY(Guard);
  // Batches acknowledged lately (a while, within a bound): a server that
  // comes back without them (killed before it wrote them) gets them again.
  std::deque<std::unique_ptr<TStreamBatch>> Kept GUARDED_BY(Guard);
  std::uint64_t KeptBytes GUARDED_BY(Guard) = 0;
  // Batches done with, for the batcher to reuse.
  std::vector<std::unique_ptr<TStreamBatch>> Recycled GUARDED_BY(Guard);
  std::uint64_t ReadyRecords GUARDED_BY(Guard) = 0;
  std::uint64_t ReadyBytes GUARDED_BY(Guard) = 0;
  std::uint64_t FlightRecords GUARDED_BY(Guard) = 0;
  std::uint64_t FlightBytes GUARDED_BY(Guard) = 0;
  std::uint64_t RetryAt GUARDED_BY(Guard) = 0;  // after a refusal, sends rest until then
  bool ResendAll GUARDED_BY(Guard) = false;
  bool WorkPending GUARDED_BY(Guard) = false;
  std::size_t Unacknowledged GUARDED_BY(Guard) = 0;  // batches in Live
  bool CloseAllBatches GUARDED_BY(Guard) = false;
  // The publisher has read everything written and holds no open batch.
  bool Drained GUARDED_BY(Guard) = false;
  bool Closing GUARDED_BY(Guard) = false;
  bool Closed GUARDED_BY(Guard) = false;
  std::vector<std::string> Notes GUARDED_BY(Guard);

  TStreamSpool Spool;
  // The publisher thread's.
  TStreamBatcher Batcher;
  TBatchCompressor Compressor;
  bool ReadAllEarlier = false;  // an earlier run's segments are read
  std::string Marks;
  TSpoolPosition SavedMark{~0ull, ~0ull};
  std::uint64_t NextMarkAt = 0;
  std::uint64_t NextTimeoutCheck = 0;
  // The owner's appends, and how many of them the reader had seen when it
  // last found nothing more to read: equal, everything written was read.
  std::atomic<std::uint64_t> AppendCount{0};
  std::atomic<std::uint64_t> ReadThrough{~0ull};

  // The link: made and used by the publisher thread; the handlers run on
  // libnats's threads.
  __natsConnection* Connection = nullptr;
  __jsCtx* Js = nullptr;
  bool StreamReady = false;
  std::uint64_t NextStreamTry = 0;
  std::atomic<bool> LinkUp{false};
  bool LinkWasUp = false;
  bool EverPublished = false;

  std::atomic<std::uint64_t> Acknowledged_{0}, OwnAcknowledgedBytes{0}, Resent_{0}, Spooled_{0}, SpooledBytes{0},
      EarlierRecords{0}, Published_{0};
  TSizeHistogram BatchSizes_;
};

}  // namespace logserver

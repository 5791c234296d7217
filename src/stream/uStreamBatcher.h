// Gathers the records read from the spool into batches, one open batch per
// route (address, application, module): a batch is what one stream message
// carries.
//
// A batch closes when the next record would take it past kBatchMaxBytes or
// kBatchMaxRecords; once it has waited kWaitUs, when the stream has room
// for it (while the stream is behind, batches go on filling, so that many
// routes do not turn into one stream message per record); once it has
// waited kMaxWaitUs, whatever the room; and, oldest first, while more than
// kMaxOpenBytes are open.
//
// Records an earlier run wrote are gathered as that run published them:
// each route's records wait for the close mark that names their batch, and
// go under its id (or are dropped, when the mark names a batch the stream
// has acknowledged); what no mark closes was never published and is
// batched anew.
//
// Threading: one thread (the publisher's); no lock.
#pragma once

#include "stream/uStreamRecord.h"
#include "stream/uStreamSpool.h"

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace logserver {

// One stream message from its first record to its acknowledgement.
struct TStreamBatch {
  std::string Id;
  std::string Address, Application, Module;
  std::string Body;  // format-2 frames, while it fills
  std::uint32_t Records = 0;
  TSpoolPosition First;        // where the run with its first record is in the spool
  std::uint32_t FirstIndex = 0;  // and that record's place in the run
  TSpoolPosition Last;         // the same of its last record
  std::uint32_t LastIndex = 0;
  std::uint64_t OpenedAt = 0;  // monotonic us
  bool Marked = false;         // its close mark is in the spool already
  // The publisher's: the body as published (compressed or not), and the
  // frames' bytes.
  std::string Wire;
  bool Compressed = false;
  std::size_t FrameBytes = 0;
  TSpoolPosition Mark;
  bool Acknowledged = false;
  std::uint64_t SentAt = 0;  // monotonic ms; 0: to be sent
  // What the stream acknowledged it as, and when (monotonic ms); whether it
  // goes again because a server came back without it.
  std::uint64_t StreamSequence = 0;
  std::uint64_t AcknowledgedAt = 0;
  bool Again = false;

  // Empty again for another batch, its room kept.
  void Reset();
};

class TStreamBatcher {
 public:
  static constexpr std::uint64_t kWaitUs = 5000;
  static constexpr std::uint64_t kMaxWaitUs = 1000000;
  static constexpr std::size_t kMaxOpenBytes = 32u << 20;

  // `instance`: this run's part of every new batch id ("<instance>-<n>").
  explicit TStreamBatcher(std::string instance);
  TStreamBatcher(const TStreamBatcher&) = delete;
  TStreamBatcher& operator=(const TStreamBatcher&) = delete;

  // A run of this run's records, read at `at`.
  void Add(const TSpoolEntry& run, TSpoolPosition at, std::uint64_t nowUs);
  // An earlier run's entries, read at `at`; `acknowledged` the ids the
  // stream has (a batch with a sequence comes out acknowledged, to be
  // kept until a server is known to have it).
  void AddEarlier(const TSpoolEntry& run, TSpoolPosition at);
  void CloseEarlier(const TSpoolEntry& mark, const TStreamSpool::TAcknowledged& acknowledged);
  // An earlier run's record of the format-1 kind: a batch of its own.
  void AddLegacy(const TStreamRecord& record, TSpoolPosition at, const TStreamSpool::TAcknowledged& acknowledged);
  // The earlier runs' entries are all read: what no mark closed is
  // batched anew.
  void EndEarlier(std::uint64_t nowUs);

  // Closes what waited (see above); `room`: batches the stream can take.
  void CloseWaited(std::uint64_t nowUs, std::size_t room);
  void CloseAll();
  // The batches closed since the last call, in the order they closed.
  std::vector<std::unique_ptr<TStreamBatch>> TakeClosed();
  // A closed batch's frames, done with: their room serves a new batch.
  void GiveBack(std::string&& body);
  // Batches done with: they serve new ones (spared an allocation each).
  void GiveBack(std::vector<std::unique_ptr<TStreamBatch>>& batches);

  // When the oldest open batch will have waited kWaitUs; 0: none is open.
  std::uint64_t NextCloseUs() const;
  // The spool position of the oldest record not yet in a closed batch;
  // Segment ~0: none.
  TSpoolPosition OldestOpen() const;
  std::size_t OpenBatches() const { return OpenOrder.size(); }
  std::size_t OpenBytes() const { return OpenBytes_; }

 private:
  struct TKey {
    std::string_view Address, Application, Module;
    bool operator==(const TKey&) const = default;
  };
  struct TKeyHash {
    std::size_t operator()(const TKey& key) const;
  };
  struct TOpen {
    std::unique_ptr<TStreamBatch> Batch;
    std::list<TOpen*>::iterator OpenAt;
  };
  using TOpenMap = std::unordered_map<TKey, std::unique_ptr<TOpen>, TKeyHash>;
  // An earlier run's records of one route, waiting for their marks: each
  // record's place in the spool and where its frame ends in Body. The
  // first Taken records (and their bytes) are gone.
  struct TEarlierRecord {
    TSpoolPosition Run;
    std::uint32_t Index = 0;
    std::size_t End = 0;
  };
  struct TEarlier {
    std::string Address, Application, Module;
    std::string Body;
    std::vector<TEarlierRecord> Records;
    std::size_t Taken = 0;
  };
  using TEarlierMap = std::unordered_map<TKey, std::unique_ptr<TEarlier>, TKeyHash>;

  TOpen& Open(const TSpoolEntry& run, TSpoolPosition at, std::uint32_t index, std::uint64_t nowUs);
  void Close(TOpen& open);
  void NewId(TStreamBatch& batch);
  // A batch of the earlier records [from, to) of `earlier`.
  std::unique_ptr<TStreamBatch> EarlierBatch(const TEarlier& earlier, std::size_t from, std::size_t to) const;
  // Forgets the first `count` records not yet taken.
  static void TakeEarlier(TEarlier& earlier, std::size_t count);

  const std::string Instance;
  std::uint64_t Sequence = 0;
  std::size_t OpenBytes_ = 0;
  TOpenMap Routes;               // this run's open batches
  std::list<TOpen*> OpenOrder;   // oldest first
  TEarlierMap Earlier;
  std::vector<std::unique_ptr<TStreamBatch>> Closed;
  std::vector<std::string> Spare;
  std::vector<std::unique_ptr<TStreamBatch>> SpareBatches;
  std::unique_ptr<TStreamBatch> NewBatch();
};

}  // namespace logserver

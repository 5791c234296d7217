// The archive writer: a durable pull consumer on the stream the collectors
// publish to, which writes every record into the same tree, with the same
// line, as a collector writes it, through the service's own producers and
// file table.
//
// Each line once, also across a crash of the writer (uArchiveJournal.h): a
// fetch of messages is one batch; messages already written (by stream
// sequence, or by id: a collector's second copy) are skipped; the others
// are checked record by record (nothing a message says may lead a line out
// of the tree: a refused message is counted, reported and terminated, so
// that it is not delivered again); the batch is written, and handed to the
// syncing thread (ls-archive-sync), which makes it durable and then
// acknowledges its messages, while the next fetch is written. A batch that
// cannot be made durable stops the pipeline: the batches not done are set
// back and their messages come again.
//
// Threading: Run on one thread, which owns the file table; the syncing
// thread its own; Stop() from a signal handler; the counts from any thread
// (the metrics endpoint).
#pragma once

#include "base/uIniFile.h"
#include "archive/uArchiveJournal.h"
#include "platform/uBoundedQueue.h"
#include "platform/uCaughtFailures.h"
#include "platform/uMetricsServer.h"
#include "platform/uThread.h"
#include "producers/uLogFileTable.h"
#include "producers/uLogProducerHolder.h"
#include "stream/uNatsHandles.h"
#include "stream/uNatsLink.h"
#include "stream/uStreamRecord.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logserver {

struct TArchiveSettings : TNatsLinkSettings {
  std::string Stream = "LOGS";
  std::string Durable = "archive";
  std::string Subject = "logs";
  std::string BaseCatalog;
  // Stream messages per fetch (each a batch of records).
  int Batch = 64;
  // [Metrics] Listen: "address:port" of /metrics; empty: none.
  std::string MetricsListen;
};

// [Archive] and [Metrics] of `text`; false with `error` when a setting
// cannot work.
bool ParseArchiveSettings(const std::string& text, TArchiveSettings& settings, std::string& error);

// Whether a message read from the stream can be written as a collector
// would have written it; `why` says what is wrong otherwise. The address
// must be one a collector writes (an address, or a host name under the
// PathBy=hostname rules); each record's port digits, its times finite and
// within the years a date mask prints. The other names are made safe as
// the collector's are.
bool IsArchivable(const TStreamMessage& message, std::string& why);

class TArchiveWriter {
 public:
  struct TCounts {
    std::uint64_t Records = 0;   // lines written
    std::uint64_t Messages = 0;  // stream messages written
    std::uint64_t Skipped = 0;   // messages written before (sequence or id)
    std::uint64_t Refused = 0;   // messages refused (malformed, unsafe)
    std::uint64_t LagMessages = 0;     // in the stream after the last one fetched
    double LagSeconds = 0;             // age of the last message fetched
  };

  explicit TArchiveWriter(const TArchiveSettings& settings);
  ~TArchiveWriter();
  TArchiveWriter(const TArchiveWriter&) = delete;
  TArchiveWriter& operator=(const TArchiveWriter&) = delete;

  // Finishes what a crash left (the journal), serves /metrics when asked
  // to, then consumes until Stop(). Returns the exit status: 0 after a
  // stop, 2 when the tree or the metrics address cannot be used.
  int Run();
  // Any thread, also a signal handler.
  void Stop() { Stopping.store(true); }

  TCounts Counts() const;
  // The counts in the Prometheus text format.
  std::string RenderMetrics() const;

 private:
  // A written batch with the messages it acknowledges once done.
  struct TPending {
    std::unique_ptr<TArchiveBatch> Batch;
    std::unique_ptr<TNatsMsgList> Messages;
    std::uint64_t Records = 0;
  };
  // Makes batches durable, in order, and acknowledges their messages.
  class TSyncer : public TThread {
   public:
    explicit TSyncer(TArchiveWriter& writer);
    ~TSyncer() override;
    // Waits while kInFlight batches are on their way.
    void Push(std::unique_ptr<TPending> pending);
    // Waits until every batch pushed is done or given up; true when all
    // were done.
    bool Drain();
    // After a failure: the batches given up, oldest first.
    std::vector<std::unique_ptr<TArchiveBatch>> TakeUndone();
    bool Failed() const { return Failed_.load(); }
    void Reset() { Failed_.store(false); }

   private:
    void Execute() override;
    void Wake() override;
    TArchiveWriter& Writer;
    TBoundedQueue<std::unique_ptr<TPending>> Queue;
    TMutex Guard;
    TCondition Idle;
    std::size_t OnTheWay GUARDED_BY(Guard) = 0;
    std::vector<std::unique_ptr<TArchiveBatch>> Undone GUARDED_BY(Guard);
    std::atomic<bool> Failed_{false};
  };
  static constexpr std::size_t kInFlight = 8;
  // Fetches the next messages while the writer writes the last ones.
  class TFetcher : public TThread {
   public:
    TFetcher(natsSubscription* subscription, int batch);
    ~TFetcher() override;
    // The next fetch; false when none came within `timeoutMs`.
    bool Next(std::unique_ptr<TNatsMsgList>& list, int timeoutMs);
    // The last fetch's failure, other than a time-out (0: none).
    int Failure() const { return Failure_.load(); }

   private:
    void Execute() override;
    void Wake() override;
    natsSubscription* const Subscription;
    const int Batch;
    TBoundedQueue<std::unique_ptr<TNatsMsgList>> Lists;
    std::atomic<int> Failure_{0};
  };

  bool Connect();
  void Disconnect();
  // Writes one fetch and hands it to the syncer.
  void WriteBatch(std::unique_ptr<TNatsMsgList> messages);
  // The syncer failed: what it gave up is set back.
  void Recover();
  void Refuse(natsMsg* message, const std::string& why);
  void Say(const std::string& line) const;

  const TArchiveSettings Settings;
  std::atomic<bool> Stopping{false};
  TCaughtFailures Failures;
  TArchiveJournal Journal;
  std::unique_ptr<TLogFileTable> Files;
  std::unique_ptr<tLogProducerHolder> Producers;

  std::atomic<std::uint64_t> Records_{0}, Messages_{0}, Skipped_{0}, Refused_{0}, LagMessages_{0};
  std::atomic<std::int64_t> LastTimestampNs{0};
  // The message being written, and its records one by one; their room is
  // kept.
  TStreamMessage Decoded;
  TLogMessage Record;
  std::uint64_t NextRefusalReport = 0;
  std::uint64_t RefusedSinceReport = 0;

  TNatsConnection Connection;
  TJsContext Js;
  TNatsSubscription Subscription;
  std::unique_ptr<TMetricsServer> Metrics;
  // Last: they stop before what they use goes.
  std::unique_ptr<TSyncer> Syncer;
  std::unique_ptr<TFetcher> Fetcher;
};

}  // namespace logserver

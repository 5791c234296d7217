// The archive writer: a durable pull consumer on the stream the collectors
// publish to, which writes every message into the same tree, with the same
// line, as a collector writes it, through the service's own producers and
// file table.
//
// Each line once, also across a crash of the writer:
//   1. a batch is fetched; messages whose stream sequence was written (the
//      state file: a watermark and the sequences written above it, as a
//      crash's batch may come again after later ones) are acknowledged and
//      skipped, and so are ids written lately (a collector that sent a
//      message twice);
//   2. before its lines are written, the sizes of the files they go to are
//      noted with the batch's number (the intent file, synced);
//   3. the lines are written and every file written is synced;
//   4. the state file takes the batch's number and sequences (replaced whole);
//   5. the intent goes, the messages are acknowledged.
// A start that finds an intent newer than the state cuts its files back to
// the noted sizes, and the stream delivers the batch again.
//
// Threading: one thread; Stop() from a signal handler.
#pragma once

#include "base/uIniFile.h"
#include "platform/uCaughtFailures.h"
#include "producers/uLogFileTable.h"
#include "producers/uLogProducerHolder.h"
#include "stream/uNatsLink.h"
#include "stream/uStreamRecord.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

struct __natsConnection;
struct __jsCtx;
struct __natsSubscription;
struct __natsMsg;

namespace logserver {

struct TArchiveSettings : TNatsLinkSettings {
  std::string Stream = "LOGS";
  std::string Durable = "archive";
  std::string Subject = "logs";
  std::string BaseCatalog;
  int Batch = 1024;
};

// [Archive] of `text`; false with `error` when a setting cannot work.
bool ParseArchiveSettings(const std::string& text, TArchiveSettings& settings, std::string& error);

class TArchiveWriter {
 public:
  explicit TArchiveWriter(const TArchiveSettings& settings);
  ~TArchiveWriter();
  TArchiveWriter(const TArchiveWriter&) = delete;
  TArchiveWriter& operator=(const TArchiveWriter&) = delete;

  // Finishes what a crash left (the intent), then consumes until Stop().
  // Returns the exit status: 0 after a stop, 2 when the tree cannot be used.
  int Run();
  // Any thread, also a signal handler.
  void Stop() { Stopping.store(true); }

  std::uint64_t Written() const { return Written_; }
  std::uint64_t Skipped() const { return Skipped_; }

 private:
  bool Recover();
  bool Connect();
  void Disconnect();
  // Writes the batch (steps 2 to 5); false when its lines could not be
  // made durable (nothing is acknowledged then).
  bool WriteBatch(std::vector<__natsMsg*>& messages);
  bool Decode(__natsMsg* message, TStreamRecord& record) const;
  bool IsWritten(std::uint64_t sequence) const;
  void MarkWritten(std::uint64_t sequence);
  bool SaveState();
  bool SaveIntent(std::uint64_t batch,
                  const std::vector<std::pair<TLogFilePath, std::uint64_t>>& sizes);
  void Remember(const std::string& id);
  void Say(const std::string& line) const;

  const TArchiveSettings Settings;
  const std::string StatePath;
  const std::string IntentPath;
  std::atomic<bool> Stopping{false};
  TCaughtFailures Failures;
  std::unique_ptr<TLogFileTable> Files;
  std::unique_ptr<tLogProducerHolder> Producers;
  // The stream sequences written: all up to Watermark, and those in Above
  // (a crash's batch may come again after later ones). Batches counts the
  // batches written, to tell whether an intent's batch was finished.
  std::uint64_t Watermark = 0;
  std::set<std::uint64_t> Above;
  std::uint64_t Batches = 0;
  std::unordered_set<std::string> RecentIds;
  std::deque<std::string> RecentOrder;
  std::uint64_t Written_ = 0;
  std::uint64_t Skipped_ = 0;

  __natsConnection* Connection = nullptr;
  __jsCtx* Js = nullptr;
  __natsSubscription* Subscription = nullptr;
};

}  // namespace logserver

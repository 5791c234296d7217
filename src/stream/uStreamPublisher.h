// Hands every message to a NATS JetStream stream, at least once: a message
// counts as forwarded only when the stream has acknowledged it.
//
// The road: Offer (main thread) puts a record into the window of messages
// not yet acknowledged (bounded in count and bytes); the publisher thread
// (ls-stream) sends what the window holds with asynchronous publishes and
// the acknowledgement handler (a libnats thread) takes acknowledged
// messages off its front. A message not acknowledged within AckTimeoutMs,
// negatively acknowledged, or in flight when the link broke is sent again
// with the same Nats-Msg-Id, so the stream stores it once.
//
// When the window is full: while the link is up, a client record waits for
// room (TCP slows its sender, as with the log queue), at most
// kOfferWaitMs, and a syslog message is dropped and counted; while the link
// is down, or once a record has waited that long, the record goes to the
// spool (TStreamSpool), and so does everything after it until the spool is
// sent, which keeps the order. At the stop the service waits for the
// acknowledgements still due (at most the time it is given) and puts what
// is left in front of the spool; the next start sends it first.
//
// Threading: Offer, EndOfBatch and Close on the owner's thread (one);
// Counts on any thread. Everything shared is under Guard.
#pragma once

#include "platform/uCaughtFailures.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "stream/uNatsLink.h"
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
  // The spool's directory and bound.
  std::string SpoolDirectory;
  std::uint64_t SpoolMaxBytes = 1ull << 30;
  // The window of unacknowledged messages.
  std::uint32_t WindowMessages = 16384;
  std::uint64_t WindowBytes = 32ull << 20;
  std::uint32_t AckTimeoutMs = 5000;
};

struct TStreamCounts {
  std::uint64_t Acknowledged = 0;  // forwarded: the stream has them
  std::uint64_t Resent = 0;        // sent again (time-out, negative ack, broken link)
  std::uint64_t Spooled = 0;       // went to the spool
  std::uint64_t DroppedWindowFull = 0;  // syslog, window full while the link was up
  std::uint64_t DroppedSpoolFull = 0;   // oldest spool records given up to its bound
  std::uint64_t Window = 0;             // messages in the window now
  std::uint64_t SpoolBytes = 0;         // bytes in the spool now
  bool LinkUp = false;
};

class TStreamPublisher : public TThread {
 public:
  // Reads the spool left by an earlier run (sent first) and starts the
  // thread, which connects in the background and keeps reconnecting.
  // Throws std::runtime_error when the settings cannot work (no server
  // given, the spool directory cannot be made).
  static std::unique_ptr<TStreamPublisher> Create(const TStreamSettings& settings,
                                                  TCaughtFailures& failures);
  ~TStreamPublisher() override;

  static constexpr int kOfferWaitMs = 2000;

  // One message. `mayWait`: a client record (waits for room while the link
  // is up); else a syslog message (dropped when there is none).
  void Offer(TStreamRecord&& record, bool mayWait);
  // The end of a batch of offers: wakes the publisher once.
  void EndOfBatch();
  // Waits at most `waitMs` for the acknowledgements due, stops the thread,
  // closes the link and spools what is left. Idempotent.
  void Close(std::uint32_t waitMs);

  TStreamCounts Counts() const;
  // What the operator should know (link up or down, the stream made or
  // refused, records lost from a damaged spool); the owner takes them for
  // its log.
  std::vector<std::string> TakeNotes();

 private:
  TStreamPublisher(const TStreamSettings& settings, TCaughtFailures& failures);
  void Execute() override;
  void Wake() override;

  struct TPending {
    TStreamRecord Record;
    std::uint64_t SentAt = 0;  // monotonic ms; 0: to be sent
    bool Acknowledged = false;
  };

  void Connect();
  bool EnsureStream();
  void Step();
  bool HasRoom(std::size_t bytes) const REQUIRES(Guard);
  void PushWindow(TStreamRecord&& record) REQUIRES(Guard);
  void PopAcknowledged() REQUIRES(Guard);
  void Note(std::string text) REQUIRES(Guard);
  __natsMsg* BuildMessage(const TStreamRecord& record) const;
  static void OnAck(__jsCtx* js, __natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* self);
  static void OnDisconnected(__natsConnection* nc, void* self);
  static void OnReconnected(__natsConnection* nc, void* self);
  // The library's last callback for a connection: after it, none comes.
  static void OnClosed(__natsConnection* nc, void* self);

  const TStreamSettings Settings;
  const std::string Instance;  // this run's part of every Nats-Msg-Id
  std::uint64_t Sequence = 0;  // owner's thread

  mutable TMutex Guard;
  TCondition Room;  // the window has room, or the link changed
  TCondition Work;  // the publisher has something to do
  TCondition LinkGone;  // the library has made its last callback
  bool LinkClosed GUARDED_BY(Guard) = false;
  std::deque<TPending> Window GUARDED_BY(Guard);
  std::uint64_t FrontSlot GUARDED_BY(Guard) = 0;  // slot of Window.front()
  std::unordered_map<std::string, std::uint64_t> SlotById GUARDED_BY(Guard);
  std::uint64_t WindowBytes GUARDED_BY(Guard) = 0;
  std::uint64_t RetryAt GUARDED_BY(Guard) = 0;  // after a refusal, sends rest until then
  bool ResendAll GUARDED_BY(Guard) = false;
  bool WorkPending GUARDED_BY(Guard) = false;
  bool Closing GUARDED_BY(Guard) = false;
  bool Closed GUARDED_BY(Guard) = false;
  TStreamSpool Spool GUARDED_BY(Guard);
  std::vector<std::string> Notes GUARDED_BY(Guard);

  // The link: made and used by the publisher thread; the handlers run on
  // libnats's threads.
  __natsConnection* Connection = nullptr;
  __jsCtx* Js = nullptr;
  bool StreamReady = false;
  std::uint64_t NextStreamTry = 0;
  std::atomic<bool> LinkUp{false};
  bool LinkWasUp = false;
  bool EverPublished = false;

  std::atomic<std::uint64_t> Acknowledged_{0}, Resent_{0}, Spooled_{0}, DroppedWindowFull_{0};
};

}  // namespace logserver

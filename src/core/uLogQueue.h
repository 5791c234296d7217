// The log queue: network events on their way from the servers' threads to
// the main loop, which it also wakes.
//
// Threading: many pushers (the TCP delivery thread, the UDP server thread),
// one popper (the main loop). Release() may be called from a signal handler.
#pragma once

#include "platform/uBoundedQueue.h"
#include "platform/uBufferPool.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logserver {

enum : std::int32_t {
  // The payloads one read of a connection completed, as a run of units
  // (uUnitRun): one client message each, dispatched in order. A run spares
  // the message path an allocation per message between threads.
  lqkClientData = 0,
  lqkClientConnect = 1,
  lqkClientDisconnect = 2,
  lqkSyslogDatagram = 4,
  // The syslog messages one read of a TCP connection completed, as a run of
  // units, each stored as a datagram is.
  lqkSyslogRun = 5,
  // A syslog TCP connection ended: its producers go (no service-log line).
  lqkSyslogClosed = 6,
};

// One network event on its way to the main loop. Data is the element's own:
// for lqkClientData a run of Units payloads (its buffer returns to the
// connections' pool when the element dies), for lqkSyslogDatagram the
// datagram's bytes (its size is the DataSize).
struct tLogQueueElement {
  std::int32_t Kind = 0;
  std::string ClientAddress;
  std::uint16_t ClientPort = 0;
  TPooledBuffer Data;
  std::size_t Units = 0;
  // When the intake took it (monotonic microseconds), for the metrics.
  std::uint64_t ArrivedAt = 0;
};
using pLogQueueElement = std::unique_ptr<tLogQueueElement>;

// The bound of the payload bytes a log queue holds: beyond it syslog
// datagrams are dropped and counted, so a slow disk or a flood cannot
// exhaust memory. TCP intake waits already beyond kLogQueueTcpBytes (and TCP
// flow control slows the clients): TCP loses nothing by waiting, so it needs
// little room, and a short queue is what keeps its bytes in the caches; the
// rest of the room absorbs datagram bursts, which cannot wait.
//
// The bytes counted are what an element really costs: the room of its
// buffer and kLogQueueElementOverhead for the element itself (its struct,
// the allocator's headers, the queue's slot), so that a flood of tiny
// datagrams is bounded as tightly as one of large ones. That bounds the
// number of elements with payload too, at maxBytes / overhead; elements
// without payload weigh nothing (see SizeOf) and are bounded by the
// connections that make them. 128 MiB of memory hold about as many
// 200-byte datagrams (some 320,000) as 64 MiB of bare payload did, which a
// burst of thousands of new senders needs while their files are made.
constexpr std::size_t kLogQueueMaxBytes = 128u * 1024 * 1024;
constexpr std::size_t kLogQueueTcpBytes = 4u * 1024 * 1024;
constexpr std::size_t kLogQueueElementOverhead = 160;
static_assert(sizeof(tLogQueueElement) + 48 <= kLogQueueElementOverhead,
              "the stated overhead of a queue element must cover it");

// First in, first out. A Pop blocks until an element is pushed or the queue
// is released; releases that find nothing to do wake it only once.
//
// Elements without payload always fit, and so does any element while the
// queue is empty, so a bound never blocks a connect, a disconnect or an
// element larger than the bound itself.
class tLogQueue {
 public:
  explicit tLogQueue(std::size_t maxBytes = kLogQueueMaxBytes)
      : MaxBytes(maxBytes), Items(TBoundedQueue<pLogQueueElement>::kUnbounded, maxBytes, &SizeOf) {}

  // Appends whatever the bound; never blocks except on the lock.
  void Push(pLogQueueElement element) { Items.Push(std::move(element)); }
  // Appends, waiting while the element does not fit.
  void PushWaiting(pLogQueueElement element) { Items.PushWaiting(element); }
  // Appends when the element fits; false (element discarded) otherwise.
  bool TryPush(pLogQueueElement element) { return Items.TryPush(element); }

  // Batches: one lock and at most one wake-up for a run of elements. What
  // was queued is taken out of `elements`; what is left was not queued.
  // PushManyWaiting waits for room as PushWaiting does, and queues them all
  // (nothing closes a log queue); TryPushMany queues the leading elements
  // that fit and returns how many.
  void PushManyWaiting(std::vector<pLogQueueElement>& elements,
                       std::size_t byteLimit = TBoundedQueue<pLogQueueElement>::kUnbounded) {
    Items.PushManyWaiting(elements, [] { return false; }, byteLimit);
  }
  std::size_t TryPushMany(std::vector<pLogQueueElement>& elements) {
    return Items.TryPushMany(elements);
  }
  // Every push fits from now on, also those waiting now: for the stop,
  // when what the network still delivers is to be written after all.
  bool LiftBounds() { return Items.LiftBounds(); }
  void RestoreBounds() { Items.RestoreBounds(); }

  // True with the oldest element; false (element empty) after a release or
  // a wait that a signal interrupted.
  bool Pop(pLogQueueElement& element) {
    element.reset();
    return Items.Pop(element);
  }
  // Everything queued up to `maxCount` elements and `maxBytes` (at least
  // one), oldest first, appended to `elements`; waits as Pop does, or not
  // at all with `wait` false.
  std::size_t PopAll(std::vector<pLogQueueElement>& elements, std::size_t maxCount,
                     std::size_t maxBytes, bool wait = true) {
    return Items.PopAll(elements, wait ? -1 : 0, maxCount, maxBytes);
  }
  // The oldest element without waiting; false when there is none.
  bool TryPop(pLogQueueElement& element) {
    element.reset();
    return Items.Pop(element, 0);
  }
  // Wakes the popper without an element; async-signal-safe.
  void Release() { Items.Release(); }
  // Frees every queued element undispatched.
  void Clear() { Items.Clear(); }

  std::size_t Count() { return Items.Count(); }
  // The bytes the queued elements cost (see above).
  std::size_t QueuedBytes() { return Items.Bytes(); }
  // For tests: pushers waiting for room.
  std::size_t PushersWaiting() { return Items.PushersWaiting(); }

  const std::size_t MaxBytes;

  // What an element costs. Events without payload (connects, disconnects:
  // as many as there are connections) weigh nothing, so that a bound never
  // holds them up.
  static std::size_t SizeOf(const pLogQueueElement& element) {
    const std::size_t room = element->Data.Capacity();
    return room == 0 ? 0 : room + kLogQueueElementOverhead;
  }

 private:
  TBoundedQueue<pLogQueueElement> Items;
};

// While the main thread waits for an event loop (a listener bound or
// stopped at a reload), no loop may wait for the main thread to make room:
// the queue takes every push for that while. Bounds lifted already (an
// outer scope, the stop) stay lifted.
class TLoopWaitScope {
 public:
  explicit TLoopWaitScope(tLogQueue& queue) : Queue(queue), WasLifted(queue.LiftBounds()) {}
  ~TLoopWaitScope() {
    if (!WasLifted) Queue.RestoreBounds();
  }
  TLoopWaitScope(const TLoopWaitScope&) = delete;
  TLoopWaitScope& operator=(const TLoopWaitScope&) = delete;

 private:
  tLogQueue& Queue;
  const bool WasLifted;
};

}  // namespace logserver

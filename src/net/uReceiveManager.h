// The receive manager: every TCP event of one listener travels through its
// queue and is delivered, in posting order, on the manager's own thread, so
// all handlers of a listener run on one thread, one call at a time.
//
// Threading: connection threads (and the listener, once) push; the manager's
// thread pops and calls the handlers. No handler is called while the
// queue's lock is held. Ownership: the listener owns the manager and lends
// it the handlers (its setup), which outlive it.
#pragma once

#include "net/uIPServerHeader.h"
#include "platform/uBoundedQueue.h"
#include "platform/uThread.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace logserver {

// The queue between the connection threads and the delivery thread. At
// MaxCount messages, or MaxBytes of data, a push waits for room (TCP flow
// control then slows the client) until its canceller is terminated; nothing
// is dropped otherwise. A message always fits into an empty queue.
class TReceiveManagerQueue {
 public:
  static constexpr int MaxCount = 10000;
  static constexpr std::size_t MaxBytes = 4u * 1024 * 1024;

  // Appends `message` (taken from it). With a canceller the push waits while
  // the queue is full and gives up (false) once the canceller is terminated
  // (see WakeWaiters); without one a full queue drops the message (false).
  bool Push(tReceiveMSG& message, const TThread* canceller);
  // Everything queued, oldest first, waiting up to `timeoutMs` (negative:
  // without limit) while nothing is; 0 after a release.
  std::size_t PopAll(std::vector<tReceiveMSG>& messages, int timeoutMs) {
    return Items.PopAll(messages, timeoutMs);
  }
  // Wakes the manager empty-handed.
  void Release() { Items.Release(); }
  // Makes pushes that wait for room look at their canceller again; call it
  // after terminating a connection that may be waiting.
  void WakeWaiters() { Items.WakeWaiters(); }
  void Clear() { Items.Clear(); }
  std::size_t Count() { return Items.Count(); }

 private:
  static std::size_t SizeOf(const tReceiveMSG& message) {
    return message.Run.Bytes.Size() + message.Chunk.size();
  }
  TBoundedQueue<tReceiveMSG> Items{MaxCount, MaxBytes, &SizeOf};
};

// Delivers every event of one listener, in posting order, on its own thread,
// and raises OnBatchEnd after each run; it sleeps while nothing is queued.
// When terminated, it delivers what is still queued, then ends.
class TReceiveManager : public TThread {
 public:
  // Called on the manager's thread once a disconnect has been delivered, so
  // that the listener can let the connection go.
  using TConnectionEnded = std::function<void(std::uint16_t ClientID)>;

  // Creates the manager and starts its thread. `events` must outlive it.
  static std::unique_ptr<TReceiveManager> Create(const TServerSetup& events,
                                                 TConnectionEnded connectionEnded);
  ~TReceiveManager() override { StopAndWait(); }

  TReceiveManagerQueue Queue;

 protected:
  void Execute() override;
  void Wake() override { Queue.Release(); }

 private:
  TReceiveManager(const TServerSetup& events, TConnectionEnded connectionEnded)
      : TThread("ls-tcp-recv"), Events(events), ConnectionEnded(std::move(connectionEnded)) {}
  void Deliver(tReceiveMSG& m);
  void EndBatch();

  const TServerSetup& Events;
  const TConnectionEnded ConnectionEnded;
};

}  // namespace logserver

// The receive manager: every TCP event of one listener travels through its
// queue and is delivered, in posting order, on the manager's own thread, so
// all handlers of a listener run on one thread, one call at a time.
//
// Threading: connection threads (and the listener, once) push; the manager's
// thread pops and calls the listener's handlers. No handler is called while
// the queue's lock is held.
#pragma once

#include "net/uIPServerHeader.h"
#include "platform/uBoundedQueue.h"
#include "platform/uThread.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace logserver {

class TCustomTCPServer;

// The queue between the connection threads and the delivery thread. At
// MaxCount messages, or MaxBytes of data, a push waits for room (TCP flow
// control then slows the client) until its canceller is terminated; nothing
// is dropped otherwise. A message always fits into an empty queue.
class TReceiveManagerQueue {
 public:
  static constexpr int MaxCount = 10000;
  static constexpr std::size_t MaxBytes = 4u * 1024 * 1024;

  // Appends `message`. With a canceller the push waits while the queue is
  // full and gives up (false) once the canceller is terminated (see
  // WakeWaiters); without one a full queue drops the message (false).
  bool Push(tReceiveMSG message, const TThread* canceller);
  // The oldest message, waiting up to `timeoutMs`; false when there is none.
  bool Pop(tReceiveMSG& message, int timeoutMs);
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
  static std::size_t SizeOf(const tReceiveMSG& message) { return message.Data.size(); }
  TBoundedQueue<tReceiveMSG> Items{MaxCount, MaxBytes, &SizeOf};
};

// Delivers every event of one listener, in posting order, on its own thread,
// and raises OnBatchEnd after each run; it sleeps while nothing is queued.
// When terminated, it delivers what is still queued, then ends.
class TReceiveManager : public TThread {
 public:
  // Creates the manager and starts its thread.
  static std::unique_ptr<TReceiveManager> Create(TCustomTCPServer* Owner);
  ~TReceiveManager() override { StopAndWait(); }

  TCustomTCPServer* const Owner;
  TReceiveManagerQueue Queue;

 protected:
  void Execute() override;
  void Wake() override { Queue.Release(); }

 private:
  explicit TReceiveManager(TCustomTCPServer* owner) : TThread("ls-tcp-recv"), Owner(owner) {}
  void Deliver(tReceiveMSG& m);
};

}  // namespace logserver

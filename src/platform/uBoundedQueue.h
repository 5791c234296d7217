// TBoundedQueue: the one queue between the service's threads.
//
// First in, first out, bounded by a number of items and by a number of bytes
// (what the sizer says an item weighs). Many threads push; exactly one thread
// pops (the consumer).
//
// Waking: the consumer sleeps on a semaphore, not on a condition variable, so
// that Release() can wake it from a signal handler (sem_post is
// async-signal-safe). A push posts it only while it sleeps, once per sleep, so
// a busy consumer costs its pushers no wake-up call. Pushers waiting for room
// wait on a condition variable that the consumer signals only while some wait.
// Nothing here polls.
//
// Fitting: an item fits when the queue is empty (so no item is too big to
// pass), or when fewer than MaxCount items are queued and the item weighs
// nothing or fits within MaxBytes.
//
// Thread-safe. The lock is held only for list operations and the sizer; items
// are never constructed or destroyed by user code under it except in Clear.
#pragma once

#include "platform/uSync.h"

#include <cstddef>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

namespace logserver {

template <class T>
class TBoundedQueue {
 public:
  using TSizer = std::size_t (*)(const T&);
  static constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

  explicit TBoundedQueue(std::size_t maxCount = kUnbounded, std::size_t maxBytes = kUnbounded,
                         TSizer sizer = nullptr)
      : Sizer(sizer), MaxCount(maxCount), MaxBytes(maxBytes) {}
  TBoundedQueue(const TBoundedQueue&) = delete;
  TBoundedQueue& operator=(const TBoundedQueue&) = delete;

  // ---- Pushing, from any thread.

  // Appends whatever the bounds; waits for nothing but the lock.
  void Push(T item) {
    TMutexLock lock(Guard);
    Append(std::move(item));
  }

  // Appends when the item fits; false, with `item` untouched, when not.
  bool TryPush(T& item) {
    TMutexLock lock(Guard);
    if (!Fits(SizeOf(item))) return false;
    Append(std::move(item));
    return true;
  }

  // Appends, waiting while the item does not fit. Gives up (false, `item`
  // untouched) once the queue is closed or `cancelled()` holds; `cancelled`
  // is asked under the lock, when the wait begins and after every
  // WakeWaiters(), so it must be cheap and take no lock.
  template <class Cancelled>
  bool PushWaiting(T& item, Cancelled cancelled) {
    TMutexLock lock(Guard);
    if (!WaitForRoom(SizeOf(item), cancelled)) return false;
    Append(std::move(item));
    return true;
  }
  bool PushWaiting(T& item) {
    return PushWaiting(item, [] { return false; });
  }

  // Appends, dropping the oldest items while the new one does not fit.
  // Returns how many were dropped.
  std::size_t PushEvicting(T item) {
    std::deque<T> dropped;  // destroyed after the lock is released
    TMutexLock lock(Guard);
    const std::size_t size = SizeOf(item);
    while (!Fits(size)) {
      QueuedBytes -= SizeOf(Items.front());
      dropped.push_back(std::move(Items.front()));
      Items.pop_front();
    }
    Append(std::move(item));
    return dropped.size();
  }

  // Batches: the items of `items`, in their order, under one lock and with at
  // most one wake-up. What was queued is erased from `items`; what is left
  // (a PushManyWaiting that gave up) stays there, in order.
  void PushMany(std::vector<T>& items) {
    if (items.empty()) return;
    {
      TMutexLock lock(Guard);
      for (T& item : items) AppendQuietly(std::move(item));
      WakeConsumer();
    }
    items.clear();
  }

  // As many of `items` as fit, in order; returns how many were queued (the
  // rest stays in `items`).
  std::size_t TryPushMany(std::vector<T>& items) {
    std::size_t taken = 0;
    {
      TMutexLock lock(Guard);
      while (taken < items.size() && Fits(SizeOf(items[taken]))) {
        AppendQuietly(std::move(items[taken]));
        ++taken;
      }
      if (taken > 0) WakeConsumer();
    }
    items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(taken));
    return taken;
  }

  // `byteLimit` may hold these pushes to fewer bytes than the queue's
  // bound: a pusher that can wait (TCP) leaves the rest of the room to
  // pushers that cannot (UDP).
  template <class Cancelled>
  bool PushManyWaiting(std::vector<T>& items, Cancelled cancelled,
                       std::size_t byteLimit = kUnbounded) {
    std::size_t taken = 0;
    {
      TMutexLock lock(Guard);
      while (taken < items.size()) {
        const std::size_t size = SizeOf(items[taken]);
        if (!Fits(size, byteLimit)) {
          // Let the consumer start on what is queued before waiting for room.
          WakeConsumer();
          if (!WaitForRoom(size, cancelled, byteLimit)) break;
        }
        AppendQuietly(std::move(items[taken]));
        ++taken;
      }
      if (taken > 0) WakeConsumer();
    }
    items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(taken));
    return items.empty();
  }

  // ---- Popping, from the one consumer thread.

  // Takes the oldest item, waiting up to `timeoutMs` (negative: no limit)
  // while there is none. False, with `item` untouched, after a Release(), a
  // time-out, or a wait that a signal interrupted.
  bool Pop(T& item, int timeoutMs = -1) {
    TMutexLock lock(Guard);
    if (Items.empty()) Sleep(timeoutMs);
    if (Items.empty()) {
      DropWakeUps();
      return false;
    }
    item = std::move(Items.front());
    Items.pop_front();
    QueuedBytes -= SizeOf(item);
    Taken();
    return true;
  }

  // Appends to `out`, oldest first, everything queued up to `maxCount` items
  // and `maxBytes` (at least one item), waiting as Pop does while nothing is
  // queued. Returns how many were taken.
  std::size_t PopAll(std::vector<T>& out, int timeoutMs = -1, std::size_t maxCount = kUnbounded,
                     std::size_t maxBytes = kUnbounded) {
    TMutexLock lock(Guard);
    if (Items.empty()) Sleep(timeoutMs);
    std::size_t taken = 0, bytes = 0;
    while (!Items.empty() && taken < maxCount) {
      const std::size_t size = SizeOf(Items.front());
      if (taken > 0 && bytes + size > maxBytes) break;
      bytes += size;
      out.push_back(std::move(Items.front()));
      Items.pop_front();
      ++taken;
    }
    QueuedBytes -= bytes;
    if (taken > 0)
      Taken();
    else
      DropWakeUps();
    return taken;
  }

  // Wakes the consumer empty-handed (once, however often it is called while
  // the consumer is busy). Async-signal-safe: one sem_post, no lock.
  void Release() { WakeUpSignal.Post(); }

  // ---- Control, from any thread.

  // Pushes that wait for room give up, those waiting now and all later ones;
  // other pushes go on.
  void Close() {
    TMutexLock lock(Guard);
    IsClosed = true;
    Room.NotifyAll();
  }

  // Drops both bounds: every push fits from now on, and pushes waiting for
  // room go ahead (for a last drain, when the consumer pops no more for a while).
  // Whether they were lifted already.
  bool LiftBounds() {
    TMutexLock lock(Guard);
    const bool lifted = BoundsLifted;
    BoundsLifted = true;
    Room.NotifyAll();
    return lifted;
  }

  // The bounds again, after LiftBounds; what was queued meanwhile stays.
  void RestoreBounds() {
    TMutexLock lock(Guard);
    BoundsLifted = false;
  }

  // Makes waiting pushers ask their cancellation again.
  void WakeWaiters() {
    TMutexLock lock(Guard);
    Room.NotifyAll();
  }

  // Destroys every queued item.
  void Clear() {
    TMutexLock lock(Guard);
    Items.clear();
    QueuedBytes = 0;
    if (WaitingPushers > 0) Room.NotifyAll();
  }

  std::size_t Count() EXCLUDES(Guard) {
    TMutexLock lock(Guard);
    return Items.size();
  }
  std::size_t Bytes() EXCLUDES(Guard) {
    TMutexLock lock(Guard);
    return QueuedBytes;
  }
  // For tests: wake-ups posted and not yet consumed, whether the consumer
  // sleeps now, and how many pushers wait for room.
  int PendingWakeUps() { return WakeUpSignal.Value(); }
  bool ConsumerSleeping() EXCLUDES(Guard) {
    TMutexLock lock(Guard);
    return ConsumerAsleep;
  }
  std::size_t PushersWaiting() EXCLUDES(Guard) {
    TMutexLock lock(Guard);
    return WaitingPushers;
  }

 private:
  std::size_t SizeOf(const T& item) const { return Sizer ? Sizer(item) : 0; }

  bool Fits(std::size_t size, std::size_t byteLimit = kUnbounded) const REQUIRES(Guard) {
    const std::size_t bytes = byteLimit < MaxBytes ? byteLimit : MaxBytes;
    return BoundsLifted || Items.empty() ||
           (Items.size() < MaxCount && (size == 0 || QueuedBytes + size <= bytes));
  }

  void AppendQuietly(T&& item) REQUIRES(Guard) {
    QueuedBytes += SizeOf(item);
    Items.push_back(std::move(item));
  }

  void Append(T&& item) REQUIRES(Guard) {
    AppendQuietly(std::move(item));
    WakeConsumer();
  }

  void WakeConsumer() REQUIRES(Guard) {
    if (!ConsumerAsleep) return;
    ConsumerAsleep = false;
    // Posting fails only when the count would overflow, which a sleeping
    // consumer rules out.
    WakeUpSignal.Post();
  }

  // The consumer's wait for an item or a release; gives the lock up while it
  // sleeps and returns with it held.
  void Sleep(int timeoutMs) REQUIRES(Guard) {
    if (timeoutMs == 0) return;
    ConsumerAsleep = true;
    Guard.Unlock();
    // A wait that a signal interrupts, or a time-out, returns as a release.
    if (timeoutMs < 0)
      WakeUpSignal.Wait();
    else
      WakeUpSignal.TimedWait(timeoutMs);
    Guard.Lock();
    ConsumerAsleep = false;
  }

  // After the consumer took items: wake pushers waiting for room, and drop
  // surplus wake-ups once the list is empty, so that releases that found
  // nothing to do wake the consumer only once.
  void Taken() REQUIRES(Guard) {
    if (WaitingPushers > 0) Room.NotifyAll();
    if (Items.empty()) DropWakeUps();
  }

  void DropWakeUps() REQUIRES(Guard) {  // with nothing queued
    while (WakeUpSignal.TryWait()) {
    }
  }

  template <class Cancelled>
  bool WaitForRoom(std::size_t size, Cancelled& cancelled, std::size_t byteLimit = kUnbounded)
      REQUIRES(Guard) {
    while (!Fits(size, byteLimit)) {
      if (IsClosed || cancelled()) return false;
      ++WaitingPushers;
      Room.Wait(Guard);
      --WaitingPushers;
    }
    return !IsClosed;
  }

  const TSizer Sizer;
  const std::size_t MaxCount;
  const std::size_t MaxBytes;
  TSemaphore WakeUpSignal{0};  // the consumer's sleep
  TMutex Guard;
  TCondition Room;  // pushers waiting for room
  std::deque<T> Items GUARDED_BY(Guard);
  std::size_t QueuedBytes GUARDED_BY(Guard) = 0;
  std::size_t WaitingPushers GUARDED_BY(Guard) = 0;  // in Room.Wait
  bool ConsumerAsleep GUARDED_BY(Guard) = false;     // waits on WakeUpSignal
  bool BoundsLifted GUARDED_BY(Guard) = false;       // every push fits
  bool IsClosed GUARDED_BY(Guard) = false;
};

}  // namespace logserver

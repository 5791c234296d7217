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

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
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
      : sizer_(sizer), maxCount_(maxCount), maxBytes_(maxBytes) {}
  TBoundedQueue(const TBoundedQueue&) = delete;
  TBoundedQueue& operator=(const TBoundedQueue&) = delete;

  // ---- Pushing, from any thread.

  // Appends whatever the bounds; waits for nothing but the lock.
  void Push(T item) {
    std::lock_guard<std::mutex> lock(mutex_);
    Append(std::move(item));
  }

  // Appends when the item fits; false, with `item` untouched, when not.
  bool TryPush(T& item) {
    std::lock_guard<std::mutex> lock(mutex_);
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
    std::unique_lock<std::mutex> lock(mutex_);
    if (!WaitForRoom(lock, SizeOf(item), cancelled)) return false;
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
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t size = SizeOf(item);
    while (!Fits(size)) {
      bytes_ -= SizeOf(items_.front());
      dropped.push_back(std::move(items_.front()));
      items_.pop_front();
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
      std::lock_guard<std::mutex> lock(mutex_);
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
      std::lock_guard<std::mutex> lock(mutex_);
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
      std::unique_lock<std::mutex> lock(mutex_);
      while (taken < items.size()) {
        const std::size_t size = SizeOf(items[taken]);
        if (!Fits(size, byteLimit)) {
          // Let the consumer start on what is queued before waiting for room.
          WakeConsumer();
          if (!WaitForRoom(lock, size, cancelled, byteLimit)) break;
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
    std::unique_lock<std::mutex> lock(mutex_);
    if (items_.empty()) Sleep(lock, timeoutMs);
    if (items_.empty()) {
      DropWakeUps();
      return false;
    }
    item = std::move(items_.front());
    items_.pop_front();
    bytes_ -= SizeOf(item);
    Taken();
    return true;
  }

  // Appends to `out`, oldest first, everything queued up to `maxCount` items
  // and `maxBytes` (at least one item), waiting as Pop does while nothing is
  // queued. Returns how many were taken.
  std::size_t PopAll(std::vector<T>& out, int timeoutMs = -1, std::size_t maxCount = kUnbounded,
                     std::size_t maxBytes = kUnbounded) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (items_.empty()) Sleep(lock, timeoutMs);
    std::size_t taken = 0, bytes = 0;
    while (!items_.empty() && taken < maxCount) {
      const std::size_t size = SizeOf(items_.front());
      if (taken > 0 && bytes + size > maxBytes) break;
      bytes += size;
      out.push_back(std::move(items_.front()));
      items_.pop_front();
      ++taken;
    }
    bytes_ -= bytes;
    if (taken > 0)
      Taken();
    else
      DropWakeUps();
    return taken;
  }

  // Wakes the consumer empty-handed (once, however often it is called while
  // the consumer is busy). Async-signal-safe: one sem_post, no lock.
  void Release() { wake_.Post(); }

  // ---- Control, from any thread.

  // Pushes that wait for room give up, those waiting now and all later ones;
  // other pushes go on.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    room_.notify_all();
  }

  // Drops both bounds: every push fits from now on, and pushes waiting for
  // room go ahead (for a last drain, when the consumer pops no more for a while).
  void LiftBounds() {
    std::lock_guard<std::mutex> lock(mutex_);
    lifted_ = true;
    room_.notify_all();
  }

  // Makes waiting pushers ask their cancellation again.
  void WakeWaiters() {
    std::lock_guard<std::mutex> lock(mutex_);
    room_.notify_all();
  }

  // Destroys every queued item.
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    bytes_ = 0;
    if (waiting_ > 0) room_.notify_all();
  }

  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }
  std::size_t Bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  // Wake-ups posted and not yet consumed; for tests.
  int PendingWakeUps() { return wake_.Value(); }

 private:
  std::size_t SizeOf(const T& item) const { return sizer_ ? sizer_(item) : 0; }

  bool Fits(std::size_t size, std::size_t byteLimit = kUnbounded) const {  // under the lock
    const std::size_t bytes = byteLimit < maxBytes_ ? byteLimit : maxBytes_;
    return lifted_ || items_.empty() ||
           (items_.size() < maxCount_ && (size == 0 || bytes_ + size <= bytes));
  }

  void AppendQuietly(T&& item) {  // under the lock
    bytes_ += SizeOf(item);
    items_.push_back(std::move(item));
  }

  void Append(T&& item) {  // under the lock
    AppendQuietly(std::move(item));
    WakeConsumer();
  }

  void WakeConsumer() {  // under the lock
    if (!asleep_) return;
    asleep_ = false;
    wake_.Post();
  }

  // The consumer's wait for an item or a release; returns with the lock held.
  void Sleep(std::unique_lock<std::mutex>& lock, int timeoutMs) {
    if (timeoutMs == 0) return;
    asleep_ = true;
    lock.unlock();
    if (timeoutMs < 0)
      wake_.Wait();
    else
      wake_.TimedWait(timeoutMs);
    lock.lock();
    asleep_ = false;
  }

  // After the consumer took items: wake pushers waiting for room, and drop
  // surplus wake-ups once the list is empty, so that releases that found
  // nothing to do wake the consumer only once.
  void Taken() {  // under the lock
    if (waiting_ > 0) room_.notify_all();
    if (items_.empty()) DropWakeUps();
  }

  void DropWakeUps() {  // under the lock, with nothing queued
    while (wake_.TryWait()) {
    }
  }

  template <class Cancelled>
  bool WaitForRoom(std::unique_lock<std::mutex>& lock, std::size_t size, Cancelled& cancelled,
                   std::size_t byteLimit = kUnbounded) {
    while (!Fits(size, byteLimit)) {
      if (closed_ || cancelled()) return false;
      ++waiting_;
      room_.wait(lock);
      --waiting_;
    }
    return !closed_;
  }

  const TSizer sizer_;
  std::mutex mutex_;
  const std::size_t maxCount_;
  const std::size_t maxBytes_;
  bool lifted_ = false;           // every push fits; guarded by mutex_
  std::condition_variable room_;  // pushers waiting for room; guarded by mutex_
  TSemaphore wake_{0};            // the consumer's sleep
  std::deque<T> items_;           // guarded by mutex_
  std::size_t bytes_ = 0;         // guarded by mutex_
  std::size_t waiting_ = 0;       // pushers in room_.wait; guarded by mutex_
  bool asleep_ = false;           // the consumer waits on wake_; guarded by mutex_
  bool closed_ = false;           // guarded by mutex_
};

}  // namespace logserver

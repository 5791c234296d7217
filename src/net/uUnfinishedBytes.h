// The bytes the service holds for messages that have begun to arrive and
// not ended, across every stream connection. A sender that stops inside a
// message keeps those bytes in memory for as long as it likes; ten
// thousand of them could hold far more than the service needs to run. So
// the bytes are counted in one place, and when they pass the limit the
// connections that have waited longest inside a message are closed (their
// unfinished messages are lost and counted, as a torn connection's are).
// A connection is asked to close only after it has stalled for a while,
// so that busy senders, whose messages often straddle two reads, are not
// the ones closed; only beyond twice the limit do the oldest go at once.
//
// Threading: every operation from any thread (a holder's from its own
// loop); one lock, taken only when a holder's count changes. A holder is
// asked to close by a wake-up on its loop, after which Evicted is true.
// Ownership: the ledger outlives its holders; a holder leaves it (Forget)
// before it is freed.
#pragma once

#include "net/uEventLoop.h"
#include "platform/uSync.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace logserver {

class TUnfinishedBytes;

// A connection as the ledger sees it. No virtual function: its calls on
// the read path stay clear of UBSan's type check, which cannot run in a
// process out of descriptors.
class TUnfinishedHolder {
 public:
  explicit TUnfinishedHolder(TUnfinishedBytes* ledger) : Ledger(ledger) {}
  TUnfinishedHolder(const TUnfinishedHolder&) = delete;
  TUnfinishedHolder& operator=(const TUnfinishedHolder&) = delete;

  // On its loop, once registered there and before anything is held: the
  // wake-up by which the ledger asks it to close (its OnWake then finds
  // Evicted true).
  void WakeOnEviction(TEventLoop& loop, std::uint64_t token) {
    WakeLoop = &loop;
    WakeToken = token;
  }

  // After a read: the connection now holds `bytes` of an unfinished message
  // (0: none); `finishedOne` tells it ended a message since the last call,
  // so that whatever it holds now began just now.
  void HoldUnfinished(std::size_t bytes, bool finishedOne);
  // Leaves the ledger, giving back what it held: at the close, and at the
  // latest in the destructor (the ledger touches only this base's members,
  // so a derived part already gone is no harm).
  void ForgetUnfinished();
  // The ledger asked it to close.
  bool Evicted() const { return Evicted_.load(std::memory_order_relaxed); }

 protected:
  ~TUnfinishedHolder();

 private:
  friend class TUnfinishedBytes;
  TUnfinishedBytes* const Ledger;
  TEventLoop* WakeLoop = nullptr;
  std::uint64_t WakeToken = 0;
  std::atomic<bool> Evicted_{false};
  // The ledger's, under its lock.
  std::size_t Held = 0;
  std::uint64_t Since = 0;  // monotonic ms the unfinished message began
  std::atomic<bool> Listed{false};  // also read, without the lock, by its holder
  TUnfinishedHolder* Prev = nullptr;
  TUnfinishedHolder* Next = nullptr;
};

class TUnfinishedBytes {
 public:
  // A connection stalled at least this long may be closed.
  static constexpr std::uint64_t kMinStallMs = 1000;

  // `limit` bytes in all (0: no limit).
  explicit TUnfinishedBytes(std::size_t limit) : Limit(limit) {}
  ~TUnfinishedBytes() = default;
  TUnfinishedBytes(const TUnfinishedBytes&) = delete;
  TUnfinishedBytes& operator=(const TUnfinishedBytes&) = delete;

  // Closes the longest-stalled connections while the bytes held pass the
  // limit (also called by each Hold; this one for the stalled connections
  // that read nothing, every second or so).
  void Trim() EXCLUDES(Guard);

  // A reload's limit, from the next hold or trim on.
  void SetLimit(std::size_t limit) { Limit.store(limit, std::memory_order_relaxed); }

  std::size_t Held() const { return Total.load(std::memory_order_relaxed); }
  // Connections asked to close since the start.
  std::uint64_t Closed() const { return Evictions.load(std::memory_order_relaxed); }

 private:
  friend class TUnfinishedHolder;
  void Hold(TUnfinishedHolder& holder, std::size_t bytes, bool finishedOne) EXCLUDES(Guard);
  void Forget(TUnfinishedHolder& holder) EXCLUDES(Guard);
  void Unlink(TUnfinishedHolder& holder) REQUIRES(Guard);
  void Append(TUnfinishedHolder& holder, std::uint64_t now) REQUIRES(Guard);
  void TrimLocked(std::uint64_t now) REQUIRES(Guard);

  std::atomic<std::size_t> Limit;
  TMutex Guard;
  // The holders with bytes, longest-stalled first.
  TUnfinishedHolder* First GUARDED_BY(Guard) = nullptr;
  TUnfinishedHolder* Last GUARDED_BY(Guard) = nullptr;
  std::atomic<std::size_t> Total{0};
  std::atomic<std::uint64_t> Evictions{0};
};

}  // namespace logserver

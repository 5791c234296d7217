// Per-sender rate limits: so many messages and bytes a second for each
// sender address, with a burst of a few seconds' worth, so that one
// runaway host cannot fill the disk or the queue for everybody.
//
// A sender on a stream intake (TPKT, syslog TCP and TLS) is charged after
// each read; once over its allowance its connection is not read until the
// allowance has grown back (TReadPace), and TCP flow control slows the
// sender: nothing is lost. A sender's datagrams beyond its allowance are
// dropped and counted. Every connection and datagram of one address draws
// on the same allowance; addresses of the Unlimited list draw on none.
//
// The check costs a lock of the sender's own allowance per read or
// datagram: the connection keeps its allowance from its first read on, and
// the UDP server keeps the last sender's; both look again when the limits
// change.
//
// Threading: every operation from any thread. Lock order: the table's lock
// before an allowance's, never the other way round. Ownership: the table
// owns its allowances together with whoever holds one (shared), and
// outlives the servers.
#pragma once

#include "net/uEventLoop.h"
#include "net/uIPServerHeader.h"
#include "platform/uSync.h"
#include "platform/uTokenBucket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace logserver {

struct TRateLimits {
  std::uint32_t MessagesPerSecond = 0;  // 0: messages are not limited
  std::uint32_t BytesPerSecond = 0;     // 0: bytes are not limited
  std::uint32_t BurstSeconds = 2;       // the allowance holds this many seconds' worth
  bool Off() const { return MessagesPerSecond == 0 && BytesPerSecond == 0; }
};

class TSenderRates;

// One address's allowance: a token bucket for messages and one for bytes,
// and the episode of being limited the service log tells of.
class TSenderRate : public std::enable_shared_from_this<TSenderRate> {
 public:
  TSenderRate(TSenderRates& table, std::string address, std::uint64_t nowMs);

  // A stream intake read `messages` in `bytes`: the monotonic ms from which
  // it may read again, 0 when it may go on at once.
  std::uint64_t Charge(TIntakeKind intake, std::size_t messages, std::size_t bytes, std::uint64_t nowMs)
      EXCLUDES(Guard);
  // A datagram of `bytes`: true when the allowance takes it; false when it
  // is to be dropped (counted).
  bool Admit(std::size_t bytes, std::uint64_t nowMs) EXCLUDES(Guard);

 private:
  friend class TSenderRates;
  // Guard held: the buckets refilled up to `nowMs`.
  void Refill(const TRateLimits& limits, std::uint64_t nowMs) REQUIRES(Guard);
  // Guard held: the sender is over its allowance now; true when this begins
  // an episode (the table is to list it, once the guard is let go).
  bool NoteOver(std::uint64_t nowMs) REQUIRES(Guard);

  TSenderRates& Table;
  const std::string Address;
  TMutex Guard;
  // Refilled together, in seconds of the monotonic clock.
  TTokenBucket Messages GUARDED_BY(Guard);
  TTokenBucket Bytes GUARDED_BY(Guard);
  // The episode: since when, last over, datagrams dropped; whether its
  // start was told (and so its end will be), and when a start was last told.
  bool Limited GUARDED_BY(Guard) = false;
  bool Told GUARDED_BY(Guard) = false;
  bool Decided GUARDED_BY(Guard) = false;
  std::uint64_t SinceMs GUARDED_BY(Guard) = 0;
  std::uint64_t LastOverMs GUARDED_BY(Guard) = 0;
  std::uint64_t Dropped GUARDED_BY(Guard) = 0;
  std::uint64_t LastToldMs GUARDED_BY(Guard) = 0;
};

class TSenderRates {
 public:
  // A sender that stayed within its allowance this long is no longer limited.
  static constexpr std::uint64_t kEndAfterMs = 10000;
  // At most one start and end told a minute per sender.
  static constexpr std::uint64_t kTellEveryMs = 60000;
  // Allowances kept at most; beyond, a new address is not limited until
  // idle ones are forgotten.
  static constexpr std::size_t kMaxSenders = 65536;

  TSenderRates(TRateLimits limits, TAddressList unlimited);

  // The allowance of `address` (`peer` parsed), made on first use; null
  // when limits are off or the address is unlimited.
  std::shared_ptr<TSenderRate> For(const std::string& address, const TSocketAddress& peer) EXCLUDES(Guard);
  TRateLimits Limits() const;
  // A reload's limits and unlimited addresses, for the allowances looked
  // up from now on (whoever holds one looks again: see Generation).
  void SetLimits(const TRateLimits& limits, TAddressList unlimited) EXCLUDES(Guard);
  // Changes with every SetLimits (from 1): whoever keeps an allowance, or
  // the want of one, looks again when it moved.
  std::uint64_t Generation() const { return Generation_.load(std::memory_order_acquire); }

  // About every few seconds: the lines to tell (senders that began or ended
  // being limited), and allowances of idle senders nobody holds forgotten.
  std::vector<std::string> Sweep(std::uint64_t nowMs) EXCLUDES(Guard);

  // Messages that came while their sender was over its allowance: slowed on
  // stream intakes, dropped on UDP. Senders limited now.
  std::uint64_t LimitedMessages(TIntakeKind intake) const {
    return Counted[intake].load(std::memory_order_relaxed);
  }
  std::uint64_t LimitedSenders() const { return LimitedNow.load(std::memory_order_relaxed); }

 private:
  friend class TSenderRate;
  void Count(TIntakeKind intake, std::size_t messages) {
    Counted[intake].fetch_add(messages, std::memory_order_relaxed);
  }
  void NoteLimited(std::shared_ptr<TSenderRate> rate) EXCLUDES(Guard);
  void Forget(std::uint64_t nowMs) REQUIRES(Guard);

  std::atomic<std::uint32_t> MessagesPerSecond;
  std::atomic<std::uint32_t> BytesPerSecond;
  std::atomic<std::uint32_t> BurstSeconds;
  std::atomic<std::uint64_t> Generation_{1};
  std::atomic<std::uint64_t> Counted[kIntakeKinds] = {};
  std::atomic<std::uint64_t> LimitedNow{0};
  TMutex Guard;
  TAddressList Unlimited GUARDED_BY(Guard);
  std::unordered_map<std::string, std::shared_ptr<TSenderRate>> Rates GUARDED_BY(Guard);
  std::vector<std::shared_ptr<TSenderRate>> LimitedList GUARDED_BY(Guard);
  std::uint64_t ForgottenMs GUARDED_BY(Guard) = 0;
};

// A connection's pace: charges its reads to its sender's allowance and,
// over it, stops its loop reading the socket until the allowance has grown
// back. Loop only.
class TReadPace {
 public:
  // The table of `address` (the connection's own text, which outlives the
  // pace); its allowance is found at the first read, and again when the
  // limits change (a reload).
  void Follow(TSenderRates* table, const std::string* address, TIntakeKind intake) {
    Table = table;
    Address = address;
    Intake = intake;
  }
  // After a read: true when the connection is now paused (its descriptor is
  // no longer watched for reading, and its timer is set).
  bool Charge(TEventLoop& loop, std::uint64_t token, std::size_t messages, std::size_t bytes);
  // On the connection's timer: resumes reading once the pause is over (the
  // connection is served again at once, for what waits in its socket).
  void OnTimer(TEventLoop& loop, std::uint64_t token);

 private:
  TSenderRates* Table = nullptr;
  const std::string* Address = nullptr;
  std::uint64_t Generation = 0;  // of the limits Rate was found under
  std::shared_ptr<TSenderRate> Rate;
  TIntakeKind Intake = ikTpkt;
  std::uint64_t ResumeAtMs = 0;
  std::uint64_t TimerAtMs = 0;  // its own timer's time, 0: none set
};

}  // namespace logserver

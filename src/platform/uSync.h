// Locks, the condition that goes with them, and the counting semaphore
// shared by every queue of the service.
//
// TMutex and TRecursiveLock are process-private and known to the thread-
// safety analysis (uThreadAnnotations.h): members guarded by them are marked
// GUARDED_BY and checked by clang. Each comes with its scoped guard
// (TMutexLock, TLockGuard). TSemaphore wraps an unnamed process-private
// POSIX semaphore; Post() is async-signal-safe, which the stop-signal
// handler relies on. All operations are thread-safe.
#pragma once

#include "platform/uThreadAnnotations.h"

#include <condition_variable>
#include <mutex>
#include <semaphore.h>

namespace logserver {

// A lock over a standard mutex type, known to the analysis as a capability.
template <class Native>
class CAPABILITY("mutex") TLock {
 public:
  TLock() = default;
  TLock(const TLock&) = delete;
  TLock& operator=(const TLock&) = delete;

  void Lock() ACQUIRE() { Handle.lock(); }
  void Unlock() RELEASE() { Handle.unlock(); }

 private:
  friend class TCondition;
  Native Handle;
};

// Holds a lock for its scope.
template <class L>
class SCOPED_CAPABILITY TScopedLock {
 public:
  explicit TScopedLock(L& lock) ACQUIRE(lock) : Held(lock) { Held.Lock(); }
  ~TScopedLock() RELEASE() { Held.Unlock(); }
  TScopedLock(const TScopedLock&) = delete;
  TScopedLock& operator=(const TScopedLock&) = delete;

 private:
  L& Held;
};

using TMutex = TLock<std::mutex>;
using TMutexLock = TScopedLock<TMutex>;

// Re-entrant: the thread holding it may take it again. The analysis does not
// model re-entry, so code takes it once per path, as it would a TMutex.
using TRecursiveLock = TLock<std::recursive_mutex>;
using TLockGuard = TScopedLock<TRecursiveLock>;

// A waiting place for threads that hold a TMutex. Wait in a loop that
// checks the condition: wake-ups may be spurious.
class TCondition {
 public:
  // Gives the mutex up while it waits; holds it again on return.
  void Wait(TMutex& mutex) REQUIRES(mutex);
  // As Wait, for at most `milliseconds` (monotonic); false when the time ran out.
  bool WaitFor(TMutex& mutex, int milliseconds) REQUIRES(mutex);
  void NotifyAll() { Native.notify_all(); }

 private:
  std::condition_variable Native;
};

class TSemaphore {
 public:
  // Throws std::system_error when the system refuses the semaphore (only
  // for a count beyond SEM_VALUE_MAX).
  explicit TSemaphore(unsigned initialCount = 0);
  ~TSemaphore();
  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;

  // Adds one count. Returns 0, or the errno value of sem_post.
  int Post();

  // Waits without a time limit. False when the wait failed (a signal
  // interrupted it); errno is kept for the caller.
  bool Wait();

  // Takes a count when one is there; never blocks.
  bool TryWait();

  // Waits at most `milliseconds` for a count; true exactly when one was taken.
  // The deadline is absolute on the wall clock: gettimeofday's seconds plus
  // (milliseconds * 1000 + its microseconds) div 10^6, and the remainder as
  // nanoseconds, so a clock step lengthens or shortens a wait in progress.
  bool TimedWait(int milliseconds);

  // Current count, for tests and diagnostics.
  int Value();

 private:
  sem_t Native;
};

// The absolute deadline TimedWait uses, from a clock reading; exposed so that
// the carry of microseconds into seconds can be checked.
struct TDeadline {
  long long Seconds;
  long Nanoseconds;
};
TDeadline ComputeDeadline(long long clockSeconds, long clockMicroseconds, int milliseconds);

}  // namespace logserver

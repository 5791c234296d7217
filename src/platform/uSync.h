// Locks and the counting semaphore shared by every queue of the service.
//
// TRecursiveLock is process-private and re-entrant. TSemaphore wraps an
// unnamed process-private POSIX semaphore; Post() is async-signal-safe, which
// the stop-signal handler relies on. All operations are thread-safe.
#pragma once

#include <mutex>
#include <semaphore.h>

namespace logserver {

using TRecursiveLock = std::recursive_mutex;
using TLockGuard = std::lock_guard<std::recursive_mutex>;

class TSemaphore {
 public:
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
  sem_t sem_;
};

// The absolute deadline TimedWait uses, from a clock reading; exposed so that
// the carry of microseconds into seconds can be checked.
struct TDeadline {
  long long seconds;
  long nanoseconds;
};
TDeadline ComputeDeadline(long long clockSeconds, long clockMicroseconds, int milliseconds);

}  // namespace logserver

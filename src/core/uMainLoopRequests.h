// What signal handlers and other threads ask of the main loop: to stop, to
// reopen the log files (and read the certificates again), to write one
// STATISTICS line, or only to look again (the heartbeat). Each request sets
// a flag and wakes the loop through the log queue's semaphore; the loop
// takes the flags when it wakes.
//
// Threading: Ask, WakeUp and the signal handlers from any thread, also
// inside a signal handler (they touch only atomics and sem_post); Take,
// Reset and WakeThrough on the main thread. Ownership: the queue is
// borrowed from WakeThrough(queue) until WakeThrough(nullptr), which its
// owner calls before freeing it.
#pragma once

#include "core/uLogQueue.h"

#include <atomic>

namespace logserver {

class TMainLoopRequests {
 public:
  enum TRequest { rqStop, rqReopen, rqStatistics, kRequests };

  void Ask(TRequest request) {
    Flags[request].store(true);
    WakeUp();
  }
  void WakeUp() {
    if (tLogQueue* queue = Queue.load()) queue->Release();
  }
  bool Asked(TRequest request) const { return Flags[request].load(); }
  // True once, for a request made since the last Take.
  bool Take(TRequest request) { return Flags[request].exchange(false); }
  void WakeThrough(tLogQueue* queue) { Queue.store(queue); }

  // The handlers of the stop, reopen and statistics signals: they ask the
  // requests Listen was given. The stop is taken away with its first
  // signal, so that later ones do nothing.
  static void Listen(TMainLoopRequests* requests) { Listening.store(requests); }
  static void HandleStopSignal(int);
  static void HandleReopenSignal(int);
  static void HandleStatisticsSignal(int);

 private:
  std::atomic<bool> Flags[kRequests] = {};
  std::atomic<tLogQueue*> Queue{nullptr};
  static std::atomic<TMainLoopRequests*> Listening;
};

}  // namespace logserver

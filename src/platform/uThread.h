// Thread object: one POSIX thread with a small fixed stack, a terminate flag
// that the body polls, and a join. And the thread role, which checks that a
// group of operations runs on the one thread meant to run them.
//
// Thread safety: Terminate() and Terminated() may be called from any thread.
// Start() and WaitFor() are called by the owner only. No thread object frees
// itself: the owner runs Terminate(), WaitFor(), then destroys it.
//
// Every thread carries a short name ("ls-..." , at most 15 characters) so
// that top -H and ps -L show what runs.
//
// A base-class constructor must not start a thread whose body is a virtual
// function (the derived part does not exist yet), so construction always
// leaves the thread suspended; the factory of the most derived class calls
// Start() as its last step. Derived destructors must stop the thread before
// destroying the members the body uses (StopAndWait()).
#pragma once

#include "platform/uCaughtFailures.h"
#include "platform/uThreadAnnotations.h"

#include <atomic>
#include <cstddef>
#include <pthread.h>
#include <string>
#include <thread>

namespace logserver {

class TThread {
 public:
  static constexpr std::size_t kDefaultStackSize = 32768;

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread();

  // Starts the body. Returns 0 on success, else the error number of
  // pthread_create (the object then stays suspended). Calling Start twice
  // returns EALREADY. The service signals (ServiceSignals) are blocked in
  // the new thread, so their handlers only ever run on the initial thread.
  int Start();

  // Sets the flag, then wakes the body where it may sleep (Wake).
  void Terminate() {
    TerminateRequested.store(true);
    Wake();
  }
  bool Terminated() const { return TerminateRequested.load(); }

  // Blocks until the body has returned; returns at once when the thread was
  // never started or has already been joined.
  void WaitFor();

  bool Started() const { return IsStarted; }
  const std::string& Name() const { return ThreadName; }

  // Where errors caught on this thread are counted (a body that throws, a
  // handler it calls); without one they go to stderr. Set before Start; the
  // counter must outlive the thread.
  void CountFailuresIn(TCaughtFailures* failures) { Failures = failures; }
  TCaughtFailures* FailureCounter() const { return Failures; }

 protected:
  // `name` is cut to 15 characters, the kernel's limit.
  explicit TThread(const char* name, std::size_t stackSize = kDefaultStackSize);

  virtual void Execute() = 0;
  // Called by Terminate: a body that sleeps on something other than the
  // flag (a queue, a descriptor) is woken here. Any thread.
  virtual void Wake() {}

  // Terminate and join; for destructors of derived classes.
  void StopAndWait() {
    Terminate();
    WaitFor();
  }

 private:
  static void* Trampoline(void* self);

  const std::string ThreadName;
  const std::size_t StackSize;
  TCaughtFailures* Failures = nullptr;
  std::atomic<bool> TerminateRequested{false};
  pthread_t Handle{};
  bool IsStarted = false;
  bool Joined = false;
};

// Names the calling thread (the process's initial thread has no object).
void SetCurrentThreadName(const char* name);

// The processors the process may run on (its affinity), at least 1.
std::size_t ProcessorCount();

// The one thread that may run a group of operations (muduo's
// assertInLoopThread). The thread takes the role by Bind, or by its first
// AssertCurrent while nobody holds it; Release frees it for another thread
// (a server started anew runs on a new thread). AssertCurrent aborts a
// debug build when another thread calls; release builds check nothing.
//
// It is a capability for the thread-safety analysis: members only that
// thread may touch are GUARDED_BY the role, and a function reached from
// outside calls AssertCurrent before it touches them.
class CAPABILITY("thread role") TThreadRole {
 public:
  TThreadRole() = default;
  TThreadRole(const TThreadRole&) = delete;
  TThreadRole& operator=(const TThreadRole&) = delete;

  void Bind();
  void Release();
  void AssertCurrent() const ASSERT_CAPABILITY(this);
  bool IsCurrent() const;

 private:
  mutable std::atomic<std::thread::id> Holder{};
};

}  // namespace logserver

// Thread object: one POSIX thread with a small fixed stack, a terminate flag
// that the body polls, and a join.
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

#include <atomic>
#include <cstddef>
#include <pthread.h>
#include <string>

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
    terminated_.store(true);
    Wake();
  }
  bool Terminated() const { return terminated_.load(); }

  // Blocks until the body has returned; returns at once when the thread was
  // never started or has already been joined.
  void WaitFor();

  bool Started() const { return started_; }

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

  std::string name_;
  std::size_t stackSize_;
  std::atomic<bool> terminated_{false};
  pthread_t handle_{};
  bool started_ = false;
  bool joined_ = false;
};

// Names the calling thread (the process's initial thread has no object).
void SetCurrentThreadName(const char* name);

}  // namespace logserver

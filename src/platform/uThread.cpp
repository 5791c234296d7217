#include "platform/uThread.h"

#include "platform/uProcess.h"

#include <cassert>
#include <cerrno>
#include <csignal>
#include <limits.h>
#include <sched.h>

namespace logserver {

namespace {

// Sanitizer runtimes need far more stack than the service itself; the build
// for them raises the floor so that the same code runs unchanged.
#ifdef LOGSERVER_MIN_STACK
constexpr std::size_t kMinStack = LOGSERVER_MIN_STACK;
#else
constexpr std::size_t kMinStack = 0;
#endif

}  // namespace

TThread::TThread(const char* name, std::size_t stackSize)
    : ThreadName(std::string(name).substr(0, 15)), StackSize(stackSize) {}

TThread::~TThread() {
  // Reaching here with a running thread is an owner's mistake; joining is the
  // only choice that does not leave a thread on a destroyed object.
  Terminate();
  WaitFor();
}

int TThread::Start() {
  if (IsStarted) return EALREADY;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  std::size_t size = StackSize < kMinStack ? kMinStack : StackSize;
  const std::size_t floor = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  if (size < floor) size = floor;
  rc = pthread_attr_setstacksize(&attr, size);
  if (rc == 0) {
    // pthread_sigmask fails only for an invalid `how`; both calls pass a
    // valid one.
    const sigset_t block = ServiceSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    rc = pthread_create(&Handle, &attr, &TThread::Trampoline, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  // Destroying an initialised attribute object cannot fail.
  pthread_attr_destroy(&attr);
  if (rc == 0) IsStarted = true;
  return rc;
}

void TThread::WaitFor() {
  if (!IsStarted || Joined) return;
  // Fails only for a thread that is not joinable or joins itself; neither
  // can happen to a started, not yet joined object called by its owner.
  pthread_join(Handle, nullptr);
  Joined = true;
}

void* TThread::Trampoline(void* self) {
  TThread* thread = static_cast<TThread*>(self);
  // The name is for people reading ps; a refusal changes nothing else.
  pthread_setname_np(pthread_self(), thread->ThreadName.c_str());
  // No error leaves a thread (an escaping exception would end the process);
  // one that ends a body is counted and reported.
  const std::string where = thread->ThreadName + " thread";
  CallRecordingFailures(thread->Failures, where.c_str(), [thread] { thread->Execute(); });
  return nullptr;
}

std::size_t ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned known = std::thread::hardware_concurrency();
  return known > 0 ? known : 1;
}

void SetCurrentThreadName(const char* name) {
  pthread_setname_np(pthread_self(), std::string(name).substr(0, 15).c_str());
}

void TThreadRole::Bind() { Holder.store(std::this_thread::get_id()); }

void TThreadRole::Release() { Holder.store(std::thread::id()); }

bool TThreadRole::IsCurrent() const { return Holder.load() == std::this_thread::get_id(); }

void TThreadRole::AssertCurrent() const {
#ifndef NDEBUG
  std::thread::id unbound;
  // The first caller takes a free role.
  if (Holder.compare_exchange_strong(unbound, std::this_thread::get_id())) return;
  assert(IsCurrent() && "called on a thread that does not hold this role");
#endif
}

}  // namespace logserver

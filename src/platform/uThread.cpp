#include "platform/uThread.h"

#include "platform/uProcess.h"

#include <cerrno>
#include <csignal>
#include <limits.h>

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
    : name_(std::string(name).substr(0, 15)), stackSize_(stackSize) {}

TThread::~TThread() {
  // Reaching here with a running thread is an owner's mistake; joining is the
  // only choice that does not leave a thread on a destroyed object.
  Terminate();
  WaitFor();
}

int TThread::Start() {
  if (started_) return EALREADY;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  std::size_t size = stackSize_ < kMinStack ? kMinStack : stackSize_;
  const std::size_t floor = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  if (size < floor) size = floor;
  rc = pthread_attr_setstacksize(&attr, size);
  if (rc == 0) {
    const sigset_t block = ServiceSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    rc = pthread_create(&handle_, &attr, &TThread::Trampoline, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  pthread_attr_destroy(&attr);
  if (rc == 0) started_ = true;
  return rc;
}

void TThread::WaitFor() {
  if (!started_ || joined_) return;
  pthread_join(handle_, nullptr);
  joined_ = true;
}

void* TThread::Trampoline(void* self) {
  // No error leaves a thread: an escaping exception would end the process.
  TThread* thread = static_cast<TThread*>(self);
  pthread_setname_np(pthread_self(), thread->name_.c_str());
  try {
    thread->Execute();
  } catch (...) {
  }
  return nullptr;
}

void SetCurrentThreadName(const char* name) {
  pthread_setname_np(pthread_self(), std::string(name).substr(0, 15).c_str());
}

}  // namespace logserver

#include "platform/uSync.h"

#include <cerrno>
#include <chrono>
#include <sys/time.h>
#include <system_error>
#include <time.h>

namespace logserver {

void TCondition::Wait(TMutex& mutex) {
  // The caller holds the mutex: the wait borrows it and gives it back held.
  std::unique_lock<std::mutex> held(mutex.Handle, std::adopt_lock);
  Native.wait(held);
  held.release();
}

bool TCondition::WaitFor(TMutex& mutex, int milliseconds) {
  std::unique_lock<std::mutex> held(mutex.Handle, std::adopt_lock);
  const bool notified =
      Native.wait_for(held, std::chrono::milliseconds(milliseconds)) == std::cv_status::no_timeout;
  held.release();
  return notified;
}

TSemaphore::TSemaphore(unsigned initialCount) {
  if (sem_init(&Native, 0, initialCount) != 0)
    throw std::system_error(errno, std::generic_category(), "sem_init");
}

// sem_destroy fails only for an invalid semaphore, which the constructor
// rules out.
TSemaphore::~TSemaphore() { sem_destroy(&Native); }

int TSemaphore::Post() { return sem_post(&Native) == 0 ? 0 : errno; }

bool TSemaphore::Wait() { return sem_wait(&Native) == 0; }

bool TSemaphore::TryWait() {
  int rc;
  do {
    rc = sem_trywait(&Native);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

TDeadline ComputeDeadline(long long clockSeconds, long clockMicroseconds, int milliseconds) {
  long long u = static_cast<long long>(milliseconds) * 1000 + clockMicroseconds;
  TDeadline d;
  d.Seconds = clockSeconds + u / 1000000;
  d.Nanoseconds = static_cast<long>((u % 1000000) * 1000);
  // A negative wait gives a deadline in the past; keep the nanoseconds in
  // range so that sem_timedwait times out instead of failing with EINVAL.
  if (d.Nanoseconds < 0) {
    d.Nanoseconds += 1000000000L;
    d.Seconds -= 1;
  }
  return d;
}

bool TSemaphore::TimedWait(int milliseconds) {
  timeval tv{};
  // gettimeofday cannot fail with a valid buffer and no time zone.
  gettimeofday(&tv, nullptr);
  const TDeadline d = ComputeDeadline(tv.tv_sec, tv.tv_usec, milliseconds);
  timespec ts;
  ts.tv_sec = static_cast<time_t>(d.Seconds);
  ts.tv_nsec = d.Nanoseconds;
  return sem_timedwait(&Native, &ts) == 0;
}

int TSemaphore::Value() {
  int value = 0;
  return sem_getvalue(&Native, &value) == 0 ? value : -1;
}

}  // namespace logserver

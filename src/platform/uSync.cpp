#include "platform/uSync.h"

#include <cerrno>
#include <sys/time.h>
#include <time.h>

namespace logserver {

TSemaphore::TSemaphore(unsigned initialCount) { sem_init(&sem_, 0, initialCount); }

TSemaphore::~TSemaphore() { sem_destroy(&sem_); }

int TSemaphore::Post() { return sem_post(&sem_) == 0 ? 0 : errno; }

bool TSemaphore::Wait() { return sem_wait(&sem_) == 0; }

bool TSemaphore::TryWait() {
  int rc;
  do {
    rc = sem_trywait(&sem_);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

TDeadline ComputeDeadline(long long clockSeconds, long clockMicroseconds, int milliseconds) {
  long long u = static_cast<long long>(milliseconds) * 1000 + clockMicroseconds;
  TDeadline d;
  d.seconds = clockSeconds + u / 1000000;
  d.nanoseconds = static_cast<long>((u % 1000000) * 1000);
  // A negative wait gives a deadline in the past; keep the nanoseconds in
  // range so that sem_timedwait times out instead of failing with EINVAL.
  if (d.nanoseconds < 0) {
    d.nanoseconds += 1000000000L;
    d.seconds -= 1;
  }
  return d;
}

bool TSemaphore::TimedWait(int milliseconds) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  TDeadline d = ComputeDeadline(tv.tv_sec, tv.tv_usec, milliseconds);
  timespec ts;
  ts.tv_sec = static_cast<time_t>(d.seconds);
  ts.tv_nsec = d.nanoseconds;
  return sem_timedwait(&sem_, &ts) == 0;
}

int TSemaphore::Value() {
  int value = 0;
  sem_getvalue(&sem_, &value);
  return value;
}

}  // namespace logserver

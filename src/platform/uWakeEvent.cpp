#include "platform/uWakeEvent.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace logserver {

TWakeEvent::TWakeEvent() : Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!Fd.Valid()) Error = errno;
}

void TWakeEvent::Signal() {
  const std::uint64_t one = 1;
  // EAGAIN means the counter is full, which leaves it readable as wanted;
  // an invalid event (EBADF) was refused to its owner at creation.
  if (write(Fd.Get(), &one, sizeof one) < 0) return;
}

void TWakeEvent::Clear() {
  std::uint64_t count = 0;
  // EAGAIN means it was not signalled: nothing to clear.
  if (read(Fd.Get(), &count, sizeof count) < 0) return;
}

}  // namespace logserver

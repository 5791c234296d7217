#include "platform/uWakeEvent.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace logserver {

TWakeEvent::TWakeEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void TWakeEvent::Signal() {
  const std::uint64_t one = 1;
  // A full counter (never, in practice) still leaves it readable.
  if (write(fd_.Get(), &one, sizeof one) < 0) return;
}

void TWakeEvent::Clear() {
  std::uint64_t count = 0;
  if (read(fd_.Get(), &count, sizeof count) < 0) return;
}

}  // namespace logserver

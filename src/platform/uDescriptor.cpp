#include "platform/uDescriptor.h"

#include <cerrno>
#include <unistd.h>

namespace logserver {

void TDescriptor::Reset(int fd) noexcept {
  if (Fd >= 0 && Fd != fd) {
    const int saved = errno;
    // Never retried: after EINTR the descriptor is gone all the same.
    ::close(Fd);
    errno = saved;
  }
  Fd = fd;
}

}  // namespace logserver

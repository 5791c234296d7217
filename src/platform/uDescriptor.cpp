#include "platform/uDescriptor.h"

#include <cerrno>
#include <unistd.h>

namespace logserver {

void TDescriptor::Reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) {
    const int saved = errno;
    // Never retried: after EINTR the descriptor is gone all the same.
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

}  // namespace logserver

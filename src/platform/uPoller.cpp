#include "platform/uPoller.h"

#include <cerrno>

namespace logserver {

TPoller::TPoller() : Fd(epoll_create1(EPOLL_CLOEXEC)) {
  if (!Fd) Error = errno;
}

int TPoller::Add(int fd, std::uint64_t token) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u64 = token;
  return epoll_ctl(Fd.Get(), EPOLL_CTL_ADD, fd, &event);
}

int TPoller::Watch(int fd, std::uint64_t token, bool read, bool write) {
  epoll_event event{};
  event.events = (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u);
  event.data.u64 = token;
  return epoll_ctl(Fd.Get(), EPOLL_CTL_MOD, fd, &event);
}

int TPoller::Remove(int fd) {
  // The event argument is ignored, but kernels before 2.6.9 wanted one.
  epoll_event event{};
  return epoll_ctl(Fd.Get(), EPOLL_CTL_DEL, fd, &event);
}

int TPoller::Wait(std::vector<TPollEvent>& ready, int maxEvents, int timeoutMs) {
  Events.resize(static_cast<std::size_t>(maxEvents > 0 ? maxEvents : 1));
  const int count = epoll_wait(Fd.Get(), Events.data(), static_cast<int>(Events.size()), timeoutMs);
  ready.clear();
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = Events[static_cast<std::size_t>(i)];
    ready.push_back({event.data.u64, (event.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0,
                     (event.events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0});
  }
  return count;
}

}  // namespace logserver

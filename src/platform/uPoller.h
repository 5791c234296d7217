// Readiness of many descriptors at once (epoll): for a thread that serves
// thousands of mostly idle connections without a thread or a timer each.
// Level-triggered: a descriptor that still has bytes to read is reported
// again by the next wait, so a server may read a little from each in turn.
//
// Ownership: the poller owns its epoll descriptor, not the descriptors it
// watches; remove one before closing it. One thread waits; Add and Remove
// are made by that thread too.
#pragma once

#include "platform/uDescriptor.h"

#include <cstdint>
#include <sys/epoll.h>
#include <vector>

namespace logserver {

// One descriptor's readiness: its token and whether it can be read (hang-up
// and errors included) or written.
struct TPollEvent {
  std::uint64_t Token = 0;
  bool Readable = false;
  bool Writable = false;
};

class TPoller {
 public:
  // Creating the epoll descriptor may fail (no descriptors): not Valid then,
  // CreateError says why.
  TPoller();
  bool Valid() const { return Fd.Valid(); }
  int CreateError() const { return Error; }

  // Watches `fd` for reading (and hang-up and errors, which read as
  // readable); `token` comes back with its events. 0 or -1 (errno set).
  int Add(int fd, std::uint64_t token);
  // Watches `fd` for reading, writing, both or neither (hang-up and errors
  // are reported whatever is watched, as readable).
  int Watch(int fd, std::uint64_t token, bool read, bool write);
  int Remove(int fd);

  // Waits at most `timeoutMs` (negative: without limit) and fills `ready`
  // with the descriptors that are ready, at most `maxEvents`. Returns their
  // number, 0 on timeout, -1 on failure (EINTR included).
  int Wait(std::vector<TPollEvent>& ready, int maxEvents, int timeoutMs);

 private:
  TDescriptor Fd;
  int Error = 0;
  std::vector<epoll_event> Events;
};

}  // namespace logserver

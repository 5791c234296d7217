// A wake-up that a thread waiting in poll on its own descriptors can see:
// an eventfd that another thread makes readable. Signals that come while
// the waiter is busy are not lost: the descriptor stays readable until
// Clear. Thread-safe; Signal is async-signal-safe.
#pragma once

#include "platform/uDescriptor.h"

namespace logserver {

class TWakeEvent {
 public:
  TWakeEvent();

  // Makes Descriptor readable (once, however often it is called).
  void Signal();
  // Makes it unreadable again; the waiter calls this after waking.
  void Clear();
  int Descriptor() const { return fd_.Get(); }

 private:
  TDescriptor fd_;
};

}  // namespace logserver

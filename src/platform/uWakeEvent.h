// A wake-up that a thread waiting in poll on its own descriptors can see:
// an eventfd that another thread makes readable. Signals that come while
// the waiter is busy are not lost: the descriptor stays readable until
// Clear. Thread-safe; Signal is async-signal-safe.
#pragma once

#include "platform/uDescriptor.h"

namespace logserver {

class TWakeEvent {
 public:
  // Creating the eventfd fails when the process is out of descriptors: the
  // object is then not Valid (CreateError says why), and its owner must not
  // rely on it to wake a sleeper.
  TWakeEvent();

  bool Valid() const { return Fd.Valid(); }
  int CreateError() const { return Error; }

  // Makes Descriptor readable (once, however often it is called).
  void Signal();
  // Makes it unreadable again; the waiter calls this after waking.
  void Clear();
  int Descriptor() const { return Fd.Get(); }

 private:
  TDescriptor Fd;
  int Error = 0;
};

}  // namespace logserver

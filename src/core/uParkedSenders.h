// Senders whose messages cost the writer long (each makes new directories
// and files, say) wait in a line of their own, served a slice at a time
// between everybody else's elements, so that one sender cannot keep the
// others' lines waiting behind its own. A sender's order is kept: once it
// waits here, every element of it does (connects and closes too), until
// its line is empty.
//
// Threading: the main thread only (the dispatch's). Ownership: it owns the
// elements it holds.
#pragma once

#include "core/uLogQueue.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace logserver {

class TParkedSenders {
 public:
  // An element that took the writer this long, and made new paths, sends
  // its sender's next ones here.
  static constexpr std::uint64_t kSlowElementMs = 20;
  // What the writer spends on waiting senders between two pops.
  static constexpr std::uint64_t kSliceMs = 50;
  // Beyond this, nothing more is taken from the queue until the waiting
  // elements are written (the queue's bounds then hold the senders back).
  static constexpr std::size_t kMaxBytes = 16u * 1024 * 1024;

  bool Empty() const { return Lines.empty(); }
  bool Full() const { return Bytes >= kMaxBytes; }
  std::size_t HeldBytes() const { return Bytes; }

  // Takes `element` when its sender waits here (true); leaves it otherwise.
  bool TakeIfWaiting(pLogQueueElement& element);
  // The sender of `element` waits here from now on, while it has elements
  // here (the rest of a popped batch, later pops).
  void Hold(const tLogQueueElement& element);
  // The next element, senders in turn; null when none is left. A sender
  // whose line is empty is let go.
  pLogQueueElement Next();

 private:
  static std::string KeyOf(const tLogQueueElement& element);

  std::unordered_map<std::string, std::deque<pLogQueueElement>> Lines;
  std::vector<std::string> Turns;  // the senders in the order they are served
  std::size_t Turn = 0;
  std::size_t Bytes = 0;
};

}  // namespace logserver

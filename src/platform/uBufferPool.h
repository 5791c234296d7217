// Byte buffers handed back and forth between threads: one thread fills a
// buffer, another empties it and gives it back, so that the message path
// allocates (and faults in) nothing in steady state. Thread-safe.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace logserver {

class TBufferPool {
 public:
  // Buffers kept for reuse at most, and the largest one kept.
  static constexpr std::size_t kKept = 64;
  static constexpr std::size_t kLargest = 256 * 1024;

  // The pool the message path shares.
  static TBufferPool& Shared() {
    static TBufferPool pool;
    return pool;
  }

  // A buffer with room from an earlier use when there is one. Its size and
  // bytes are whatever they were: resizing it within what it had costs
  // nothing, which is the point.
  std::string Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return std::string();
    std::string buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
  }

  // Keeps the buffer for a later Take, unless enough are kept.
  void Give(std::string&& buffer) {
    if (buffer.capacity() < 1024 || buffer.capacity() > kLargest) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(buffer));
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> free_;  // guarded by mutex_
};

}  // namespace logserver

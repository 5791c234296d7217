// Byte buffers handed from thread to thread and reused: one thread fills a
// buffer, another empties it, and when the buffer dies it goes back to the
// pool it came from, so that the message path allocates (and faults in)
// nothing in steady state.
//
// Ownership: a TPooledBuffer owns its bytes and is move-only; its pool is
// borrowed, and must outlive every buffer taken from it (the service core
// creates the pool before, and frees it after, everything that carries
// buffers). TBufferPool is thread-safe; a buffer is used by one thread at a
// time.
#pragma once

#include "platform/uSync.h"

#include <cstddef>
#include <string>
#include <vector>

namespace logserver {

class TBufferPool;

class TPooledBuffer {
 public:
  TPooledBuffer() = default;
  // Bytes that belong to no pool.
  explicit TPooledBuffer(std::string bytes) : Storage(std::move(bytes)) {}
  TPooledBuffer(TPooledBuffer&& other) noexcept
      : Pool(other.Pool), Storage(std::move(other.Storage)) {
    other.Pool = nullptr;
  }
  TPooledBuffer& operator=(TPooledBuffer&& other) noexcept;
  TPooledBuffer(const TPooledBuffer&) = delete;
  TPooledBuffer& operator=(const TPooledBuffer&) = delete;
  ~TPooledBuffer() { GiveBack(); }

  // The bytes; their size and content are the holder's to set. A buffer
  // from a pool starts with whatever size and room its last use left.
  std::string& Bytes() { return Storage; }
  const std::string& Bytes() const { return Storage; }
  std::size_t Size() const { return Storage.size(); }

 private:
  friend class TBufferPool;
  TPooledBuffer(TBufferPool* pool, std::string bytes) : Pool(pool), Storage(std::move(bytes)) {}
  void GiveBack() noexcept;

  TBufferPool* Pool = nullptr;
  std::string Storage;
};

class TBufferPool {
 public:
  // Buffers kept for reuse at most, and the largest one kept.
  static constexpr std::size_t kKept = 64;
  static constexpr std::size_t kLargest = 256 * 1024;

  TBufferPool() { Free.reserve(kKept); }
  TBufferPool(const TBufferPool&) = delete;
  TBufferPool& operator=(const TBufferPool&) = delete;

  // A buffer with room from an earlier use when there is one.
  TPooledBuffer Take() EXCLUDES(Guard);
  // From `pool`, or a new buffer of no pool when `pool` is null.
  static TPooledBuffer TakeFrom(TBufferPool* pool) {
    return pool != nullptr ? pool->Take() : TPooledBuffer();
  }
  std::size_t KeptBuffers() EXCLUDES(Guard);

 private:
  friend class TPooledBuffer;
  // Keeps the bytes for a later Take, unless enough are kept or they are
  // too small or too large to be worth it.
  void Give(std::string&& bytes) noexcept EXCLUDES(Guard);

  TMutex Guard;
  std::vector<std::string> Free GUARDED_BY(Guard);  // room for kKept, reserved
};

inline TPooledBuffer& TPooledBuffer::operator=(TPooledBuffer&& other) noexcept {
  if (this != &other) {
    GiveBack();
    Pool = other.Pool;
    Storage = std::move(other.Storage);
    other.Pool = nullptr;
  }
  return *this;
}

inline void TPooledBuffer::GiveBack() noexcept {
  if (Pool == nullptr) return;
  Pool->Give(std::move(Storage));
  Pool = nullptr;
  Storage = std::string();
}

inline TPooledBuffer TBufferPool::Take() {
  TMutexLock lock(Guard);
  if (Free.empty()) return TPooledBuffer(this, std::string());
  std::string bytes = std::move(Free.back());
  Free.pop_back();
  return TPooledBuffer(this, std::move(bytes));
}

inline std::size_t TBufferPool::KeptBuffers() {
  TMutexLock lock(Guard);
  return Free.size();
}

inline void TBufferPool::Give(std::string&& bytes) noexcept {
  if (bytes.capacity() < 1024 || bytes.capacity() > kLargest) return;
  TMutexLock lock(Guard);
  // Within the reserved room: push_back does not allocate, so cannot throw.
  if (Free.size() < kKept) Free.push_back(std::move(bytes));
}

}  // namespace logserver

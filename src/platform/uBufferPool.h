// Byte buffers handed from thread to thread and reused: one thread fills a
// buffer, another empties it, and when the buffer dies it goes back to the
// pool it came from, so that the message path allocates (and faults in)
// nothing in steady state.
//
// A buffer's room is not zero-filled when it grows: a read fills what it
// needs, and a 64 KiB buffer made ready for a read of 6 KiB costs nothing
// for the rest.
//
// Ownership: a TPooledBuffer owns its bytes and is move-only; its pool is
// borrowed, and must outlive every buffer taken from it (the service core
// creates the pool before, and frees it after, everything that carries
// buffers). TBufferPool is thread-safe; a buffer is used by one thread at a
// time.
#pragma once

#include "platform/uSync.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace logserver {

class TBufferPool;

class TPooledBuffer {
 public:
  TPooledBuffer() = default;
  // A copy of `bytes` that belongs to no pool.
  explicit TPooledBuffer(std::string_view bytes) { Assign(bytes.data(), bytes.size()); }
  TPooledBuffer(TPooledBuffer&& other) noexcept
      : Pool(other.Pool),
        Storage(std::move(other.Storage)),
        Length(other.Length),
        Room(other.Room) {
    other.Forget();
  }
  TPooledBuffer& operator=(TPooledBuffer&& other) noexcept;
  TPooledBuffer(const TPooledBuffer&) = delete;
  TPooledBuffer& operator=(const TPooledBuffer&) = delete;
  ~TPooledBuffer() { GiveBack(); }

  char* Data() { return Storage.get(); }
  const char* Data() const { return Storage.get(); }
  std::size_t Size() const { return Length; }
  std::size_t Capacity() const { return Room; }
  std::string_view View() const { return {Storage.get(), Length}; }

  // Makes the size `size`: the bytes up to the old size stay, new ones are
  // unset. Grows the room by doubling.
  void Resize(std::size_t size) {
    if (size > Room) Grow(size);
    Length = size;
  }
  void Assign(const char* data, std::size_t size) {
    Resize(size);
    if (size > 0) std::memcpy(Storage.get(), data, size);
  }
  void Append(const char* data, std::size_t size) {
    const std::size_t at = Length;
    Resize(Length + size);
    if (size > 0) std::memcpy(Storage.get() + at, data, size);
  }
  // Drops the first `count` bytes.
  void Erase(std::size_t count) {
    if (count >= Length) {
      Length = 0;
      return;
    }
    std::memmove(Storage.get(), Storage.get() + count, Length - count);
    Length -= count;
  }

 private:
  friend class TBufferPool;
  void Grow(std::size_t size) {
    std::size_t room = Room < 64 ? 64 : Room;
    while (room < size) room *= 2;
    std::unique_ptr<char[]> grown(new char[room]);
    if (Length > 0) std::memcpy(grown.get(), Storage.get(), Length);
    Storage = std::move(grown);
    Room = room;
  }
  void Forget() {
    Pool = nullptr;
    Length = 0;
    Room = 0;
  }
  void GiveBack() noexcept;

  TBufferPool* Pool = nullptr;
  std::unique_ptr<char[]> Storage;
  std::size_t Length = 0;
  std::size_t Room = 0;
};

class TBufferPool {
 public:
  // Buffers kept for reuse at most, and the largest one kept.
  static constexpr std::size_t kKept = 64;
  static constexpr std::size_t kLargest = 256 * 1024;

  TBufferPool() { Free.reserve(kKept); }
  TBufferPool(const TBufferPool&) = delete;
  TBufferPool& operator=(const TBufferPool&) = delete;

  // A buffer with room from an earlier use when there is one; its size is 0.
  TPooledBuffer Take() EXCLUDES(Guard);
  // From `pool`, or a new buffer of no pool when `pool` is null.
  static TPooledBuffer TakeFrom(TBufferPool* pool) {
    return pool != nullptr ? pool->Take() : TPooledBuffer();
  }
  std::size_t KeptBuffers() EXCLUDES(Guard);

 private:
  friend class TPooledBuffer;
  struct TRoom {
    std::unique_ptr<char[]> Storage;
    std::size_t Size = 0;
  };
  // Keeps the room for a later Take, unless enough are kept or it is too
  // small or too large to be worth it.
  void Give(std::unique_ptr<char[]>& storage, std::size_t room) noexcept EXCLUDES(Guard);

  TMutex Guard;
  std::vector<TRoom> Free GUARDED_BY(Guard);  // room for kKept, reserved
};

inline TPooledBuffer& TPooledBuffer::operator=(TPooledBuffer&& other) noexcept {
  if (this != &other) {
    GiveBack();
    Pool = other.Pool;
    Storage = std::move(other.Storage);
    Length = other.Length;
    Room = other.Room;
    other.Forget();
  }
  return *this;
}

inline void TPooledBuffer::GiveBack() noexcept {
  if (Pool != nullptr) Pool->Give(Storage, Room);
  Storage.reset();
  Forget();
}

inline TPooledBuffer TBufferPool::Take() {
  TPooledBuffer buffer;
  buffer.Pool = this;
  TMutexLock lock(Guard);
  if (Free.empty()) return buffer;
  buffer.Storage = std::move(Free.back().Storage);
  buffer.Room = Free.back().Size;
  Free.pop_back();
  return buffer;
}

inline std::size_t TBufferPool::KeptBuffers() {
  TMutexLock lock(Guard);
  return Free.size();
}

inline void TBufferPool::Give(std::unique_ptr<char[]>& storage, std::size_t room) noexcept {
  if (room < 1024 || room > kLargest) return;
  TMutexLock lock(Guard);
  // Within the reserved room: push_back does not allocate, so cannot throw.
  if (Free.size() < kKept) Free.push_back(TRoom{std::move(storage), room});
}

}  // namespace logserver

// The one owner of an operating-system descriptor (socket, file): closes it
// when destroyed, moves but never copies, and hands it over with Release().
// Every descriptor of the service is held by one of these, so this class's
// Reset() is the only place that closes one.
//
// Not thread-safe: an object is used by one thread at a time, or under its
// owner's lock.
#pragma once

namespace logserver {

class TDescriptor {
 public:
  TDescriptor() noexcept = default;
  explicit TDescriptor(int fd) noexcept : Fd(fd) {}
  ~TDescriptor() { Reset(); }

  TDescriptor(TDescriptor&& other) noexcept : Fd(other.Release()) {}
  TDescriptor& operator=(TDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;

  // The descriptor, or -1; still owned here.
  int Get() const noexcept { return Fd; }
  bool Valid() const noexcept { return Fd >= 0; }
  explicit operator bool() const noexcept { return Valid(); }

  // Gives the descriptor up without closing it; this object is empty after.
  int Release() noexcept {
    const int fd = Fd;
    Fd = -1;
    return fd;
  }

  // Closes the descriptor held (errno is kept) and takes `fd` instead.
  void Reset(int fd = -1) noexcept;

 private:
  int Fd = -1;
};

}  // namespace logserver

// A run of byte units packed into one buffer: each unit is its length (u32,
// little-endian) followed by its bytes. Hands many small units from one
// thread to another with one buffer instead of one allocation per unit.
//
// This header is the one place that knows the format: the writers (a
// filter that turns frames into units where they lie, a builder that
// appends) use WriteUnitHeader or AppendUnit, the readers ForEachUnit, and
// the count of units travels with the bytes in TUnitRun.
#pragma once

#include "platform/uBufferPool.h"
#include "platform/uByteOrder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace logserver {

// The bytes in front of every unit.
constexpr std::size_t kUnitHeaderBytes = 4;

// Writes the header of a unit of `size` bytes at `at`; the unit's bytes
// follow it.
inline void WriteUnitHeader(char* at, std::size_t size) {
  PutU32LE(at, static_cast<std::uint32_t>(size));
}

inline void AppendUnit(TPooledBuffer& run, const char* data, std::size_t size) {
  char header[kUnitHeaderBytes];
  WriteUnitHeader(header, size);
  run.Append(header, sizeof header);
  run.Append(data, size);
}

// Calls `f(data, size)` for every unit of `run`, in order; a torn end (which
// the writers never leave) is ignored.
template <class F>
void ForEachUnit(std::string_view run, F f) {
  std::size_t pos = 0;
  while (run.size() - pos >= kUnitHeaderBytes) {
    const std::size_t size = GetU32LE(run.data() + pos);
    pos += kUnitHeaderBytes;
    if (run.size() - pos < size) return;
    f(run.data() + pos, size);
    pos += size;
  }
}

// A run with the number of its units, as it travels between threads.
struct TUnitRun {
  TPooledBuffer Bytes;
  std::size_t Units = 0;

  // Appends one unit and counts it.
  void Append(const char* data, std::size_t size) {
    AppendUnit(Bytes, data, size);
    ++Units;
  }
  template <class F>
  void ForEach(F f) const {
    ForEachUnit(Bytes.View(), f);
  }
};

}  // namespace logserver

// A run of byte units packed into one string: each unit is its length
// (u32, little-endian) followed by its bytes. Hands many small units from
// one thread to another with one allocation instead of one per unit.
#pragma once

#include "platform/uByteOrder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace logserver {

inline void AppendUnit(std::string& run, const char* data, std::size_t size) {
  char length[4];
  PutU32LE(length, static_cast<std::uint32_t>(size));
  run.append(length, sizeof length);
  run.append(data, size);
}

// Calls `f(data, size)` for every unit of `run`, in order; a torn end (which
// AppendUnit never leaves) is ignored.
template <class F>
void ForEachUnit(std::string_view run, F f) {
  std::size_t pos = 0;
  while (run.size() - pos >= 4) {
    const std::size_t size = GetU32LE(run.data() + pos);
    pos += 4;
    if (run.size() - pos < size) return;
    f(run.data() + pos, size);
    pos += size;
  }
}

}  // namespace logserver

// The little-endian, length-prefixed fields the stream's batches and the
// spool's entries are made of, written and read; what this module's files
// share, nothing outside src/stream includes it.
#pragma once

#include "platform/uByteOrder.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace logserver::stream_wire {

inline void PutU32(std::string& out, std::uint32_t value) {
  char bytes[4];
  PutU32LE(bytes, value);
  out.append(bytes, 4);
}

inline void PutU64(std::string& out, std::uint64_t value) {
  char bytes[8];
  PutU64LE(bytes, value);
  out.append(bytes, 8);
}

inline void PutDouble(std::string& out, double value) {
  char bytes[8];
  PutF64LE(bytes, value);
  out.append(bytes, 8);
}

inline void PutField(std::string& out, std::string_view field) {
  PutU32(out, static_cast<std::uint32_t>(field.size()));
  out.append(field);
}

// Reads length-prefixed fields from a body whose size is known; any overrun
// makes the whole thing invalid.
class TFieldReader {
 public:
  explicit TFieldReader(std::string_view body) : Body(body) {}
  bool Field(std::string_view& out) {
    std::uint32_t size = 0;
    if (!U32(size) || Body.size() < size) return false;
    out = Body.substr(0, size);
    Body.remove_prefix(size);
    return true;
  }
  bool Field(std::string& out) {
    std::string_view view;
    if (!Field(view)) return false;
    out.assign(view);
    return true;
  }
  bool U32(std::uint32_t& out) {
    if (Body.size() < 4) return false;
    out = GetU32LE(Body.data());
    Body.remove_prefix(4);
    return true;
  }
  bool U64(std::uint64_t& out) {
    if (Body.size() < 8) return false;
    out = GetU64LE(Body.data());
    Body.remove_prefix(8);
    return true;
  }
  bool Double(double& out) {
    if (Body.size() < 8) return false;
    out = GetF64LE(Body.data());
    Body.remove_prefix(8);
    return true;
  }
  std::string_view Rest() const { return Body; }
  bool Done() const { return Body.empty(); }

 private:
  std::string_view Body;
};

}  // namespace logserver::stream_wire

// Reads and writes of fixed-size integers and doubles in a given byte order,
// on byte buffers. Records that cross the network or a library boundary are
// always read and written through these, never by casting a buffer to a
// struct. The caller has checked that the bytes are there.
#pragma once

#include <cstdint>
#include <cstring>

namespace logserver {

inline std::uint16_t GetU16BE(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline void PutU16BE(void* at, std::uint16_t v) {
  auto* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

inline std::uint32_t GetU32LE(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void PutU32LE(void* at, std::uint32_t v) {
  auto* p = static_cast<unsigned char*>(at);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline std::uint64_t GetU64LE(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline void PutU64LE(void* at, std::uint64_t v) {
  auto* p = static_cast<unsigned char*>(at);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// IEEE-754 doubles travel as their 64-bit pattern.
inline double GetF64LE(const void* at) {
  const std::uint64_t bits = GetU64LE(at);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline void PutF64LE(void* at, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  PutU64LE(at, bits);
}

}  // namespace logserver

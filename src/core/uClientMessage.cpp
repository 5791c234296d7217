// Decoding and building of client log messages.
#include "core/uMainThread.h"

#include <cstring>

namespace logserver {

namespace {

std::uint32_t ReadU32(const std::string& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return v;
}

double ReadF64(const std::string& bytes, std::size_t offset) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(bytes[offset + i]);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

void WriteU32(std::string& bytes, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(v >> (8 * i));
}

void WriteF64(std::string& bytes, std::size_t offset, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  for (int i = 0; i < 8; ++i) bytes[offset + i] = static_cast<char>(bits >> (8 * i));
}

// A string must end within MessageSize (the sum taken without overflow) and
// within the bytes actually received.
bool ExtractString(const std::string& payload, std::uint32_t messageSize, std::size_t field,
                   std::string& out) {
  const std::uint64_t offset = ReadU32(payload, field);
  const std::uint64_t length = ReadU32(payload, field + 4);
  const std::uint64_t end = offset + length;
  if (end > messageSize || end > payload.size()) return false;
  out.assign(payload, static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  return true;
}

}  // namespace

bool DecodeClientLogMessage(const std::string& payload, tClientLogMessage& message) {
  if (payload.size() < kClientMessageHeadSize) return false;
  if (payload[0] != 0) return false;
  if (payload.size() < kClientLogMessageFixedSize) return false;
  const std::uint32_t messageSize = ReadU32(payload, 1);
  message.EventTime = ReadF64(payload, 29);
  return ExtractString(payload, messageSize, 5, message.ApplicationName) &&
         ExtractString(payload, messageSize, 13, message.ModuleName) &&
         ExtractString(payload, messageSize, 21, message.FilePrefix) &&
         ExtractString(payload, messageSize, 37, message.Text);
}

std::string BuildClientLogMessage(const tClientLogMessage& message) {
  std::string bytes(kClientLogMessageFixedSize, '\0');
  auto place = [&bytes](std::size_t field, const std::string& value) {
    WriteU32(bytes, field, static_cast<std::uint32_t>(bytes.size()));
    WriteU32(bytes, field + 4, static_cast<std::uint32_t>(value.size()));
    bytes += value;
  };
  place(5, message.ApplicationName);
  place(13, message.ModuleName);
  place(21, message.FilePrefix);
  WriteF64(bytes, 29, message.EventTime);
  place(37, message.Text);
  WriteU32(bytes, 1, static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

}  // namespace logserver

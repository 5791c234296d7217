#include "core/uClientMessage.h"

#include "platform/uByteOrder.h"

#include <cstdint>

namespace logserver {

namespace {

// A string must end within MessageSize (the sum taken without overflow) and
// within the bytes actually received.
bool ExtractString(std::string_view payload, std::uint32_t messageSize, std::size_t field,
                   std::string& out) {
  const std::uint64_t offset = GetU32LE(payload.data() + field);
  const std::uint64_t length = GetU32LE(payload.data() + field + 4);
  const std::uint64_t end = offset + length;
  if (end > messageSize || end > payload.size()) return false;
  out.assign(payload.data() + offset, static_cast<std::size_t>(length));
  return true;
}

}  // namespace

bool DecodeClientLogMessage(std::string_view payload, tClientLogMessage& message) {
  if (payload.size() < kClientMessageHeadSize) return false;
  if (payload[0] != 0) return false;
  if (payload.size() < kClientLogMessageFixedSize) return false;
  const std::uint32_t messageSize = GetU32LE(payload.data() + 1);
  message.EventTime = GetF64LE(payload.data() + 29);
  return ExtractString(payload, messageSize, 5, message.ApplicationName) &&
         ExtractString(payload, messageSize, 13, message.ModuleName) &&
         ExtractString(payload, messageSize, 21, message.FilePrefix) &&
         ExtractString(payload, messageSize, 37, message.Text);
}

std::string BuildClientLogMessage(const tClientLogMessage& message) {
  std::string bytes(kClientLogMessageFixedSize, '\0');
  auto place = [&bytes](std::size_t field, const std::string& value) {
    PutU32LE(bytes.data() + field, static_cast<std::uint32_t>(bytes.size()));
    PutU32LE(bytes.data() + field + 4, static_cast<std::uint32_t>(value.size()));
    bytes += value;
  };
  place(5, message.ApplicationName);
  place(13, message.ModuleName);
  place(21, message.FilePrefix);
  PutF64LE(bytes.data() + 29, message.EventTime);
  place(37, message.Text);
  PutU32LE(bytes.data() + 1, static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

}  // namespace logserver

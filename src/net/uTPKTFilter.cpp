#include "net/uTPKTFilter.h"

#include "platform/uByteOrder.h"

namespace logserver {

std::unique_ptr<tEmptyReceiveFilter> tEmptyReceiveFilter::Create() {
  return std::unique_ptr<tEmptyReceiveFilter>(new tEmptyReceiveFilter());
}

int tEmptyReceiveFilter::BytesNeeded() { return kMaxChunk; }

std::string tEmptyReceiveFilter::Encode(const char* Data, int Size) {
  return Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string();
}

std::string tEmptyReceiveFilter::Decode(const char* Data, int Size, bool& More) {
  More = false;
  return Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string();
}

std::unique_ptr<tEmptyReceiveFilter> tTPKTReceiveFilter::Create() {
  return std::unique_ptr<tEmptyReceiveFilter>(new tTPKTReceiveFilter());
}

int tTPKTReceiveFilter::BytesNeeded() {
  const std::size_t held = Buffered();
  if (held < 4) return static_cast<int>(4 - held);
  const int length = GetU16BE(Buffer.data() + Start + 2);
  const int missing = length - static_cast<int>(held);
  return missing <= 0 ? 4 : missing;
}

std::string tTPKTReceiveFilter::Encode(const char* Data, int Size) {
  if (Size < 0 || Size + 4 > kMaxFrame) return std::string();
  std::string frame(4, '\0');
  frame[0] = static_cast<char>(3);
  PutU16BE(frame.data() + 2, static_cast<std::uint16_t>(Size + 4));
  if (Size > 0) frame.append(Data, static_cast<std::size_t>(Size));
  return frame;
}

std::string tTPKTReceiveFilter::Decode(const char* Data, int Size, bool& More) {
  if (Size > 0) {
    if (Start > 0) {
      Buffer.erase(0, Start);
      Start = 0;
    }
    Buffer.append(Data, static_cast<std::size_t>(Size));
  }
  return ExtractFrame(More);
}

std::string tTPKTReceiveFilter::ExtractFrame(bool& More) {
  More = false;
  std::string unit;
  while (Buffered() >= 4) {
    const unsigned char version = static_cast<unsigned char>(Buffer[Start]);
    const unsigned char reserved = static_cast<unsigned char>(Buffer[Start + 1]);
    const std::size_t length = GetU16BE(Buffer.data() + Start + 2);
    // A wrong start, or a length that cannot even hold the header, is no
    // frame: skip two bytes and look again, so every call makes progress.
    if (version != Header || reserved != 0 || length < 4) {
      Start += 2;
      continue;
    }
    if (Buffered() < length) break;
    unit.assign(Buffer, Start + 4, length - 4);
    Start += length;
    More = Buffered() >= 4;
    break;
  }
  if (Start == Buffer.size()) {
    Buffer.clear();
    Start = 0;
  }
  return unit;
}

std::string BuildTpktFrame(const std::string& payload) {
  auto filter = tTPKTReceiveFilter::Create();
  return filter->Encode(payload.data(), static_cast<int>(payload.size()));
}

}  // namespace logserver

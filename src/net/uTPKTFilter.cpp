#include "net/uTPKTFilter.h"

#include "platform/uByteOrder.h"
#include "platform/uUnitRun.h"

#include <algorithm>
#include <cstring>

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

std::size_t tEmptyReceiveFilter::DecodeRun(TPooledBuffer& Run, std::size_t Offset,
                                           std::size_t Size) {
  // A read is one unit: its header goes into the room before it.
  if (Size == 0 || Offset < kUnitHeaderBytes) {
    Run.Resize(0);
    return 0;
  }
  WriteUnitHeader(Run.Data() + Offset - kUnitHeaderBytes, Size);
  Run.Resize(Offset + Size);
  Run.Erase(Offset - kUnitHeaderBytes);
  return 1;
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

void tTPKTReceiveFilter::Append(const char* Data, std::size_t Size) {
  if (Start > 0) {
    Buffer.erase(0, Start);
    Start = 0;
  }
  Buffer.append(Data, Size);
}

std::string tTPKTReceiveFilter::Decode(const char* Data, int Size, bool& More) {
  if (Size > 0) Append(Data, static_cast<std::size_t>(Size));
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
      Skipped += 2;
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

std::size_t tTPKTReceiveFilter::DecodeRun(TPooledBuffer& Run, std::size_t Offset,
                                          std::size_t Size) {
  // The frame begun in the read before goes in front of the new bytes.
  if (Offset > 0) std::memcpy(Run.Data(), Buffer.data() + Start, Offset);
  Buffer.clear();
  Start = 0;
  char* bytes = Run.Data();
  const std::size_t total = Offset + Size;
  std::size_t read = 0, write = 0, count = 0;
  // By the rules of ExtractFrame: a bad start skips two bytes.
  while (total - read >= 4) {
    const char* p = bytes + read;
    const std::size_t length = GetU16BE(p + 2);
    if (static_cast<unsigned char>(p[0]) != Header || p[1] != 0 || length < 4) {
      read += 2;
      Skipped += 2;
      continue;
    }
    if (total - read < length) break;
    if (length > 4) {
      // The TPKT header (4 bytes) becomes the unit's header (as many): the
      // length is read before it is overwritten, and after skipped bytes
      // the payload moves down to close the gap.
      static_assert(kUnitHeaderBytes == 4, "a unit header takes a TPKT header's place");
      WriteUnitHeader(bytes + write, length - 4);
      if (write != read) std::memmove(bytes + write + 4, p + 4, length - 4);
      write += length;
      ++count;
    }
    read += length;
  }
  // An incomplete frame waits for the next read in a buffer about its
  // size; an idle connection keeps no large buffer.
  const std::size_t rest = total - read;
  if (Buffer.capacity() > rest + 4096)
    std::string(bytes + read, rest).swap(Buffer);
  else
    Buffer.assign(bytes + read, rest);
  Run.Resize(write);
  return count;
}

std::string BuildTpktFrame(const std::string& payload) {
  auto filter = tTPKTReceiveFilter::Create();
  return filter->Encode(payload.data(), static_cast<int>(payload.size()));
}

}  // namespace logserver

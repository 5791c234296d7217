// The TPKT decoder fed the way a connection feeds it: the input is cut into
// reads (each first byte gives the next read's length), and after each read
// Decode is called again for as long as it asks to. DecodeRun, which cuts
// the frames of a read in place, must give the very same units.
#include "net/uTPKTFilter.h"
#include "platform/uUnitRun.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace logserver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto base = tTPKTReceiveFilter::Create();
  auto& filter = static_cast<tTPKTReceiveFilter&>(*base);
  auto inPlace = tTPKTReceiveFilter::Create();
  std::vector<std::string> units, fromPlace;
  std::size_t pos = 0;
  std::size_t consumed = 0;  // bytes handed to the filter
  std::size_t framed = 0;    // bytes accounted for by returned units (header included)
  while (pos < size) {
    const std::size_t want = static_cast<std::size_t>(data[pos++]) * 257 % 65533 + 1;
    const std::size_t length = want < size - pos ? want : size - pos;
    const char* read = reinterpret_cast<const char*>(data + pos);
    const std::size_t head = inPlace->HeadRoom();
    TPooledBuffer buffer(std::string(head, '?') + std::string(read, length));
    inPlace->DecodeRun(buffer, head, length);
    ForEachUnit(buffer.View(), [&](const char* p, std::size_t n) { fromPlace.emplace_back(p, n); });
    bool more = false;
    std::string unit = filter.Decode(read, static_cast<int>(length), more);
    consumed += length;
    pos += length;
    for (;;) {
      if (unit.size() > 65531) std::abort();  // larger than any frame can carry
      if (!unit.empty()) {
        framed += unit.size() + 4;
        units.push_back(unit);
      }
      if (!more) break;
      const std::size_t before = filter.Buffered();
      unit = filter.Decode(nullptr, 0, more);
      // A call that asks for another must have made progress.
      if (more && filter.Buffered() >= before) std::abort();
    }
    if (framed + filter.Buffered() > consumed) std::abort();
    if (filter.Buffered() > 65534 + 65533) std::abort();
    if (filter.BytesNeeded() <= 0) std::abort();
  }
  if (fromPlace != units) std::abort();
  // What is encoded decodes to itself.
  const std::size_t n = size < 65531 ? size : 65531;
  const std::string frame = filter.Encode(reinterpret_cast<const char*>(data), static_cast<int>(n));
  auto fresh = tTPKTReceiveFilter::Create();
  bool more = false;
  const std::string back = fresh->Decode(frame.data(), static_cast<int>(frame.size()), more);
  if (n > 0 && back != std::string(reinterpret_cast<const char*>(data), n)) std::abort();
  return 0;
}

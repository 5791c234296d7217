// Date-time masks: the first eight bytes are the value, the rest the mask.
// The result is capped, and the only failure is the documented error.
#include "base/uDateTimeMask.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace logserver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  double value = 0.0;
  if (size >= sizeof value) {
    std::memcpy(&value, data, sizeof value);
    data += sizeof value;
    size -= sizeof value;
  }
  const std::string mask(reinterpret_cast<const char*>(data), size);
  try {
    if (FormatDateTime(mask, value).size() > 255) std::abort();
  } catch (const EConvertError& error) {
    if (std::string(error.what()) != "Illegal character in format string") std::abort();
  }
  return 0;
}

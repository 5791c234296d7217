// The client log message decoder on arbitrary payloads.
#include "core/uClientMessage.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace logserver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  tClientLogMessage message;
  if (!DecodeClientLogMessage(payload, message)) return 0;
  if (size < kClientLogMessageFixedSize) std::abort();
  const std::size_t strings = message.ApplicationName.size() + message.ModuleName.size() +
                              message.FilePrefix.size() + message.Text.size();
  // Strings may overlap, but none can be longer than what was received.
  if (message.ApplicationName.size() > size || message.ModuleName.size() > size ||
      message.FilePrefix.size() > size || message.Text.size() > size || strings > 4 * size)
    std::abort();
  // Rebuilding the decoded message gives the same fields back.
  tClientLogMessage again;
  if (!DecodeClientLogMessage(BuildClientLogMessage(message), again)) std::abort();
  if (again.ApplicationName != message.ApplicationName || again.ModuleName != message.ModuleName ||
      again.FilePrefix != message.FilePrefix || again.Text != message.Text)
    std::abort();
  return 0;
}

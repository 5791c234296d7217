// Client log messages: the record a TCP client sends as the payload of one
// TPKT frame. Pure functions; thread-safe.
//
// All multi-byte fields are little-endian. tClientMessage, the 5-byte head:
// MessageType (u8, 0 = log message) and MessageSize (u32, the whole message,
// head included). tClientLogMessage, type 0: the head, then the offset and
// length (u32 each) of the application name (5, 9), module name (13, 17) and
// file prefix (21, 25), EventTime (f64 at 29), and the text (37, 41); 45
// bytes in all, followed by the string bytes anywhere within MessageSize.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace logserver {

constexpr std::size_t kClientMessageHeadSize = 5;
constexpr std::size_t kClientLogMessageFixedSize = 45;

struct tClientLogMessage {
  std::string ApplicationName;
  std::string ModuleName;
  std::string FilePrefix;
  std::string Text;
  double EventTime = 0.0;
};

// Decodes one client message. False for anything that must be dropped: too
// short, another MessageType, or a string that does not end within
// MessageSize or within the received bytes (nothing is read beyond them).
bool DecodeClientLogMessage(std::string_view payload, tClientLogMessage& message);

// Builds the client message for `message`: the fixed part, then the strings in
// the order application, module, prefix, text.
std::string BuildClientLogMessage(const tClientLogMessage& message);

}  // namespace logserver

// Syslog messages cut from a byte stream, both framings a sender may use
// (told apart per message): a message that starts with a digit is
// octet-counted ("LEN SP MSG"); any other ends at LF or NUL (a CR before the
// LF stays with the message, and is trimmed with the other trailing
// blanks when it is stored).
//
// A message keeps at most its first `maxMessage` bytes, as a datagram
// does; the rest is read and dropped, and the message counted as cut. An
// octet count above `maxCount`, a count of more than ten digits or of 0,
// anything but digits before the space, or a stream that ends inside an
// octet-counted message is a framing error: the stream is broken and the
// connection must be closed. The claimed size is never allocated.
//
// One framer per connection, used by one thread at a time.
#pragma once

#include "platform/uUnitRun.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace logserver {

class TSyslogFramer {
 public:
  static constexpr std::size_t kMaxMessageBytes = 8192;
  static constexpr std::size_t kMaxCount = 64 * 1024;

  explicit TSyslogFramer(std::size_t maxMessage = kMaxMessageBytes, std::size_t maxCount = kMaxCount)
      : MaxMessage(maxMessage), MaxCount(maxCount) {}

  // Appends the messages `data` completes to `run`, one unit each. False on
  // a framing error (nothing more may be fed then).
  bool Feed(const char* data, std::size_t size, TUnitRun& run);
  // The stream ended: a line without its LF is a message; an octet-counted
  // message cut short, or a count without its message, is a framing error.
  bool Finish(TUnitRun& run);

  // Messages cut to maxMessage since the start.
  std::uint64_t CutMessages() const { return Cut; }
  // Bytes held for the message not yet ended.
  std::size_t Unfinished() const { return Message.size(); }

 private:
  static constexpr std::size_t kKeptCapacity = 256;
  enum class TState { Start, Count, Counted, Line };
  void Keep(const char* data, std::size_t size);
  void Emit(TUnitRun& run);

  const std::size_t MaxMessage;
  const std::size_t MaxCount;
  TState State = TState::Start;
  std::size_t Remaining = 0;  // Count: the count so far; Counted: bytes still to come
  std::size_t Digits = 0;
  bool Overlong = false;      // the current message lost bytes
  std::string Message;        // the current message, at most MaxMessage bytes
  std::uint64_t Cut = 0;
};

}  // namespace logserver

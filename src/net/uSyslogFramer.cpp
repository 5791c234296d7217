#include "net/uSyslogFramer.h"

#include <algorithm>
#include <cstring>

namespace logserver {

namespace {

// The end of an LF-framed message: LF, or NUL as some senders use.
const char* FindLineEnd(const char* from, const char* end) {
  for (const char* at = from; at < end; ++at)
    if (*at == '\n' || *at == '\0') return at;
  return nullptr;
}

}  // namespace

void TSyslogFramer::Keep(const char* data, std::size_t size) {
  const std::size_t room = MaxMessage - std::min(MaxMessage, Message.size());
  if (size > room) Overlong = true;
  Message.append(data, std::min(size, room));
}

void TSyslogFramer::Emit(TUnitRun& run) {
  if (Overlong) ++Cut;
  run.Append(Message.data(), Message.size());
  // A connection that goes quiet after a long message keeps no buffer
  // of that size; short ones keep theirs for the next.
  if (Message.capacity() > kKeptCapacity)
    std::string().swap(Message);
  else
    Message.clear();
  Overlong = false;
  State = TState::Start;
}

bool TSyslogFramer::Feed(const char* data, std::size_t size, TUnitRun& run) {
  const char* at = data;
  const char* const end = data + size;
  while (at < end) {
    switch (State) {
      case TState::Start:
        if (*at >= '0' && *at <= '9') {
          State = TState::Count;
          Remaining = 0;
          Digits = 0;
        } else if (*at == '\n' || *at == '\0') {
          ++at;  // an empty line (the LF after a NUL, say) is no message
        } else {
          State = TState::Line;
        }
        break;
      case TState::Count:
        if (*at >= '0' && *at <= '9') {
          // Ten digits at most, so the value cannot overflow before the
          // bound is checked.
          if (++Digits > 10) return false;
          Remaining = Remaining * 10 + static_cast<std::size_t>(*at - '0');
          if (Remaining > MaxCount) return false;
          ++at;
        } else if (*at == ' ' && Digits > 0 && Remaining > 0) {
          State = TState::Counted;
          ++at;
        } else {
          return false;
        }
        break;
      case TState::Counted: {
        const std::size_t take = std::min(Remaining, static_cast<std::size_t>(end - at));
        Keep(at, take);
        at += take;
        Remaining -= take;
        if (Remaining == 0) Emit(run);
        break;
      }
      case TState::Line: {
        const char* stop = FindLineEnd(at, end);
        if (stop == nullptr) {
          Keep(at, static_cast<std::size_t>(end - at));
          at = end;
          break;
        }
        if (Message.empty() && !Overlong && static_cast<std::size_t>(stop - at) <= MaxMessage) {
          // Whole in this read: no copy into Message first.
          run.Append(at, static_cast<std::size_t>(stop - at));
          State = TState::Start;
        } else {
          Keep(at, static_cast<std::size_t>(stop - at));
          Emit(run);
        }
        at = stop + 1;
        break;
      }
    }
  }
  return true;
}

bool TSyslogFramer::Finish(TUnitRun& run) {
  switch (State) {
    case TState::Line:
      Emit(run);
      return true;
    case TState::Count:
    case TState::Counted:
      return false;
    case TState::Start:
      break;
  }
  return true;
}

}  // namespace logserver

// forward.so: a producer library that sends every message it is given to a
// syslog collector as an RFC 5424 message, over UDP (one datagram each) or
// over TCP with RFC 6587 octet counting ("LEN SP MSG").
//
//   [Providers]
//   10.0.0.5|billing|core|=/opt/logserver/providers/forward.so tcp://collector:514
//
// The argument is tcp://HOST[:PORT] or udp://HOST[:PORT] (port 514 when left
// out). Messages wait in a bounded backlog (the oldest go first when it is
// full) and a thread of the library's own sends them, reconnecting with a
// growing pause after a lost connection, so add-message never waits for the
// network. At finalize the backlog gets two more seconds to drain.
//
// One entry per loaded library: a second initialize is refused, since
// add-message cannot tell entries apart (copy the file for a second entry).
#include "logserver/provider.h"

#include "platform/uBoundedQueue.h"
#include "platform/uSocket.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "platform/uTime.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace logserver;

constexpr std::size_t kBacklogLimit = 10000;
constexpr int kConnectTimeoutMs = 3000;
constexpr int kSendTimeoutMs = 5000;
constexpr int kFirstPauseMs = 100;
constexpr int kLongestPauseMs = 2000;
constexpr int kFlushMs = 2000;

struct TTarget {
  bool Tcp = false;
  std::string Host;
  std::uint16_t Port = 514;
};

bool ParseTarget(const std::string& text, TTarget& target) {
  std::string rest;
  if (text.rfind("tcp://", 0) == 0) {
    target.Tcp = true;
    rest = text.substr(6);
  } else if (text.rfind("udp://", 0) == 0) {
    rest = text.substr(6);
  } else {
    return false;
  }
  const std::size_t colon = rest.rfind(':');
  target.Host = rest.substr(0, colon);
  if (colon != std::string::npos) {
    char* end = nullptr;
    const long port = std::strtol(rest.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) return false;
    target.Port = static_cast<std::uint16_t>(port);
  }
  return !target.Host.empty();
}

// An RFC 5424 header field: printable US-ASCII only, bounded, "-" when empty.
std::string Field(const std::string& value, std::size_t limit) {
  std::string field;
  for (char c : value) {
    if (field.size() == limit) break;
    const auto u = static_cast<unsigned char>(c);
    field += (u >= 33 && u <= 126) ? c : '_';
  }
  return field.empty() ? "-" : field;
}

std::string Timestamp(double value) {
  const TDateTimeParts p = DecodeDateTime(value);
  if (p.Year < 1 || p.Year > 9999) return "-";
  const int offset = LocalUtcOffsetMinutes();
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                static_cast<int>(p.Year), p.Month, p.Day, p.Hour, p.Minute, p.Second,
                p.Millisecond, offset < 0 ? '-' : '+', (offset < 0 ? -offset : offset) / 60,
                (offset < 0 ? -offset : offset) % 60);
  return text;
}

class TForwarder : public TThread {
 public:
  TForwarder(TTarget target, const std::string& host, const std::string& app,
             const std::string& module)
      : TThread("ls-forward"),
        Target(std::move(target)),
        // <13>: facility user, severity notice.
        Header(" " + Field(host, 255) + " " + Field(app, 48) + " - " + Field(module, 32) + " - ") {}

  ~TForwarder() override {
    Terminate();
    Backlog.Release();
    WaitFor();
    Disconnect();
  }

  void Enqueue(double eventTime, double serverTime, const char* text) {
    std::string message = "<13>1 " + Timestamp(eventTime != 0.0 ? eventTime : serverTime) + Header;
    message += text;
    Backlog.PushEvicting(std::move(message));
  }

 protected:
  void Execute() override {
    std::uint32_t flushUntil = 0;
    for (;;) {
      if (Terminated()) {
        const std::uint32_t now = TickMilliseconds();
        if (flushUntil == 0) flushUntil = now + kFlushMs + 1000;
        if (Empty() || static_cast<std::int32_t>(now - flushUntil) >= 0) break;
      } else if (Sending.empty()) {
        // Sleeps until a message comes or the forwarder is stopped (the
        // destructor releases the backlog after setting the flag).
        Backlog.Pop(Sending, -1);
      }
      Drain();
    }
  }

 private:
  bool Empty() { return Sending.empty() && Backlog.Count() == 0; }

  // Sends what is waiting, oldest first; a message is dropped from Sending
  // only once it was sent whole.
  void Drain() {
    for (;;) {
      if (Sending.empty() && !Backlog.Pop(Sending, 0)) return;
      if (!Connected() && !Connect()) {
        Pause();
        return;
      }
      if (!Send(Sending)) {
        Disconnect();
        Pause();
        return;
      }
      PauseMs = kFirstPauseMs;
      Sending.clear();
    }
  }

  // A stream whose peer has gone reads as closed: notice that before a
  // write that the kernel would accept and then lose.
  bool Connected() {
    if (!Socket) return false;
    if (!Target.Tcp) return true;
    bool readable = false, writable = false;
    if (SocketWait(Socket.Get(), true, false, 0, readable, writable) > 0 && readable) {
      char scratch[512];
      if (SocketRead(Socket.Get(), scratch, sizeof scratch) <= 0) {
        Disconnect();
        return false;
      }
    }
    return true;
  }

  bool Connect() {
    Socket = Target.Tcp ? SocketConnectWithin(Target.Host, Target.Port, kConnectTimeoutMs)
                      : SocketConnectDatagram(Target.Host, Target.Port);
    // Without the time-out a collector that stops reading would hold this
    // thread in a send; such a connection is not used.
    if (Socket && Target.Tcp && SocketSetSendTimeout(Socket.Get(), kSendTimeoutMs) != 0)
      Socket.Reset();
    return Socket.Valid();
  }

  void Disconnect() { Socket.Reset(); }

  bool Send(const std::string& message) {
    const std::string frame =
        Target.Tcp ? std::to_string(message.size()) + " " + message : message;
    return SocketWriteAll(Socket.Get(), frame.data(), frame.size());
  }

  void Pause() {
    for (int waited = 0; waited < PauseMs && !Terminated(); waited += 50) SleepMilliseconds(50);
    if (Terminated()) SleepMilliseconds(50);
    PauseMs = PauseMs * 2 > kLongestPauseMs ? kLongestPauseMs : PauseMs * 2;
  }

  const TTarget Target;
  const std::string Header;
  // The oldest messages go when it is full; never more than the limit wait.
  TBoundedQueue<std::string> Backlog{kBacklogLimit};
  // The sending thread's: the message being sent (empty when none), its
  // connection, and the pause before the next attempt.
  std::string Sending;
  TDescriptor Socket;
  int PauseMs = kFirstPauseMs;
};

// The library's entry points carry no context, so its one forwarder is
// reached through this pair; the lock orders initialize, add-message and
// finalize, which the service calls from different threads.
TMutex gLock;
std::unique_ptr<TForwarder> gForwarder GUARDED_BY(gLock);

}  // namespace

extern "C" {

int LogProviderInitialize(const char* address, const char*, const char* application,
                          const char* module, const char*, const char* argument) {
  TMutexLock guard(gLock);
  if (gForwarder) return 2;
  TTarget target;
  if (!ParseTarget(argument ? argument : "", target)) return 1;
  gForwarder = std::make_unique<TForwarder>(target, address, application, module);
  return gForwarder->Start() == 0 ? 0 : 3;
}

void LogProviderAddMessage(double eventTime, double serverTime, const char* text) {
  TMutexLock guard(gLock);
  if (gForwarder) gForwarder->Enqueue(eventTime, serverTime, text ? text : "");
}

void LogProviderFinalize(void) {
  std::unique_ptr<TForwarder> forwarder;
  {
    TMutexLock guard(gLock);
    forwarder = std::move(gForwarder);
  }
  forwarder.reset();
}

}  // extern "C"

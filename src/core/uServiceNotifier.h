// What systemd's service manager hears from the service: READY=1 with a
// first STATUS= line, a STATUS= line with the rates since the last one,
// watchdog pings while the main loop makes progress, and the reload and
// stop notices. Without a service manager every call does nothing.
//
// Threading: main thread only.
#pragma once

#include "core/uServiceCounters.h"

#include <cstdint>

namespace logserver {

class TServiceNotifier {
 public:
  // READY=1 and the first STATUS= line; reads the watchdog interval
  // systemd asks for.
  void Ready(const TServiceCounters& counters);
  // "STATUS=<in> msgs/s in, <out> lines/s written, <n> connections, <n>
  // open files", the rates since the last line.
  void Status(const TServiceCounters& counters);
  // WATCHDOG=1 twice per interval; call it at least once a second.
  void PingWatchdog();
  void Reloading();
  void Reloaded();
  void Stopping();

 private:
  std::uint64_t WatchdogMicroseconds = 0;  // 0: no watchdog
  std::uint64_t LastWatchdogPing = 0;
  std::uint64_t LastStatusAt = 0;
  std::uint64_t LastStatusReceived = 0;
  std::uint64_t LastStatusWritten = 0;
};

}  // namespace logserver

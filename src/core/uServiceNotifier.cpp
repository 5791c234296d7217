#include "core/uServiceNotifier.h"

#include "platform/uProcess.h"
#include "platform/uTime.h"

#include <string>

namespace logserver {

void TServiceNotifier::Ready(const TServiceCounters& counters) {
  WatchdogMicroseconds = WatchdogIntervalMicroseconds();
  NotifyServiceManager("READY=1");
  Status(counters);
}

void TServiceNotifier::Status(const TServiceCounters& counters) {
  const std::uint64_t now = MonotonicMilliseconds();
  const std::uint64_t received = counters.ReceivedAll();
  const std::uint64_t written = counters.Written;
  const double seconds =
      LastStatusAt != 0 && now > LastStatusAt ? static_cast<double>(now - LastStatusAt) / 1000.0 : 0;
  auto rate = [&](std::uint64_t count, std::uint64_t before) {
    return seconds > 0 ? std::to_string(static_cast<std::uint64_t>(static_cast<double>(count - before) / seconds))
                       : std::string("0");
  };
  NotifyServiceManager("STATUS=" + rate(received, LastStatusReceived) + " msgs/s in, " +
                       rate(written, LastStatusWritten) + " lines/s written, " +
                       std::to_string(counters.ConnectionsAll()) + " connections, " +
                       std::to_string(counters.OpenFiles) + " open files");
  LastStatusAt = now;
  LastStatusReceived = received;
  LastStatusWritten = written;
}

void TServiceNotifier::PingWatchdog() {
  if (WatchdogMicroseconds == 0) return;
  const std::uint64_t now = MonotonicMicroseconds();
  if (now - LastWatchdogPing < WatchdogMicroseconds / 2) return;
  LastWatchdogPing = now;
  NotifyServiceManager("WATCHDOG=1");
}

void TServiceNotifier::Reloading() { NotifyServiceManager("RELOADING=1"); }
void TServiceNotifier::Reloaded() { NotifyServiceManager("READY=1"); }
void TServiceNotifier::Stopping() { NotifyServiceManager("STOPPING=1"); }

}  // namespace logserver

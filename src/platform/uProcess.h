// Process-wide calls: signals, daemon mode, standard streams, resource
// limits. Called from the main thread during start-up only, unless a
// function says otherwise.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

namespace logserver {

using TSignalHandler = void (*)(int);

// The signals the service acts on: SIGINT and SIGTERM (stop), SIGHUP
// (reopen the log files) and SIGUSR1 (statistics). Every thread but the
// initial one blocks them, so their handlers only ever run there.
sigset_t ServiceSignals();

// Blocks the service signals in the calling thread: one that arrives is
// held, not lost, until UnblockServiceSignals.
void BlockServiceSignals();
void UnblockServiceSignals();

// Blocks the service signals in the calling thread for its scope, so that
// threads a library starts meanwhile (which copy the mask) never take them.
class TServiceSignalsBlocked {
 public:
  TServiceSignalsBlocked();
  ~TServiceSignalsBlocked();
  TServiceSignalsBlocked(const TServiceSignalsBlocked&) = delete;
  TServiceSignalsBlocked& operator=(const TServiceSignalsBlocked&) = delete;

 private:
  sigset_t Previous;
};

// When this process started, in seconds since 1970 (UTC); 0 when unknown.
double ProcessStartTime();

// What the process uses now, from /proc/self; 0 for what cannot be read.
struct TProcessUsage {
  double CpuSeconds = 0;
  std::size_t ResidentBytes = 0;
  std::size_t OpenDescriptors = 0;
  std::size_t MaxDescriptors = 0;
};
TProcessUsage ReadProcessUsage();

struct TSignalHandlers {
  TSignalHandler Stop = nullptr;        // SIGINT, SIGTERM
  TSignalHandler Reopen = nullptr;      // SIGHUP
  TSignalHandler Statistics = nullptr;  // SIGUSR1; ignored when unset
};

// Installs the handlers (without SA_RESTART, so that a blocking wait on the
// initial thread returns) and ignores the signals that must never end the
// service: SIGPIPE (a peer went away), SIGXFSZ (a file-size limit: the
// write fails with EFBIG instead), SIGUSR2 and SIGALRM.
void InstallSignalHandlers(const TSignalHandlers& handlers);

// Keeps freed heap memory for reuse instead of returning it to the system
// at once: the message path allocates and frees on different threads all
// the time, and handing pages back and faulting them in again would cost
// more than the messages themselves. Does nothing where the C library
// offers no such setting.
void TuneMemoryAllocator();
// Also buffers of a few MiB that come and go all the time (a writer whose
// batch holds a file's lines whole) come from the heap, not each from a
// mapping of its own that is faulted in and unmapped again.
void KeepLargeBuffers();
// Hands the free heap pages back to the system, after much was freed at
// once (thousands of forgotten senders), so that the resident size falls
// too. Costs a walk of the heap: call it rarely.
void ReturnFreeMemory();

// Raises the soft limit on open descriptors to the hard limit (the most
// the process may have without privileges) and returns the limit now in
// force; 0 when it cannot be read.
std::size_t RaiseDescriptorLimit();

// Tells the service manager (systemd, through NOTIFY_SOCKET) how the
// service stands: "READY=1", "STATUS=...", "WATCHDOG=1", ... Does nothing
// when the service was not started by one. Thread-safe.
void NotifyServiceManager(const std::string& state);
// The watchdog interval the service manager asks for (WATCHDOG_USEC), in
// microseconds; 0 when there is none.
std::uint64_t WatchdogIntervalMicroseconds();

// As daemon(1, 0): keeps the working directory, sends the standard streams
// to the null device; the launching process exits 0 and the call returns in
// the detached child. Call it with the service signals blocked: those the
// launching process got (pending) or gets before it exits are handed over
// to the child, so that no stop is lost. False (errno set) when it failed.
bool Daemonize();

// Writes `text` to standard output unbuffered; errors are ignored.
// Thread-safe.
void WriteStandardOutput(const std::string& text);
void WriteStandardError(const std::string& text);

// The system's text for an errno value ("No such file or directory").
std::string ErrorText(int error);

}  // namespace logserver

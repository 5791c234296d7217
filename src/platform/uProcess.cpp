#include "platform/uProcess.h"

#include "platform/uFiles.h"

#include <cstdlib>
#include <fcntl.h>
#include <malloc.h>
#include <vector>
#include <pthread.h>
#include <systemd/sd-daemon.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace logserver {

namespace {

void SetHandler(int signal, TSignalHandler handler) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  // sigaction fails only for a signal number that cannot be caught (SIGKILL,
  // SIGSTOP) or does not exist; the service's are fixed and valid.
  sigaction(signal, &action, nullptr);
}

}  // namespace

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, s);
  return set;
}

// pthread_sigmask fails only for an invalid `how`; these pass a valid one.
void BlockServiceSignals() {
  const sigset_t set = ServiceSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void UnblockServiceSignals() {
  const sigset_t set = ServiceSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TServiceSignalsBlocked::TServiceSignalsBlocked() {
  const sigset_t set = ServiceSignals();
  // Fails only for an invalid `how`.
  pthread_sigmask(SIG_BLOCK, &set, &Previous);
}

TServiceSignalsBlocked::~TServiceSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &Previous, nullptr); }

namespace {

// The fields of /proc/self/stat after the command name, from field 3 on.
std::vector<std::string> StatFields() {
  std::string text;
  bool exists = false;
  if (!ReadFileText("/proc/self/stat", text, exists)) return {};
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < text.size()) {
    const std::size_t end = text.find(' ', at);
    fields.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return fields;
}

double ToDouble(const std::vector<std::string>& fields, std::size_t field) {
  // `field` counts as proc(5) does; the list starts at field 3.
  return field >= 3 && field - 3 < fields.size() ? std::strtod(fields[field - 3].c_str(), nullptr) : 0;
}

}  // namespace

double ProcessStartTime() {
  const std::vector<std::string> fields = StatFields();
  const long ticks = sysconf(_SC_CLK_TCK);
  std::string text;
  bool exists = false;
  if (fields.empty() || ticks <= 0 || !ReadFileText("/proc/stat", text, exists)) return 0;
  const std::size_t at = text.find("btime ");
  if (at == std::string::npos) return 0;
  const double boot = std::strtod(text.c_str() + at + 6, nullptr);
  return boot + ToDouble(fields, 22) / static_cast<double>(ticks);
}

TProcessUsage ReadProcessUsage() {
  TProcessUsage usage;
  const std::vector<std::string> fields = StatFields();
  const long ticks = sysconf(_SC_CLK_TCK);
  const long page = sysconf(_SC_PAGESIZE);
  if (ticks > 0) usage.CpuSeconds = (ToDouble(fields, 14) + ToDouble(fields, 15)) / static_cast<double>(ticks);
  if (page > 0) usage.ResidentBytes = static_cast<std::size_t>(ToDouble(fields, 24)) * static_cast<std::size_t>(page);
  usage.OpenDescriptors = CountDirectoryEntries("/proc/self/fd");
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    usage.MaxDescriptors = limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::size_t>(limit.rlim_cur);
  return usage;
}

void InstallSignalHandlers(const TSignalHandlers& handlers) {
  for (int s : {SIGPIPE, SIGXFSZ, SIGUSR2, SIGALRM}) SetHandler(s, SIG_IGN);
  SetHandler(SIGINT, handlers.Stop);
  SetHandler(SIGTERM, handlers.Stop);
  SetHandler(SIGHUP, handlers.Reopen ? handlers.Reopen : SIG_IGN);
  SetHandler(SIGUSR1, handlers.Statistics ? handlers.Statistics : SIG_IGN);
}

void TuneMemoryAllocator() {
#ifdef __GLIBC__
  // A refused setting leaves glibc's default, which is slower, not wrong.
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
  mallopt(M_TOP_PAD, 4 * 1024 * 1024);
#endif
}

void KeepLargeBuffers() {
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
#endif
}

void ReturnFreeMemory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

std::size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit cannot be the soft one (the kernel caps it at
    // fs.nr_open): then the soft one stays, which is what this call returns.
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(1) << 20
                                         : static_cast<std::size_t>(limit.rlim_cur);
}

void NotifyServiceManager(const std::string& state) {
  // A failed notification changes nothing the service could act on: the
  // service manager then sees no readiness, or no watchdog ping, and acts
  // on that as it is configured to.
  sd_notify(0, state.c_str());
}

std::uint64_t WatchdogIntervalMicroseconds() {
  std::uint64_t interval = 0;
  return sd_watchdog_enabled(0, &interval) > 0 ? interval : 0;
}

namespace {

// The detached child, for the launching process's last moments.
volatile pid_t DetachedChild = 0;

void HandOver(int signal) {
  if (DetachedChild > 0) kill(DetachedChild, signal);
}

}  // namespace

bool Daemonize() {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child > 0) {
    // The launching process ends here. The service signals were blocked
    // while the service started: one that came meanwhile is pending here
    // (a fork does not pass it on), and one may still come before the exit.
    // Both belong to the service, which is the child now: handed over.
    DetachedChild = child;
    const sigset_t set = ServiceSignals();
    for (int signal = 1; signal < NSIG; ++signal)
      if (sigismember(&set, signal) == 1) SetHandler(signal, &HandOver);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    _exit(0);
  }
  // As daemon(1, 0): a session of its own, the working directory kept, the
  // standard streams to the null device.
  if (setsid() < 0) return false;
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return false;
  for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, stream);
  if (null > STDERR_FILENO) close(null);
  return true;
}

void WriteStandardOutput(const std::string& text) { WriteAll(STDOUT_FILENO, text.data(), text.size()); }

void WriteStandardError(const std::string& text) { WriteAll(STDERR_FILENO, text.data(), text.size()); }

std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace logserver

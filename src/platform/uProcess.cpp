#include "platform/uProcess.h"

#include "platform/uFiles.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
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

bool Daemonize() { return daemon(1, 0) == 0; }

void WriteStandardOutput(const std::string& text) { WriteAll(STDOUT_FILENO, text.data(), text.size()); }

void WriteStandardError(const std::string& text) { WriteAll(STDERR_FILENO, text.data(), text.size()); }

}  // namespace logserver

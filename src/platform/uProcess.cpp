#include "platform/uProcess.h"

#include "platform/uFiles.h"

#include <malloc.h>
#include <pthread.h>
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

bool Daemonize() { return daemon(1, 0) == 0; }

void WriteStandardOutput(const std::string& text) { WriteAll(STDOUT_FILENO, text.data(), text.size()); }

void WriteStandardError(const std::string& text) { WriteAll(STDERR_FILENO, text.data(), text.size()); }

}  // namespace logserver

#include "platform/uProcess.h"

#include "platform/uFiles.h"

#include <csignal>
#include <unistd.h>

namespace logserver {

void InstallStopHandler(TSignalHandler handler) {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, handler);
  signal(SIGTERM, handler);
}

bool Daemonize() { return daemon(1, 0) == 0; }

void WriteStandardOutput(const std::string& text) { WriteAll(STDOUT_FILENO, text.data(), text.size()); }

void WriteStandardError(const std::string& text) { WriteAll(STDERR_FILENO, text.data(), text.size()); }

}  // namespace logserver

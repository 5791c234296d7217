// Process-wide calls: stop-signal handler, daemon mode, standard streams.
// Called from the main thread during start-up only.
#pragma once

#include <string>

namespace logserver {

using TSignalHandler = void (*)(int);

// Installs `handler` for SIGINT and SIGTERM with signal(); until then both
// keep their default effect. SIGPIPE is ignored from here on, so a peer that
// goes away never ends the process.
void InstallStopHandler(TSignalHandler handler);

// daemon(1, 0): keeps the working directory, sends the standard streams to
// the null device; the launching process exits 0 and the call returns in the
// detached child. False (errno set) when it failed.
bool Daemonize();

// Writes `text` to standard output unbuffered; errors are ignored.
void WriteStandardOutput(const std::string& text);
void WriteStandardError(const std::string& text);

}  // namespace logserver

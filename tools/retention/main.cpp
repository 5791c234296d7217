// logserver-retention: compresses the hourly log files that have not been
// written for a while, deletes the old ones, then the directories left
// empty (see uRetention.h for how it keeps to the tree).
//
//   logserver-retention [LOG_DIRECTORY]
//
// Settings, from the environment (the systemd unit reads /etc/default/logserver):
//   LOGSERVER_LOG_DIR               the log directory (default /var/log/logserver)
//   LOGSERVER_COMPRESS_AFTER_HOURS  compress files unwritten this long (default 2)
//   LOGSERVER_KEEP_DAYS             delete files older than this (default 30)
//   LOGSERVER_COMPRESSION           zstd (default; name.log.zst) or gzip (name.log.gz)
//
// Every problem goes to standard error, one line each, and the run goes on;
// a summary line ends it on standard output. Exit status: 0, 1 when
// anything failed, 2 when a setting is wrong or the log directory cannot be
// opened (nothing was touched).
#include "platform/uProcess.h"
#include "platform/uTime.h"
#include "retention/uRetention.h"

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace logserver;
  std::map<std::string, std::string> environment;
  for (const char* name : {"LOGSERVER_LOG_DIR", "LOGSERVER_COMPRESS_AFTER_HOURS", "LOGSERVER_KEEP_DAYS",
                           "LOGSERVER_COMPRESSION"})
    if (const char* value = std::getenv(name)) environment[name] = value;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
    WriteStandardOutput(
        "usage: logserver-retention [LOG_DIRECTORY]\n"
        "Compresses hourly log files unwritten for LOGSERVER_COMPRESS_AFTER_HOURS (2),\n"
        "deletes those older than LOGSERVER_KEEP_DAYS (30), then empty directories.\n");
    return 0;
  }
  TRetentionSettings settings;
  std::string error;
  if (!ReadRetentionSettings(environment, arguments, settings, error)) {
    WriteStandardError("logserver-retention: " + error + "\n");
    return 2;
  }
  TRetentionRun run(settings, static_cast<std::int64_t>(WallClockSeconds()),
                    [](const std::string& line) { WriteStandardError("logserver-retention: " + line + "\n"); });
  if (!run.Run()) return 2;
  const TRetentionTotals& totals = run.Totals();
  WriteStandardOutput("logserver-retention: " + std::to_string(totals.Compressed) + " compressed, " +
                      std::to_string(totals.DeletedFiles) + " files and " +
                      std::to_string(totals.DeletedDirectories) + " directories deleted, " +
                      std::to_string(totals.Deferred) + " left for the next run, " +
                      std::to_string(totals.Failures) + " failures\n");
  return totals.Failures == 0 ? 0 : 1;
}

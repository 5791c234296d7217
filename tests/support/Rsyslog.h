// rsyslogd in the foreground, in a directory of its own, as the real peer
// of a test: a collector the service forwards to, or a forwarder that
// sends to the service.
#pragma once

#include "support/ServiceProcess.h"

#include <csignal>
#include <string>

namespace testing_support {

inline const char* const kRsyslogd = "/usr/sbin/rsyslogd";

class TRsyslog {
 public:
  // `config`: rsyslog.conf after the line naming its work directory, where
  // "@DIR@" stands for that directory (ending with "/").
  explicit TRsyslog(std::string config) {
    for (std::size_t at = config.find("@DIR@"); at != std::string::npos; at = config.find("@DIR@", at))
      config.replace(at, 5, Directory.Path());
    WriteFile(Directory.Path() + "rsyslog.conf",
              "global(workDirectory=\"" + Directory.Path() + "\")\n" + config);
  }
  ~TRsyslog() { Stop(); }
  TRsyslog(const TRsyslog&) = delete;
  TRsyslog& operator=(const TRsyslog&) = delete;

  static bool Installed() { return Exists(kRsyslogd); }
  // Started once its pid file is written (its inputs are open then).
  bool Start() {
    std::remove((Directory.Path() + "pid").c_str());
    Process.Start({kRsyslogd, "-n", "-f", Directory.Path() + "rsyslog.conf", "-i", Directory.Path() + "pid"},
                  Directory.Path() + "out.txt", Directory.Path() + "err.txt");
    return WaitUntil([&] { return Exists(Directory.Path() + "pid"); });
  }
  void Stop() {
    if (!Process.Running()) return;
    Process.Signal(SIGTERM);
    int status = 0;
    Process.WaitExit(status);
  }
  // Its directory, ending with "/".
  std::string Path() const { return Directory.Path(); }
  std::string Errors() const { return ReadFile(Directory.Path() + "err.txt"); }

 private:
  TTempDir Directory;
  TChildProcess Process;
};

}  // namespace testing_support

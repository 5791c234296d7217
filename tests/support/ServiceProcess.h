// The real LogServer executable, copied into a temporary directory of its
// own with its own LogServer.conf, started as a child process and stopped by
// its PID. Standard output and error go to files in that directory.
#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

// A port free for TCP and UDP that stays this test's until it ends: taken
// below the kernel's ephemeral range (so no bind to port 0 and no outgoing
// connection anywhere can be handed it) and claimed with a lock file against
// the other tests running beside this one.
std::uint16_t ClaimPort();
std::uint16_t FreeTcpPort();
std::uint16_t FreeUdpPort();

// A child process this test started, ended by its PID: killed if it still
// runs when the object goes.
class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Runs argv[0] with standard output and error to the given files, from "/"
  // so that the working directory plays no part; `unprivileged` runs it as
  // user nobody when the test runs as root; a `fileSizeLimit` of 0 or more
  // bytes is its RLIMIT_FSIZE, a `descriptorLimit` of 0 or more its
  // RLIMIT_NOFILE (soft and hard).
  void Start(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
             bool unprivileged = false, long fileSizeLimit = -1, long descriptorLimit = -1);
  // Variables set in the environment of what Start runs.
  void SetEnvironment(const std::string& name, const std::string& value) {
    Environment.emplace_back(name, value);
  }
  // The umask what Start runs starts with (otherwise this process's).
  void SetUmask(unsigned mask) { Umask = static_cast<int>(mask); }
  // Takes over a process this test has adopted (see BecomeSubreaper).
  void Adopt(pid_t pid);
  pid_t Pid() const { return ChildPid; }
  bool Running() const { return IsRunning; }
  bool Signal(int signal) const;
  // Waits for the end: true with the exit status (or 128 + signal).
  bool WaitExit(int& status, int timeoutMs = 15000);

 private:
  pid_t ChildPid = 0;
  bool IsRunning = false;
  std::vector<std::pair<std::string, std::string>> Environment;
  int Umask = -1;
};

class TServiceProcess {
 public:
  TServiceProcess();
  TServiceProcess(const TServiceProcess&) = delete;
  TServiceProcess& operator=(const TServiceProcess&) = delete;

  const std::string& Dir() const { return Directory.Path(); }
  std::string Executable() const { return Dir() + "LogServer"; }
  std::string ConfigPath() const { return Dir() + "LogServer.conf"; }
  std::string LogsDir() const { return Dir() + "Logs/"; }

  // A [Common] section with free ports and `extra` lines appended to it.
  void WriteConfig(const std::string& extraCommonLines = std::string(),
                   const std::string& otherSections = std::string());
  void WriteRawConfig(const std::string& text);
  std::uint16_t ServicePort() const { return ServicePort_; }
  std::uint16_t SysLogPort() const { return SysLogPort_; }

  // Starts the copy; `unprivileged` runs it as user nobody when the test
  // runs as root, so that file permissions apply to it; `fileSizeLimit`
  // (bytes) limits the size of every file it writes, `descriptorLimit` the
  // descriptors it may hold.
  void Start(bool unprivileged = false, long fileSizeLimit = -1, long descriptorLimit = -1);
  // Starts the copy with these arguments instead of none.
  void StartWith(const std::vector<std::string>& arguments);
  void SetUmask(unsigned mask) { Process.SetUmask(mask); }
  void SetEnvironment(const std::string& name, const std::string& value) {
    Process.SetEnvironment(name, value);
  }
  pid_t Pid() const { return Process.Pid(); }
  bool Signal(int signal) const { return Process.Signal(signal); }

  // Waits for the child to end: true with its exit status (or 128 + signal).
  bool WaitExit(int& status, int timeoutMs = 15000) { return Process.WaitExit(status, timeoutMs); }

  // Makes this test process adopt orphaned descendants, so that a service
  // that detaches can still be waited for by its PID. Call before Start.
  static void BecomeSubreaper();

  // After a daemon start: the detached service, which this test process
  // adopts as subreaper. 0 when not found before the deadline.
  pid_t AdoptDetached(int timeoutMs = 10000);

  // Resident memory and open descriptors of the running service.
  long RssKiB() const;
  int OpenDescriptors() const;
  // Processor time it has used so far (user and system).
  double CpuSeconds() const;

  std::string Stdout() const { return ReadFile(Dir() + "stdout.txt"); }
  std::string Stderr() const { return ReadFile(Dir() + "stderr.txt"); }
  // The lines on standard error that are not the service's own reports
  // ("LogServer: ..."): sanitizer reports and anything else unexpected.
  std::string ForeignStderr() const;

  // The service log: every hourly file of its branch, in order, joined.
  std::string ServiceLog() const;
  // Its lines with the time stamp removed.
  std::vector<std::string> ServiceLogTexts() const;
  bool WaitForServiceLog(const std::string& text, int timeoutMs = 10000) const;
  // Sends SIGUSR1 and returns the STATISTICS line it brings to standard
  // error (empty when none came).
  std::string RequestStatistics() const;
  // Waits for the start lines (service log and stderr: both ports bound or
  // failed) and for the TCP port to take a client.
  bool WaitUntilServing(int timeoutMs = 10000) const;

 private:
  TTempDir Directory;
  std::uint16_t ServicePort_ = 0;
  std::uint16_t SysLogPort_ = 0;
  TChildProcess Process;  // after Directory: ended before the directory goes
};

// The service-log texts of an orderly stop, from "Have normal TERM SIGNAL"
// to "Log Server stopped".
std::vector<std::string> StopSequenceTexts();

// Sends SIGTERM and checks an orderly stop: exit status 0, and nothing on
// standard error but the service's own reports (sanitizer reports land
// there).
void ExpectOrderlyStop(TServiceProcess& service);

// The number after `name` in a statistics line ("written=" gives the
// count written), -1 when it is not there.
long StatisticsCount(const std::string& statistics, const std::string& name);

// Everything the files below `dir` hold, in path order (hour after hour).
std::string JoinedFilesBelow(const std::string& dir);

// GET `path` from 127.0.0.1:`port` (HTTP/1.0): the status code (0 when no
// answer came) and the body.
int HttpGet(std::uint16_t port, const std::string& path, std::string& body);

// Raises this process's descriptor limit (children inherit it); returns the
// soft limit now in force.
long RaiseDescriptorLimit(long wanted);

// A scale for load tests: LOGSERVER_LOAD_SCALE in the environment, else 1.
// `make load` runs them at full size.
double LoadScale();

// The length of the service log's time stamp "dd.mm.yyyy hh:nn:ss:zzz : ".
constexpr std::size_t kServiceStampLength = 26;
bool IsServiceStamp(const std::string& line);

}  // namespace testing_support

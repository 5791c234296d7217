// The real LogServer, started in a directory of its own: configuration,
// service log, signals, run modes and exit statuses.
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <fstream>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

std::vector<std::string> StartAndStopLines(const std::string& started) {
  std::vector<std::string> lines{started};
  const std::vector<std::string> stop = StopSequenceTexts();
  lines.insert(lines.end(), stop.begin(), stop.end());
  return lines;
}

// Stops the service and checks its whole service log: the start line, the
// `startUp` lines, then the stop sequence.
void StopWith(TServiceProcess& service, int signal,
              const std::vector<std::string>& startUp = std::vector<std::string>()) {
  ASSERT_TRUE(service.WaitForServiceLog("Log Server started AS APPLICATION..."));
  ASSERT_TRUE(service.Signal(signal));
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0) << service.Stderr();
  std::vector<std::string> expected = StartAndStopLines("Log Server started AS APPLICATION...");
  expected.insert(expected.begin() + 1, startUp.begin(), startUp.end());
  EXPECT_EQ(service.ServiceLogTexts(), expected);
  EXPECT_EQ(service.Stdout(), "Process MainThread \"SHUTDOWN\" ...OK\n");
  EXPECT_EQ(service.ForeignStderr(), "");
}

}  // namespace

TEST(ServiceTest, FirstStartWritesTheDefaultConfigurationAndTheServiceLog) {
  TServiceProcess service;
  service.Start();
  StopWith(service, SIGTERM);
  EXPECT_EQ(ReadFile(service.ConfigPath()),
            "[Common]\nServicePort=30000\nRunMode=0\nLogMode=1\nBaseCatalog=" + service.Dir() +
                "Logs/\nModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\n");
  // BaseCatalog + 0.0.0.0/<exe>/<exe>/<yyyy_mm_dd>/<hh>.log
  const auto files = FilesBelow(service.LogsDir());
  ASSERT_FALSE(files.empty());
  const std::string branch = service.LogsDir() + "0.0.0.0/LogServer/LogServer/";
  for (const std::string& file : files) {
    ASSERT_EQ(file.rfind(branch, 0), 0u) << file;
    const std::string rest = file.substr(branch.size());
    ASSERT_EQ(rest.size(), std::string("yyyy_mm_dd/hh.log").size()) << rest;
    EXPECT_EQ(rest.substr(4, 1) + rest.substr(7, 1) + rest.substr(10, 1), "__/");
    EXPECT_EQ(rest.substr(13), ".log");
  }
}

TEST(ServiceTest, SigintStopsInOrderLikeSigterm) {
  TServiceProcess service;
  service.WriteConfig();
  service.Start();
  StopWith(service, SIGINT);
}

TEST(ServiceTest, MalformedValuesFallBackAndTheFileKeepsItsOtherLines) {
  TServiceProcess service;
  service.WriteRawConfig(
      "; operator notes\n[common]\nservicePort=" + std::to_string(service.ServicePort()) +
      "\nSysLogPort=" + std::to_string(service.SysLogPort()) +
      "\nLOGMODE=\nModuleNameAsFilePrefix=true\nRunMode=four\n\n"
      "[Providers]\n10.0.0.5|billing|core|=/opt/sinks/forward.so\n");
  service.Start();
  // A provider library that cannot be loaded is named once at start.
  StopWith(service, SIGTERM,
           {"PROVIDER \"10.0.0.5|billing|core|\" NOT USED: cannot load /opt/sinks/forward.so: "
            "/opt/sinks/forward.so: cannot open shared object file: No such file or directory"});
  EXPECT_EQ(ReadFile(service.ConfigPath()),
            "; operator notes\n[common]\nservicePort=" + std::to_string(service.ServicePort()) +
                "\nSysLogPort=" + std::to_string(service.SysLogPort()) +
                "\nLOGMODE=1\nModuleNameAsFilePrefix=0\nRunMode=0\nBaseCatalog=" + service.Dir() +
                "Logs/\nTimePlacementMask=yyyy_mm_dd\n\n"
                "[Providers]\n10.0.0.5|billing|core|=/opt/sinks/forward.so\n");
  // Each value that fell back is named on stderr, with its line.
  for (const char* line :
       {": line 5: LogMode= is not a whole number: 1 is used instead",
        ": line 6: ModuleNameAsFilePrefix=true starts with neither 0 nor 1: 0 is used instead",
        ": line 7: RunMode=four is not a whole number: 0 is used instead"})
    EXPECT_NE(service.Stderr().find("LogServer: " + service.ConfigPath() + std::string(line)), std::string::npos)
        << service.Stderr();
}

TEST(ServiceTest, PortZeroIsNamedByThePortTheSystemGave) {
  TServiceProcess service;
  service.WriteRawConfig("[Common]\nServicePort=" + std::to_string(service.ServicePort()) +
                         "\nSysLogPort=0\nLogMode=0\n");
  service.Start();
  ASSERT_TRUE(service.WaitUntilServing());
  const std::string text = service.Stderr();
  const std::size_t at = text.find("syslog UDP port ");
  ASSERT_NE(at, std::string::npos) << text;
  const std::size_t digits = at + std::string("syslog UDP port ").size();
  EXPECT_NE(text.compare(digits, 2, "0 "), 0) << text;
  EXPECT_NE(text.find(" (any free port) listening", digits), std::string::npos) << text;
  StopWith(service, SIGTERM);
}

TEST(ServiceTest, RunModesOtherThanFourRunAsAnApplication) {
  for (const char* mode : {"1", "5", "-4"}) {
    TServiceProcess service;
    service.WriteConfig(std::string("RunMode=") + mode + "\n");
    service.Start();
    StopWith(service, SIGTERM);
  }
}

TEST(ServiceTest, AConfigurationThatIsNoRegularFileEndsTheStartWithItsReason) {
  TServiceProcess service;
  // A FIFO would hold a reader in open() until somebody writes, with the
  // service's stop signals not yet handled.
  ASSERT_EQ(mkfifo(service.ConfigPath().c_str(), 0600), 0);
  service.Start();
  int exitStatus = -1;
  ASSERT_TRUE(service.WaitExit(exitStatus));
  EXPECT_EQ(exitStatus, 1);
  EXPECT_NE(service.Stderr().find(service.ConfigPath() + " is not a regular file: not read"), std::string::npos)
      << service.Stderr();
  struct stat st;
  ASSERT_EQ(lstat(service.ConfigPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));  // left as it was
}

TEST(ServiceTest, ASecondSignalDuringTheStopChangesNothing) {
  TServiceProcess service;
  service.WriteConfig();
  service.Start();
  ASSERT_TRUE(service.WaitForServiceLog("Log Server started AS APPLICATION..."));
  ASSERT_TRUE(service.Signal(SIGTERM));
  // The controller takes up to a second to stop: the next signal lands then.
  ASSERT_TRUE(service.WaitForServiceLog("STOPPING CONECTION CONTROLLER..."));
  service.Signal(SIGTERM);
  service.Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(service.ServiceLogTexts(), StartAndStopLines("Log Server started AS APPLICATION..."));
  EXPECT_EQ(service.Stdout(), "Process MainThread \"SHUTDOWN\" ...OK\n");
}

TEST(ServiceTest, AConfigurationItMayNotWriteIsUsedAsReadAndWhatWouldChangeIsReported) {
  TServiceProcess service;
  service.WriteConfig("LogMode=two\n");
  const std::string before = ReadFile(service.ConfigPath());
  // The directory is open to the service (its logs go there), the file not.
  ASSERT_EQ(chmod(service.Dir().c_str(), 0777), 0);
  ASSERT_EQ(chmod(service.ConfigPath().c_str(), 0444), 0);
  service.Start(/*unprivileged=*/true);
  ASSERT_TRUE(service.WaitUntilServing()) << service.Stderr();
  const std::string err = service.Stderr(), prefix = "LogServer: " + service.ConfigPath() + ": ";
  for (const std::string& line :
       {prefix + "not written back (Permission denied): the service runs with the values in effect\n",
        prefix + "line 4: LogMode=two would be written back as LogMode=1\n",
        prefix + "BaseCatalog would be added\n"})
    EXPECT_NE(err.find(line), std::string::npos) << err;
  ASSERT_TRUE(service.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(service.ConfigPath()), before);
}

TEST(ServiceTest, AStopDuringADaemonStartIsHandedToTheDetachedService) {
  TServiceProcess::BecomeSubreaper();
  for (int round = 0; round < 3; ++round) {
    TServiceProcess service;
    // A long configuration keeps the start busy while the stop comes: it
    // waits, blocked, in the launching process, which then detaches.
    service.WriteConfig("RunMode=4\n" + std::string(4 << 20, ';') + "\n");
    service.Start();
    // Once it holds SIGTERM blocked, it has begun to start.
    ASSERT_TRUE(WaitUntil([&] {
      std::ifstream status("/proc/" + std::to_string(service.Pid()) + "/status");
      std::string line;
      while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0) return ((std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) != 0;
      return true;  // gone already
    }));
    // Held still while the stop is sent, so that it reaches a launching
    // process that has not ended yet: a stop sent to one that has ended
    // reaches nobody, whatever the service does.
    ASSERT_TRUE(service.Signal(SIGSTOP));
    std::string state;
    ASSERT_TRUE(WaitUntil([&] {
      std::ifstream status("/proc/" + std::to_string(service.Pid()) + "/status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("State:", 0) == 0) state = line.substr(line.find_first_not_of(" \t", 6), 1);
      return state == "T" || state == "Z";
    }));
    const bool ended = state == "Z";
    if (!ended) {
      ASSERT_TRUE(service.Signal(SIGTERM));
    }
    ASSERT_TRUE(service.Signal(SIGCONT));
    int status = -1;
    ASSERT_TRUE(service.WaitExit(status));
    // Either the stop ended the launching process itself, before the
    // service was set up to hold it, or the detached service stops in order.
    if (status != 0) continue;
    const pid_t daemon = service.AdoptDetached(3000);
    if (daemon == 0) continue;  // it has stopped already
    if (ended) {
      ASSERT_TRUE(service.Signal(SIGTERM));  // it detached before the stop came
    }
    ASSERT_TRUE(service.WaitExit(status)) << "the stop was lost: the detached service runs on";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(service.ServiceLogTexts(), StartAndStopLines("Log Server started AS DAEMON..."));
  }
}

TEST(ServiceTest, DaemonModeDetachesAndStopsOnSigterm) {
  TServiceProcess::BecomeSubreaper();
  TServiceProcess service;
  service.WriteConfig("RunMode=4\n");
  service.Start();
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status));  // the launching process
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(service.WaitForServiceLog("Log Server started AS DAEMON..."));
  const pid_t daemon = service.AdoptDetached();
  ASSERT_GT(daemon, 0);
  EXPECT_EQ(kill(daemon, 0), 0);
  ASSERT_TRUE(service.Signal(SIGTERM));
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(service.ServiceLogTexts(), StartAndStopLines("Log Server started AS DAEMON..."));
  EXPECT_EQ(service.Stdout(), "");  // the detached service writes to the null device
}

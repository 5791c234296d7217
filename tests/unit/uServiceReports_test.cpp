#include "core/uServiceReports.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <new>

using namespace logserver;
using testing_support::FilesBelow;
using testing_support::ReadFile;
using testing_support::SplitCrLf;
using testing_support::TTempDir;

TEST(ServiceReportsTest, CaughtErrorsAreReportedOnceAMinuteWithTheirCountAndTheLastOne) {
  TTempDir dir;
  TServiceConfig config;
  config.BaseCatalog = dir.Path();
  TLogFileTable files;
  TCaughtFailures failures;
  TThreadRole mainThread;
  mainThread.Bind();
  TServiceLog serviceLog(config.BaseCatalog, config.LogMode, {&files, &failures}, mainThread);
  TServiceReports reports(config, serviceLog, failures, mainThread);
  reports.ReportCaughtFailures();  // nothing caught: nothing said
  CallRecordingFailures(&failures, "ls-tcp-recv handler", [] { throw std::bad_alloc(); });
  CallRecordingFailures(&failures, "ls-udp handler", [] { throw 42; });
  reports.ReportCaughtFailures();
  CallRecordingFailures(&failures, "ls-udp handler", [] { throw std::bad_alloc(); });
  reports.ReportCaughtFailures();  // within the minute: kept for the next report
  std::vector<std::string> texts;
  for (const std::string& file : FilesBelow(dir.Path()))
    for (const std::string& line : SplitCrLf(ReadFile(file))) texts.push_back(line.substr(26));
  EXPECT_EQ(texts, std::vector<std::string>{"ERRORS CAUGHT: 2 (last: ls-udp handler: unknown error)"});
  EXPECT_EQ(failures.Total(), 3u);
}

#include "core/uMainThread.h"
#include "platform/uUnitRun.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace logserver;
using testing_support::FilesBelow;
using testing_support::ReadFile;
using testing_support::SplitCrLf;
using testing_support::TTempDir;

namespace {

class TFakePeer : public TIPConnection {
 public:
  TFakePeer() {
    ClientAddress = "10.9.8.7";
    ClientPort = 514;
  }
  int SetSocketOption(int, int, const void*, int) override { return 0; }
};

class IntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TServiceConfig config;
    config.BaseCatalog = dir.Path();
    service = std::make_unique<tMainThread>(config);
    service->PrepareDispatch(/*queueBytes=*/10);
  }

  std::vector<std::string> ServiceTexts() {
    std::vector<std::string> texts;
    for (const std::string& file : FilesBelow(dir.Path() + "0.0.0.0/"))
      for (const std::string& line : SplitCrLf(ReadFile(file))) texts.push_back(line.substr(26));
    return texts;
  }

  TTempDir dir;
  std::unique_ptr<tMainThread> service;
  TFakePeer peer;
};

}  // namespace

TEST_F(IntakeTest, ARunBecomesOneElementWithItsBufferAndItsCount) {
  TUnitRun run;
  run.Append("first", 5);
  run.Append("second", 6);
  const char* bytes = run.Bytes.Data();
  service->Intake()->OnClientData(peer, run);
  service->Intake()->OnTcpBatchEnd();
  pLogQueueElement element;
  ASSERT_TRUE(service->LogQueue()->TryPop(element));
  EXPECT_EQ(element->Kind, lqkClientData);
  EXPECT_EQ(element->Units, 2u);
  EXPECT_EQ(element->Data.Data(), bytes);  // taken over, not copied
  EXPECT_EQ(element->ClientAddress, "10.9.8.7");
  EXPECT_EQ(service->Intake()->Counts(ikTpkt).Messages.load(), 2u);
}

TEST_F(IntakeTest, DatagramsDroppedAtAFullQueueAreCountedAndReportedOnceAMinute) {
  TMessageIntake& intake = *service->Intake();
  for (int i = 0; i < 3; ++i) intake.OnSyslogDatagram(peer, "12345678", 8);
  intake.OnSyslogBatchEnd();
  intake.OnClientConnect(peer);  // control events are never dropped
  intake.OnTcpBatchEnd();
  EXPECT_EQ(service->LogQueue()->Count(), 2u);
  EXPECT_EQ(intake.Counts(ikUdp).Messages.load(), 3u);
  EXPECT_EQ(intake.DroppedDatagrams(), 2u);
  service->Reports()->ReportDroppedDatagrams(intake);
  intake.OnSyslogDatagram(peer, "12345678", 8);
  intake.OnSyslogBatchEnd();
  service->Reports()->ReportDroppedDatagrams(intake);  // within the minute: nothing more
  EXPECT_EQ(ServiceTexts(), std::vector<std::string>{"DROPPED SYSLOG DATAGRAMS: 2 (log queue full)"});
}

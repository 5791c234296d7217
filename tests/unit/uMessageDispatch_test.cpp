#include "core/uMainThread.h"
#include "support/Elements.h"
#include "support/ServiceProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace logserver;
using namespace testing_support;

namespace {

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { Configure(1); }

  // A service core with these settings, its service log, queue and registry
  // under a fresh `base`, and no network. The one it replaces writes its stop
  // lines into its own base.
  void Configure(std::int32_t logMode, bool moduleNameAsFilePrefix = true,
                 std::size_t queueBytes = kLogQueueMaxBytes) {
    service.reset();
    base = dir.Path() + "Logs" + std::to_string(++configured) + "/";
    TServiceConfig config;
    config.BaseCatalog = base;
    config.ModuleNameAsFilePrefix = moduleNameAsFilePrefix;
    config.LogMode = logMode;
    service = std::make_unique<tMainThread>(config);
    service->PrepareDispatch(queueBytes);
  }

  std::string OnlyFileBelow(const std::string& root) {
    const auto files = FilesBelow(root);
    return files.size() == 1 ? files[0] : "<" + std::to_string(files.size()) + " files>";
  }

  std::vector<std::string> ServiceTexts() {
    std::vector<std::string> texts;
    for (const std::string& file : FilesBelow(base + "0.0.0.0/"))
      for (const std::string& line : SplitCrLf(ReadFile(file))) texts.push_back(line.substr(26));
    return texts;
  }


  TTempDir dir;
  std::string base;
  int configured = 0;
  std::unique_ptr<tMainThread> service;
};

}  // namespace

TEST_F(DispatchTest, WorkedExampleIsWrittenWithBothStamps) {
  const std::string payload = WorkedExample();
  ASSERT_EQ(payload.size(), 53u);
  service->DispatchElement(ClientRun({payload}));
  const std::string file = OnlyFileBelow(base + "10.1.2.3/");
  EXPECT_NE(file.find("/10.1.2.3/app/mod/"), std::string::npos) << file;
  EXPECT_NE(file.find("/mod_"), std::string::npos) << file;
  const std::string text = ReadFile(file);
  ASSERT_EQ(text.size(), 12u + 17u + 2u + 2u) << text;
  EXPECT_EQ(text.substr(12), "[12:00:00.000] : hi\r\n");
}



TEST_F(DispatchTest, EmptyPrefixBecomesTheModuleNameOnlyWhenConfigured) {
  Configure(1, /*moduleNameAsFilePrefix=*/false);
  service->DispatchElement(
      ClientRun({BuildClientLogMessage({"app", "mod", "", "x", 0.0})}));
  const std::string file = OnlyFileBelow(base + "10.1.2.3/");
  EXPECT_EQ(file.substr(file.rfind('/')).size(), std::string("/hh.log").size()) << file;
  EXPECT_EQ(ReadFile(file), "x\r\n");
}

TEST_F(DispatchTest, SyslogTextLosesTrailingControlBytesOnly) {
  service->DispatchElement(Element(lqkSyslogDatagram, std::string("  <13>hello \t\r\n\0", 16)));
  service->DispatchElement(Element(lqkSyslogDatagram, "   "));
  const std::string file = OnlyFileBelow(base + "10.1.2.3/SYSLOG/syslog/");
  EXPECT_EQ(ReadFile(file), "  <13>hello\r\n\r\n");
  EXPECT_EQ(file.substr(file.size() - 7, 1), "/");  // no prefix: hh.log
}

TEST_F(DispatchTest, LogModeGatesTheClientLines) {
  for (int mode : {0, 1, 2}) {
    Configure(mode);
    service->DispatchElement(Element(lqkClientConnect));
    service->DispatchElement(
        ClientRun({BuildClientLogMessage({"app", "mod", "", "hello", 0.0})}));
    service->DispatchElement(Element(lqkClientDisconnect));
    service->DispatchElement(Element(3));  // a kind nobody makes: nothing
    std::vector<std::string> expected;
    if (mode >= 1) expected.push_back("CLIENT CONNECTED: [10.1.2.3:4000]");
    if (mode >= 2) expected.push_back("NEW MSG: [10.1.2.3:4000] \"hello\"");
    if (mode >= 1) expected.push_back("CLIENT DISCONNECTED: [10.1.2.3:4000]");
    EXPECT_EQ(ServiceTexts(), expected) << "LogMode " << mode;
  }
}

TEST_F(DispatchTest, DisconnectStopsTheClientsFileProducers) {
  service->DispatchElement(
      ClientRun({BuildClientLogMessage({"app", "mod", "", "x", 0.0})}));
  EXPECT_EQ(service->Producers()->Entries().size(), 1u);
  service->DispatchElement(Element(lqkClientDisconnect));
  EXPECT_TRUE(service->Producers()->Entries().empty());
}

TEST_F(DispatchTest, ServiceLogLinesCarryTheStamp) {
  Configure(0);
  service->WriteServiceLog(false, "Log Server started AS APPLICATION...");
  service->WriteServiceLog(true, "gated");
  service->WriteServiceLog(false, "ungated");
  // Joined: the three lines may straddle an hour and land in two files.
  const auto lines = SplitCrLf(testing_support::JoinedFilesBelow(base + "0.0.0.0/"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 26u + 36u);
  EXPECT_EQ(lines[0].substr(23, 3), " : ");
  EXPECT_EQ(lines[1].substr(26), "ungated");
}

// ---------------------------------------------------------------------------
// Bounded queue

TEST_F(DispatchTest, ARunBecomesItsMessagesInOrderAndSkipsOnlyTheMalformedOnes) {
  std::string broken = BuildClientLogMessage({"app", "mod", "", "lost", 0.0});
  broken[0] = 1;  // another message type
  service->DispatchElement(ClientRun({BuildClientLogMessage({"app", "mod", "", "one", 0.0}), broken,
                                      BuildClientLogMessage({"app", "mod", "", "two", 0.0}),
                                      BuildClientLogMessage({"app", "other", "", "three", 0.0})}));
  const auto files = FilesBelow(base + "10.1.2.3/");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(ReadFile(files[0]), "one\r\ntwo\r\n");
  EXPECT_EQ(ReadFile(files[1]), "three\r\n");
}

TEST(ParkedSendersTest, AWaitingSenderKeepsItsOrderAndOthersPassIt) {
  auto element = [](const std::string& address, std::size_t units) {
    auto e = std::make_unique<tLogQueueElement>();
    e->Kind = lqkClientData;
    e->ClientAddress = address;
    e->ClientPort = 7;
    e->Units = units;
    return e;
  };
  TParkedSenders parked;
  pLogQueueElement slow = element("10.0.0.1", 0);
  EXPECT_FALSE(parked.TakeIfWaiting(slow));
  parked.Hold(*slow);
  // Everything of the slow sender waits, in its order; another passes.
  for (std::size_t i = 1; i <= 3; ++i) {
    pLogQueueElement next = element("10.0.0.1", i);
    EXPECT_TRUE(parked.TakeIfWaiting(next));
    EXPECT_EQ(next, nullptr);
  }
  pLogQueueElement other = element("10.0.0.2", 9);
  EXPECT_FALSE(parked.TakeIfWaiting(other));
  parked.Hold(*other);
  pLogQueueElement later = element("10.0.0.2", 10);
  EXPECT_TRUE(parked.TakeIfWaiting(later));
  // Served in turn, each in its order, and let go once empty.
  std::vector<std::size_t> served;
  while (pLogQueueElement e = parked.Next()) served.push_back(e->Units);
  EXPECT_EQ(served, (std::vector<std::size_t>{1, 10, 2, 3}));
  EXPECT_TRUE(parked.Empty());
  pLogQueueElement again = element("10.0.0.1", 4);
  EXPECT_FALSE(parked.TakeIfWaiting(again));
}

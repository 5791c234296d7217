#include "core/uMainThread.h"
#include "platform/uTime.h"
#include "support/ServiceProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace logserver;
using testing_support::FilesBelow;
using testing_support::ReadFile;
using testing_support::SplitCrLf;
using testing_support::TTempDir;
using testing_support::WriteFile;

// ---------------------------------------------------------------------------
// Configuration

class ConfigTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir.Path() + "LogServer.conf"; }
  void Read(const std::string* text) {
    if (text) WriteFile(Path(), *text);
    config = ReadServiceConfig(Path(), "/opt/svc/bin/");
  }
  void Read(const std::string& text) { Read(&text); }
  std::string Written() const { return ReadFile(Path()); }

  TTempDir dir;
  tServiceConfig config;
};

TEST_F(ConfigTest, MissingFileGivesDefaultsAndIsCreatedWithSixKeys) {
  Read(nullptr);
  EXPECT_EQ(config.ServicePort, 30000);
  EXPECT_EQ(config.SysLogPort, 514);
  EXPECT_EQ(config.RunMode, 0);
  EXPECT_EQ(config.LogMode, 1);
  EXPECT_EQ(config.BaseCatalog, "/opt/svc/bin/Logs/");
  EXPECT_TRUE(config.ModuleNameAsFilePrefix);
  EXPECT_EQ(config.TimePlacementMask, "yyyy_mm_dd");
  EXPECT_EQ(Written(),
            "[Common]\nServicePort=30000\nRunMode=0\nLogMode=1\nBaseCatalog=/opt/svc/bin/Logs/\n"
            "ModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\n");
}

TEST_F(ConfigTest, SysLogPortIsReadButNotWrittenBack) {
  Read("[Common]\nSysLogPort=1514\n");
  EXPECT_EQ(config.SysLogPort, 1514);
  const std::string text = Written();
  EXPECT_NE(text.find("SysLogPort=1514\n"), std::string::npos);
  EXPECT_EQ(text.find("SysLogPort", text.find("SysLogPort") + 1), std::string::npos);
}

TEST_F(ConfigTest, MalformedValuesFallBackAndAreReplaced) {
  Read("[Common]\nServicePort=abc\nRunMode=12x\nLogMode=\nModuleNameAsFilePrefix=true\n");
  EXPECT_EQ(config.ServicePort, 30000);
  EXPECT_EQ(config.RunMode, 0);
  EXPECT_EQ(config.LogMode, 1);
  EXPECT_FALSE(config.ModuleNameAsFilePrefix);
  const std::string text = Written();
  EXPECT_NE(text.find("ServicePort=30000\n"), std::string::npos);
  EXPECT_NE(text.find("RunMode=0\n"), std::string::npos);
  EXPECT_NE(text.find("ModuleNameAsFilePrefix=0\n"), std::string::npos);
}

TEST_F(ConfigTest, IntegersTakeASignAndPortsKeepTheirLow16Bits) {
  Read("[Common]\nServicePort=70000\nSysLogPort=65536\nRunMode=-3\nLogMode=+2\n");
  EXPECT_EQ(config.ServicePort, 4464);
  EXPECT_EQ(config.SysLogPort, 0);
  EXPECT_EQ(config.RunMode, -3);
  EXPECT_EQ(config.LogMode, 2);
  EXPECT_NE(Written().find("ServicePort=4464\n"), std::string::npos);
  Read("[Common]\nRunMode=99999999999\nLogMode=-\nServicePort= 31000 \n");
  EXPECT_EQ(config.RunMode, 0);
  EXPECT_EQ(config.LogMode, 1);
  EXPECT_EQ(config.ServicePort, 31000);
}

TEST_F(ConfigTest, BooleanIsTrueExactlyWhenItStartsWithOne) {
  Read("[Common]\nModuleNameAsFilePrefix=1yes\n");
  EXPECT_TRUE(config.ModuleNameAsFilePrefix);
  Read("[Common]\nModuleNameAsFilePrefix=0\n");
  EXPECT_FALSE(config.ModuleNameAsFilePrefix);
  Read("[Common]\nModuleNameAsFilePrefix=\n");
  EXPECT_TRUE(config.ModuleNameAsFilePrefix);
}

TEST_F(ConfigTest, StringKeysKeepEmptyValuesAndMissingTrailingSlashes) {
  Read("[Common]\nBaseCatalog=/var/log/srv\nTimePlacementMask=\n");
  EXPECT_EQ(config.BaseCatalog, "/var/log/srv");
  EXPECT_EQ(config.TimePlacementMask, "");
  Read("[Common]\nBaseCatalog=\n");
  EXPECT_EQ(config.BaseCatalog, "");
}

TEST_F(ConfigTest, NamesInAnyCaseAreRecognisedAndUpdatedInPlace) {
  Read("[COMMON]\nrunmode=5\n");
  EXPECT_EQ(config.RunMode, 5);
  EXPECT_EQ(Written(),
            "[COMMON]\nrunmode=5\nServicePort=30000\nLogMode=1\nBaseCatalog=/opt/svc/bin/Logs/\n"
            "ModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\n");
}

TEST_F(ConfigTest, CommentsAndOtherSectionsSurviveTheWriteBack) {
  Read("; top\n[Providers]\n10.0.0.5|billing|core|=/opt/sinks/forward.so\n\n[Common]\n; note\n"
       "LogMode=2\n");
  const std::string text = Written();
  EXPECT_EQ(text.rfind("; top\n[Providers]\n10.0.0.5|billing|core|=/opt/sinks/forward.so\n\n"
                       "[Common]\n; note\nLogMode=2\n",
                       0),
            0u);
  EXPECT_EQ(config.LogMode, 2);
}

TEST_F(ConfigTest, AConfigurationThatCannotBeReadOrWrittenIsAnError) {
  TTempDir other;
  EXPECT_THROW(ReadServiceConfig(other.Path(), "/x/"), EConfigError);  // a directory
  EXPECT_THROW(ReadServiceConfig(other.Path() + "no/such/dir/LogServer.conf", "/x/"),
               EConfigError);
}

// ---------------------------------------------------------------------------
// Log queue

namespace {

pLogQueueElement Element(std::int32_t kind, const std::string& data = std::string()) {
  auto e = std::make_unique<tLogQueueElement>();
  e->Kind = kind;
  e->ClientAddress = "10.1.2.3";
  e->ClientPort = 4000;
  e->Data = data;
  return e;
}

}  // namespace

TEST(LogQueueTest, ElementsComeOutInPushOrder) {
  tLogQueue queue;
  for (const char* d : {"a", "b", "c"}) queue.Push(Element(lqkClientData, d));
  for (const char* d : {"a", "b", "c"}) {
    pLogQueueElement e;
    ASSERT_TRUE(queue.Pop(e));
    EXPECT_EQ(e->Data, d);
  }
  EXPECT_EQ(queue.PendingPosts(), 0);
}

TEST(LogQueueTest, ReleasesOnAnEmptyQueueWakeThePopperOnce) {
  tLogQueue queue;
  queue.Release();
  queue.Release();
  pLogQueueElement e = Element(1);
  EXPECT_FALSE(queue.Pop(e));
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(queue.PendingPosts(), 0);  // the next pop would block
}

TEST(LogQueueTest, APushAndAReleaseGiveOneElementThenNothingPending) {
  for (bool releaseFirst : {false, true}) {
    tLogQueue queue;
    if (releaseFirst) queue.Release();
    queue.Push(Element(lqkClientConnect));
    if (!releaseFirst) queue.Release();
    pLogQueueElement e;
    EXPECT_TRUE(queue.Pop(e));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(queue.PendingPosts(), 0);
  }
}

TEST(LogQueueTest, ABlockedPopReturnsWhenAnotherThreadPushes) {
  tLogQueue queue;
  std::atomic<bool> popped{false};
  std::thread popper([&] {
    pLogQueueElement e;
    popped = queue.Pop(e) && e->Kind == lqkSyslogDatagram;
  });
  queue.Push(Element(lqkSyslogDatagram, "x"));
  popper.join();
  EXPECT_TRUE(popped);
}

TEST(LogQueueTest, ManyPushersLoseNothing) {
  tLogQueue queue;
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::thread> pushers;
  for (int t = 0; t < kThreads; ++t)
    pushers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        queue.Push(Element(lqkClientData, "p"));
        if (i % 7 == 0) queue.Release();
      }
    });
  int taken = 0;
  while (taken < kThreads * kEach) {
    pLogQueueElement e;
    if (queue.Pop(e)) ++taken;
  }
  for (auto& p : pushers) p.join();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_GE(queue.PendingPosts(), 0);
}

TEST(LogQueueTest, ClearFreesQueuedElementsWithAndWithoutData) {
  tLogQueue queue;
  queue.Push(Element(lqkClientData, std::string(1000, 'x')));
  queue.Push(Element(lqkClientConnect));
  EXPECT_EQ(queue.Count(), 2u);
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0u);
  queue.Push(Element(lqkClientDisconnect));  // the destructor frees what is left
}

// ---------------------------------------------------------------------------
// Connection controller

TEST(ControllerTest, FiresAboutOnceASecondAndStopsOnRequest) {
  std::atomic<int> calls{0};
  auto controller = tControlConnectionsProcess::Create([&] { ++calls; });
  EXPECT_TRUE(testing_support::WaitUntil([&] { return calls.load() >= 2; }, 5000));
  controller.reset();
  const int after = calls.load();
  EXPECT_GE(after, 2);
  EXPECT_EQ(calls.load(), after);
}


// ---------------------------------------------------------------------------
// Message intake on the main thread

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
    tServiceConfig config;
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

  static std::string WorkedExample() {
    const unsigned char bytes[] = {
        0x00, 0x35, 0x00, 0x00, 0x00, 0x2d, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x30,
        0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x25, 0xe6, 0x40, 0x33, 0x00, 0x00, 0x00, 0x02,
        0x00, 0x00, 0x00, 0x61, 0x70, 0x70, 0x6d, 0x6f, 0x64, 0x68, 0x69};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }

  TTempDir dir;
  std::string base;
  int configured = 0;
  std::unique_ptr<tMainThread> service;
};

TEST_F(DispatchTest, WorkedExampleIsWrittenWithBothStamps) {
  const std::string payload = WorkedExample();
  ASSERT_EQ(payload.size(), 53u);
  service->DispatchElement(Element(lqkClientData, payload));
  const std::string file = OnlyFileBelow(base + "10.1.2.3/");
  EXPECT_NE(file.find("/10.1.2.3/app/mod/"), std::string::npos) << file;
  EXPECT_NE(file.find("/mod_"), std::string::npos) << file;
  const std::string text = ReadFile(file);
  ASSERT_EQ(text.size(), 12u + 17u + 2u + 2u) << text;
  EXPECT_EQ(text.substr(12), "[12:00:00.000] : hi\r\n");
}

TEST_F(DispatchTest, DecoderBoundsEveryStringByMessageSizeAndTheReceivedBytes) {
  tClientLogMessage m;
  std::string empty(45, '\0');
  empty[1] = 45;
  for (int field : {5, 13, 21, 37}) empty[field] = 45;
  EXPECT_TRUE(DecodeClientLogMessage(empty, m));
  EXPECT_TRUE(m.Text.empty() && m.ApplicationName.empty());

  std::string exact = WorkedExample();
  exact[17] = 5;  // module 48 + 5 = 53 = MessageSize
  EXPECT_TRUE(DecodeClientLogMessage(exact, m));
  exact[17] = 6;
  EXPECT_FALSE(DecodeClientLogMessage(exact, m));

  std::string wrap = WorkedExample();
  for (int i = 0; i < 4; ++i) wrap[5 + i] = static_cast<char>(0xff);
  wrap[9] = 2;
  EXPECT_FALSE(DecodeClientLogMessage(wrap, m));

  std::string beyond = WorkedExample();
  beyond[1] = static_cast<char>(200);  // claims more than was received
  beyond[41] = 100;
  EXPECT_FALSE(DecodeClientLogMessage(beyond, m));

  std::string other = WorkedExample();
  other[0] = 1;
  EXPECT_FALSE(DecodeClientLogMessage(other, m));
  EXPECT_FALSE(DecodeClientLogMessage(WorkedExample().substr(0, 44), m));
  EXPECT_FALSE(DecodeClientLogMessage(std::string(4, '\0'), m));
}

TEST_F(DispatchTest, BuiltMessagesDecodeToTheSameFields) {
  tClientLogMessage in{"billing", "core", "", std::string("a\0b", 3), 45356.5};
  tClientLogMessage out;
  ASSERT_TRUE(DecodeClientLogMessage(BuildClientLogMessage(in), out));
  EXPECT_EQ(out.ApplicationName, "billing");
  EXPECT_EQ(out.ModuleName, "core");
  EXPECT_EQ(out.FilePrefix, "");
  EXPECT_EQ(out.Text, std::string("a\0b", 3));
  EXPECT_EQ(out.EventTime, 45356.5);
}

TEST_F(DispatchTest, EmptyPrefixBecomesTheModuleNameOnlyWhenConfigured) {
  Configure(1, /*moduleNameAsFilePrefix=*/false);
  service->DispatchElement(
      Element(lqkClientData, BuildClientLogMessage({"app", "mod", "", "x", 0.0})));
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
        Element(lqkClientData, BuildClientLogMessage({"app", "mod", "", "hello", 0.0})));
    service->DispatchElement(Element(lqkClientDisconnect));
    service->DispatchElement(Element(3));
    std::vector<std::string> expected;
    if (mode >= 1) expected.push_back("CLIENT CONNECTED: [10.1.2.3:4000]");
    if (mode >= 2) expected.push_back("NEW MSG: [10.1.2.3:4000] \"hello\"");
    if (mode >= 1) expected.push_back("CLIENT DISCONNECTED: [10.1.2.3:4000]");
    EXPECT_EQ(ServiceTexts(), expected) << "LogMode " << mode;
  }
}

TEST_F(DispatchTest, DisconnectStopsTheClientsFileProducers) {
  service->DispatchElement(
      Element(lqkClientData, BuildClientLogMessage({"app", "mod", "", "x", 0.0})));
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

TEST(BoundedLogQueueTest, TryPushRefusesWhatDoesNotFit) {
  tLogQueue queue(10);
  EXPECT_TRUE(queue.TryPush(Element(lqkSyslogDatagram, std::string(25, 'a'))));  // empty queue
  EXPECT_FALSE(queue.TryPush(Element(lqkSyslogDatagram, "b")));
  EXPECT_TRUE(queue.TryPush(Element(lqkClientDisconnect)));  // no payload always fits
  EXPECT_EQ(queue.QueuedBytes(), 25u);
  pLogQueueElement e;
  ASSERT_TRUE(queue.Pop(e));
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  EXPECT_TRUE(queue.TryPush(Element(lqkSyslogDatagram, std::string(10, 'c'))));
}

TEST(BoundedLogQueueTest, PushWaitingWaitsForRoomAndGivesUpWhenClosed) {
  tLogQueue queue(10);
  queue.Push(Element(lqkClientData, std::string(8, 'a')));
  std::atomic<int> result{-1};
  std::thread pusher([&] { result = queue.PushWaiting(Element(lqkClientData, "bbbb")) ? 1 : 0; });
  pLogQueueElement e;
  ASSERT_TRUE(queue.Pop(e));  // makes room
  pusher.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(queue.QueuedBytes(), 4u);

  queue.Push(Element(lqkClientData, std::string(8, 'c')));
  std::thread blocked([&] { result = queue.PushWaiting(Element(lqkClientData, "dddd")) ? 1 : 0; });
  queue.Close();
  blocked.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(queue.Count(), 2u);
}

namespace {

class TFakePeer : public TIPConnection {
 public:
  TFakePeer() : TIPConnection("ls-fake-peer") {
    ClientAddress = "10.9.8.7";
    ClientPort = 514;
  }
  int SetSocketOption(int, int, const void*, int) override { return 0; }

 protected:
  void Execute() override {}
};

}  // namespace

TEST_F(DispatchTest, DatagramsDroppedAtAFullQueueAreReportedOnceAMinute) {
  Configure(1, true, /*queueBytes=*/10);
  TFakePeer peer;
  for (int i = 0; i < 3; ++i) service->OnSyslogDatagram(peer, "12345678", 8);
  service->OnSyslogBatchEnd();
  service->OnClientConnect(peer);  // control events are never dropped
  service->OnTcpBatchEnd();
  EXPECT_EQ(service->LogQueue()->Count(), 2u);
  service->ReportDroppedDatagrams();
  service->OnSyslogDatagram(peer, "12345678", 8);
  service->OnSyslogBatchEnd();
  service->ReportDroppedDatagrams();  // within the minute: nothing more
  EXPECT_EQ(ServiceTexts(), std::vector<std::string>{"DROPPED SYSLOG DATAGRAMS: 2 (log queue full)"});
}

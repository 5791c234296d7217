#include "producers/uLogProducerHolder.h"
#include "support/LogTimes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace logserver;
using namespace testing_support;

namespace {

// A producer that records what reaches it, for routing tests.
std::vector<std::string> gEvents;

class TRecordingProducer : public TCustomLogProducer {
 public:
  static PLogProducer Create(const TLogProducerTexts& texts, const TProducerEnvironment&) {
    PLogProducer p(new TRecordingProducer(texts));
    gEvents.push_back("create " + static_cast<TRecordingProducer*>(p.get())->Name());
    p->Start();
    return p;
  }
  void AddMessage(const std::string& Text, double, double) override {
    gEvents.push_back(Name() + " <- " + Text);
  }
  void Stop() override {
    gEvents.push_back("stop " + Name());
    TCustomLogProducer::Stop();
  }
  std::string Name() const {
    return (LibraryName.empty() ? "file " : "ext ") + ClientAddress + ":" + ClientPort + "|" +
           ApplicationName + "|" + ModuleName + "|" + FilePrefix;
  }

 private:
  explicit TRecordingProducer(const TLogProducerTexts& texts)
      : TCustomLogProducer(texts, "ls-recording") {}
};

std::vector<std::string> Keys(const tLogProducerHolder& holder) {
  std::vector<std::string> keys;
  for (const auto& entry : holder.Entries()) keys.push_back(entry.first);
  return keys;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { gEvents.clear(); }
  std::unique_ptr<tLogProducerHolder> Make(const std::string& providers) {
    const TIniDocument config("[Common]\nLogMode=1\n[Providers]\n" + providers);
    auto holder = std::make_unique<tLogProducerHolder>(dir.Path(), config.ReadSection("Providers"),
                                                       TProducerEnvironment{&files},
                                                       &TRecordingProducer::Create,
                                                       &TRecordingProducer::Create);
    return holder;
  }
  TTempDir dir;
  TLogFileTable files;
};

}  // namespace

TEST_F(RegistryTest, ProvidersEntriesWithFourFieldsBecomeExternalProducers) {
  auto holder = Make(
      "10.0.0.5|billing|core|=/opt/sinks/forward.so\n"
      "10.0.0.6:7000|a|m|p = lib2\n"
      "three|fields|only=x\n"
      "too|many|fields|here|now=y\n"
      "; 10.0.0.7|a|m|p=commented\n");
  ASSERT_EQ(holder->Entries().size(), 2u);
  EXPECT_EQ(Keys(*holder)[0], "10.0.0.5|billing|core|");
  EXPECT_EQ(gEvents, (std::vector<std::string>{"create ext 10.0.0.5:0|billing|core|",
                                               "create ext 10.0.0.6:7000|a|m|p"}));
  EXPECT_EQ(holder->Entries().back().second->LibraryName, "lib2");
}

TEST_F(RegistryTest, ProviderKeysClaimMessagesByTheirThreeForms) {
  auto holder = Make(
      "1.1.1.1:5|a|m|p=port\n"
      "1.1.1.1|a|m|p=anyport\n"
      "1.1.1.1|a|m|=anyprefix\n"
      "1.1.1.1|a|m|=anyprefix-twin\n");
  gEvents.clear();
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "p", "one", 0.0});
  holder->AddMessage(TLogMessage{"1.1.1.1", "6", "a", "m", "q", "two", 0.0});
  holder->AddMessage(TLogMessage{"1.1.1.1", "6", "A", "m", "p", "three", 0.0});  // exact case only
  EXPECT_EQ(gEvents, (std::vector<std::string>{
                         "ext 1.1.1.1:5|a|m|p <- one",
                         "ext 1.1.1.1:0|a|m|p <- one",
                         "ext 1.1.1.1:0|a|m| <- one",
                         "ext 1.1.1.1:0|a|m| <- one",
                         "ext 1.1.1.1:0|a|m| <- two",
                         "ext 1.1.1.1:0|a|m| <- two",
                         "create file 1.1.1.1:6|A|m|p",
                         "file 1.1.1.1:6|A|m|p <- three",
                     }));
}

TEST_F(RegistryTest, AnEmptyPrefixDeliversOnceToAnEntryMatchingTwoKeys) {
  auto holder = Make("1.1.1.1|a|m|=anyprefix\n");
  gEvents.clear();
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "", "once", 0.0});
  EXPECT_EQ(gEvents, (std::vector<std::string>{"ext 1.1.1.1:0|a|m| <- once"}));
}

TEST_F(RegistryTest, ClientKeysIgnoreCaseAndKeepTheFirstSpelling) {
  auto holder = Make("");
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "App", "Mod", "Mod", "one", 0.0});
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "APP", "mod", "MOD", "two", 0.0});
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "App", "Mod", "other", "three", 0.0});
  EXPECT_EQ(gEvents, (std::vector<std::string>{
                         "create file 1.1.1.1:5|App|Mod|Mod",
                         "file 1.1.1.1:5|App|Mod|Mod <- one",
                         "file 1.1.1.1:5|App|Mod|Mod <- two",
                         "create file 1.1.1.1:5|App|Mod|other",
                         "file 1.1.1.1:5|App|Mod|other <- three",
                     }));
  EXPECT_EQ(Keys(*holder)[0], "*1.1.1.1:5=App|Mod|Mod");
}

TEST_F(RegistryTest, RemoveClientProducersStopsOnlyThatClient) {
  auto holder = Make("1.1.1.1:5|x|y|z=lib\n");
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "p", "1", 0.0});
  holder->AddMessage(TLogMessage{"1.1.1.1", "55", "a", "m", "p", "2", 0.0});
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "b", "m", "p", "3", 0.0});
  gEvents.clear();
  holder->RemoveClientProducers("1.1.1.1", "5");
  EXPECT_EQ(gEvents, (std::vector<std::string>{"stop file 1.1.1.1:5|a|m|p",
                                               "stop file 1.1.1.1:5|b|m|p"}));
  EXPECT_EQ(Keys(*holder), (std::vector<std::string>{"1.1.1.1:5|x|y|z", "*1.1.1.1:55=a|m|p"}));
  gEvents.clear();
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "p", "again", 0.0});
  EXPECT_EQ(gEvents[0], "create file 1.1.1.1:5|a|m|p");
}

TEST_F(RegistryTest, SilentSendersAreForgottenAndTheLongestSilentGoFirstBeyondTheBound) {
  auto holder = Make("");
  holder->SetPeerLimits(600, 4);
  const double second = 1.0 / 86400, t0 = 46000.0;
  // Five senders, one a second; the fifth is one too many: the bound makes
  // room by a tenth of itself (one), the longest silent first.
  for (int i = 1; i <= 4; ++i)
    holder->AddMessage(TLogMessage{"10.0.0." + std::to_string(i), "514", "SYSLOG", "syslog", "", "x", 0.0, t0 + i * second});
  holder->AddMessage(TLogMessage{"10.0.0.1", "514", "SYSLOG", "syslog", "", "again", 0.0, t0 + 5 * second});
  gEvents.clear();
  holder->AddMessage(TLogMessage{"10.0.0.5", "514", "SYSLOG", "syslog", "", "x", 0.0, t0 + 6 * second});
  EXPECT_EQ(gEvents[0], "stop file 10.0.0.2:514|SYSLOG|syslog|");
  EXPECT_EQ(holder->Peers(), 4u);
  EXPECT_EQ(holder->PeersForgottenEarly(), 1u);
  // Ten minutes later only the one that spoke since is kept.
  holder->AddMessage(TLogMessage{"10.0.0.3", "514", "SYSLOG", "syslog", "", "x", 0.0, t0 + 300 * second});
  EXPECT_EQ(holder->ForgetIdlePeers(t0 + 610 * second), 3u);
  EXPECT_EQ(Keys(*holder), (std::vector<std::string>{"*10.0.0.3:514=SYSLOG|syslog|"}));
  // A forgotten sender comes back with its next message.
  gEvents.clear();
  holder->AddMessage(TLogMessage{"10.0.0.1", "514", "SYSLOG", "syslog", "", "back", 0.0, t0 + 611 * second});
  EXPECT_EQ(gEvents, (std::vector<std::string>{"create file 10.0.0.1:514|SYSLOG|syslog|",
                                               "file 10.0.0.1:514|SYSLOG|syslog| <- back"}));
}

TEST_F(RegistryTest, DestructionStopsEveryProducerInOrderOfCreation) {
  auto holder = Make("9.9.9.9|a|m|=lib\n");
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "p", "1", 0.0});
  holder->AddMessage(TLogMessage{"2.2.2.2", "5", "a", "m", "p", "2", 0.0});
  gEvents.clear();
  holder.reset();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"stop ext 9.9.9.9:0|a|m|",
                                               "stop file 1.1.1.1:5|a|m|p",
                                               "stop file 2.2.2.2:5|a|m|p"}));
}

TEST_F(RegistryTest, AReconfigurationKeepsUnchangedProvidersReplacesTheOthersAndMovesSendersToTheNewBase) {
  auto holder = Make("9.9.9.9|a|m|=kept\n8.8.8.8|a|m|=old\n6.6.6.6|a|m|=gone\n");
  holder->AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "p", "1", 0.0});
  gEvents.clear();
  holder->Reconfigure(dir.Path() + "moved/",
                      {{"8.8.8.8|a|m|", "new"}, {"9.9.9.9|a|m|", "kept"}, {"7.7.7.7|a|m|", "added"}});
  EXPECT_EQ(gEvents, (std::vector<std::string>{"stop file 1.1.1.1:5|a|m|p", "stop ext 8.8.8.8:0|a|m|",
                                               "stop ext 6.6.6.6:0|a|m|", "create ext 8.8.8.8:0|a|m|",
                                               "create ext 7.7.7.7:0|a|m|"}));
  gEvents.clear();
  for (const char* address : {"9.9.9.9", "8.8.8.8", "6.6.6.6", "1.1.1.1"})
    holder->AddMessage(TLogMessage{address, "5", "a", "m", "p", "2", 0.0});
  EXPECT_EQ(gEvents, (std::vector<std::string>{"ext 9.9.9.9:0|a|m| <- 2", "ext 8.8.8.8:0|a|m| <- 2",
                                               "create file 6.6.6.6:5|a|m|p", "file 6.6.6.6:5|a|m|p <- 2",
                                               "create file 1.1.1.1:5|a|m|p", "file 1.1.1.1:5|a|m|p <- 2"}));
  EXPECT_EQ(holder->BaseCatalog(), dir.Path() + "moved/");
  // Providers still stop first.
  EXPECT_EQ(Keys(*holder), (std::vector<std::string>{"9.9.9.9|a|m|", "8.8.8.8|a|m|", "7.7.7.7|a|m|",
                                                     "*6.6.6.6:5=a|m|p", "*1.1.1.1:5=a|m|p"}));
}

TEST_F(RegistryTest, UnclaimedMessagesReachTheirFiles) {
  tLogProducerHolder holder(dir.Path(), TIniEntries{}, {&files});
  holder.AddMessage(TLogMessage{"10.1.2.9", "514", "SYSLOG", "syslog", "", "<13>hi", 0.0,
                      EncodeDateTime(2024, 3, 5, 9, 59, 59, 0)});
  holder.AddMessage(TLogMessage{"10.1.2.3", "7", "billing", "core", "core", "x", 45356.5, k1407});
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.9/SYSLOG/syslog/2024_03_05/09.log"), "<13>hi\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/billing/core/2024_03_05/core_14.log"),
            "14:07:09.045[12:00:00.000] : x\r\n");
}

TEST_F(RegistryTest, NewPathsBeyondASendersBudgetGoToItsOverflowFileUntilTheBudgetRefills) {
  tLogProducerHolder holder(dir.Path(), TIniEntries{}, {&files});
  holder.SetPathBudget(1, 6);
  const double second = 1.0 / 86400;
  // 1.1.1.1/a/m/2024_03_05/p_14.log: five new paths of six.
  holder.AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "p", "own", 0.0, k1407});
  // b|m would make four: over the budget, so the overflow file takes it,
  // its names in front. Another sender has a budget of its own.
  holder.AddMessage(TLogMessage{"1.1.1.1", "5", "b", "m", "p|q", "over", 0.0, k1407});
  holder.AddMessage(TLogMessage{"2.2.2.2", "5", "b", "m", "", "other", 0.0, k1407});
  // A new port of the same address in a known file costs nothing.
  holder.AddMessage(TLogMessage{"1.1.1.1", "6", "a", "m", "p", "known", 0.0, k1407});
  EXPECT_EQ(holder.Overflowed(), 1u);
  EXPECT_EQ(holder.LastOverflowed(), "1.1.1.1");
  // Three seconds later the budget holds four again: b|m gets its file.
  holder.AddMessage(TLogMessage{"1.1.1.1", "5", "b", "m", "p|q", "later", 0.0, k1407 + 3 * second});
  EXPECT_EQ(ReadFile(dir.Path() + "1.1.1.1/overflow~0000000000000000/2024_03_05/14.log"),
            "b|m|p\\|q|over\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "1.1.1.1/a/m/2024_03_05/p_14.log"), "own\r\nknown\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "1.1.1.1/b/m/2024_03_05/p|q_14.log"), "later\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "2.2.2.2/b/m/2024_03_05/14.log"), "other\r\n");

  // A route named by a relayed HOSTNAME is charged to its sender too, and
  // every route to the service's budget; beyond that, one shared file.
  tLogProducerHolder relayed(dir.Path(), TIniEntries{}, {&files});
  relayed.SetPathBudget(1, 6, 100, 6, "0.0.0.0");
  relayed.AddMessage(TLogMessage{"host-a", "514", "SYSLOG", "syslog", "", "a", 0.0, k1407}, "9.9.9.9");
  // A tenth of a second on, the service's budget is full again, the
  // sender's is not: a second HOSTNAME of it goes to its overflow file.
  relayed.AddMessage(TLogMessage{"host-b", "514", "SYSLOG", "syslog", "", "b", 0.0, k1407 + second / 10},
                     "9.9.9.9");
  relayed.AddMessage(TLogMessage{"8.8.8.8", "5", "a", "m", "", "c", 0.0, k1407 + second / 10});
  relayed.AddMessage(TLogMessage{"7.7.7.7", "5", "a", "m", "", "d", 0.0, k1407 + second / 10});
  EXPECT_EQ(ReadFile(dir.Path() + "host-a/SYSLOG/syslog/2024_03_05/14.log"), "a\r\n");
  EXPECT_FALSE(Exists(dir.Path() + "host-b"));
  EXPECT_EQ(ReadFile(dir.Path() + "9.9.9.9/overflow~0000000000000000/2024_03_05/14.log"), "SYSLOG|syslog||b\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "8.8.8.8/a/m/2024_03_05/14.log"), "c\r\n");
  EXPECT_FALSE(Exists(dir.Path() + "7.7.7.7"));
  EXPECT_EQ(ReadFile(dir.Path() + "0.0.0.0/overflow~0000000000000000/2024_03_05/14.log"), "7.7.7.7|a|m||d\r\n");
  EXPECT_EQ(relayed.LastOverflowed(), "7.7.7.7");
}

TEST_F(RegistryTest, UnusableProviderEntriesAreReportedAndClaimNothing) {
  const TIniDocument config(std::string("[Providers]\n1.1.1.1|a|m|=") + TEST_PROVIDER_REFUSE + "\n" +
                            "1.1.1.1|b|m|=/nonexistent.so\n" + "1.1.1.1|c|m|=" +
                            TEST_PROVIDER_FULL + "\n");
  std::vector<std::string> reports;
  tLogProducerHolder holder(dir.Path(), config.ReadSection("Providers"), {&files},
                            &TFileLogProducer::Create,
                            &TExternalLogProducer::Create,
                            [&](const std::string& line) { reports.push_back(line); });
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].rfind("PROVIDER \"1.1.1.1|a|m|\" NOT USED: ", 0), 0u) << reports[0];
  EXPECT_EQ(reports[1].rfind("PROVIDER \"1.1.1.1|b|m|\" NOT USED: cannot load", 0), 0u);
  EXPECT_EQ(Keys(holder), std::vector<std::string>{"1.1.1.1|c|m|"});
  holder.AddMessage(TLogMessage{"1.1.1.1", "5", "a", "m", "", "to a file", 0.0, k1407});
  EXPECT_EQ(ReadFile(dir.Path() + "1.1.1.1/a/m/2024_03_05/14.log"), "to a file\r\n");
}

TEST_F(RegistryTest, FileProducersStartNoThreadsHoweverManyRoutes) {
  auto threads = [] {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) n += !entry.path().empty();
    return n;
  };
  tLogProducerHolder holder(dir.Path(), TIniEntries{}, {&files});
  const std::size_t before = threads();
  // One sender, 10,000 routes (prefixes: one directory, 10,000 files).
  for (int i = 0; i < 10000; ++i)
    holder.AddMessage(TLogMessage{"10.1.2.3", "7", "app", "m", "p" + std::to_string(i), "x", 0.0, k1407});
  EXPECT_EQ(holder.Entries().size(), 10000u);
  EXPECT_EQ(threads(), before);
  // Not even one that ran and ended.
  for (const auto& entry : holder.Entries()) ASSERT_FALSE(entry.second->Started());
}

#include "producers/uLogProducer.h"
#include "platform/uTime.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace logserver;
using testing_support::Exists;
using testing_support::FilesBelow;
using testing_support::ReadFile;
using testing_support::TTempDir;
using testing_support::WriteFile;

namespace {

const double k1407 = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);
const double k1408 = EncodeDateTime(2024, 3, 5, 14, 8, 0, 0);
const double k1500 = EncodeDateTime(2024, 3, 5, 15, 0, 0, 0);
const double kBeforeMidnight = EncodeDateTime(2024, 3, 5, 23, 59, 59, 999);
const double kMidnight = EncodeDateTime(2024, 3, 6, 0, 0, 0, 0);

PLogProducer FileProducer(const std::string& base, const std::string& app = "billing",
                          const std::string& module = "core", const std::string& prefix = "core") {
  return TFileLogProducer::Create({base, "10.1.2.3", "4000", app, module, prefix, ""});
}

}  // namespace

// ---------------------------------------------------------------------------
// File producer

TEST(FileLogProducerTest, WritesStampedLinesIntoTheHourlyFile) {
  TTempDir dir;
  auto producer = FileProducer(dir.Path());
  EXPECT_FALSE(producer->IsActive());  // nothing opened before the first message
  producer->AddMessage("Connection opened", EncodeDateTime(2024, 3, 5, 14, 7, 8, 998), k1407);
  producer->AddMessage("", 0.0, k1408);
  producer->AddMessage("no stamp", 0.0, k1408);
  producer->AddMessage("negative", -1.5, k1408);
  EXPECT_TRUE(producer->IsActive());
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/billing/core/2024_03_05/core_14.log"),
            "14:07:09.045[14:07:08.998] : Connection opened\r\n"
            "\r\n"
            "no stamp\r\n"
            "14:08:00.000[12:00:00.000] : negative\r\n");
}

TEST(FileLogProducerTest, TextIsWrittenByteForByte) {
  TTempDir dir;
  auto producer = FileProducer(dir.Path());
  const std::string raw("a\nb\r\0\xff", 6);
  producer->AddMessage(raw, 0.0, k1407);
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/billing/core/2024_03_05/core_14.log"), raw + "\r\n");
}

TEST(FileLogProducerTest, HourChangesInBothDirectionsSwitchFilesAndAppend) {
  TTempDir dir;
  auto producer = FileProducer(dir.Path(), "a", "m", "");
  producer->AddMessage("one", 0.0, k1407);
  producer->AddMessage("two", 0.0, k1500);
  producer->AddMessage("three", 0.0, k1408);  // the clock went back
  const std::string day = dir.Path() + "10.1.2.3/a/m/2024_03_05/";
  EXPECT_EQ(ReadFile(day + "14.log"), "one\r\nthree\r\n");
  EXPECT_EQ(ReadFile(day + "15.log"), "two\r\n");
}

TEST(FileLogProducerTest, MidnightStartsANewDateDirectory) {
  TTempDir dir;
  auto producer = FileProducer(dir.Path(), "a", "m", "p");
  producer->AddMessage("late", 0.0, kBeforeMidnight);
  producer->AddMessage("early", 0.0, kMidnight);
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/a/m/2024_03_05/p_23.log"), "late\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/a/m/2024_03_06/p_00.log"), "early\r\n");
}

TEST(FileLogProducerTest, ExistingFilesAreAppendedToNeverTruncated) {
  TTempDir dir;
  const std::string path = dir.Path() + "10.1.2.3/a/m/2024_03_05/14.log";
  WriteFile(path, "kept\r\n");
  auto first = FileProducer(dir.Path(), "a", "m", "");
  auto second = TFileLogProducer::Create({dir.Path(), "10.1.2.3", "4001", "a", "m", "", ""});
  first->AddMessage("first", 0.0, k1407);
  second->AddMessage("second", 0.0, k1407);
  first->AddMessage("third", 0.0, k1407);
  EXPECT_EQ(ReadFile(path), "kept\r\nfirst\r\nsecond\r\nthird\r\n");
}

TEST(FileLogProducerTest, AFailedOpenIsRetriedOnceARetryIntervalHasPassed) {
  TTempDir dir;
  // A plain file where the address directory should be blocks the open.
  WriteFile(dir.Path() + "10.1.2.3", "in the way");
  TLogFileTable::Shared().TakeLosses();
  TLogFileTable::Shared().SetRetryInterval(3600 * 1000);
  auto producer = FileProducer(dir.Path(), "a", "m", "");
  producer->AddMessage("lost", 0.0, k1407);
  EXPECT_FALSE(producer->IsActive());
  std::remove((dir.Path() + "10.1.2.3").c_str());
  producer->AddMessage("still lost", 0.0, k1408);  // within the interval: no new attempt
  EXPECT_FALSE(producer->IsActive());
  producer->AddMessage("written", 0.0, k1500);  // a new hour's file is tried at once
  EXPECT_TRUE(producer->IsActive());
  // Within the hour, the next attempt comes once the interval has passed.
  WriteFile(dir.Path() + "10.1.2.4", "in the way");
  TLogFileTable::Shared().SetRetryInterval(0);
  auto other = TFileLogProducer::Create({dir.Path(), "10.1.2.4", "1", "a", "m", "", ""});
  other->AddMessage("lost too", 0.0, k1407);
  std::remove((dir.Path() + "10.1.2.4").c_str());
  other->AddMessage("retried", 0.0, k1408);
  TLogFileTable::Shared().SetRetryInterval(TLogFileTable::kDefaultRetryMs);
  const auto files = FilesBelow(dir.Path());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(ReadFile(files[0]), "written\r\n");
  EXPECT_EQ(ReadFile(files[1]), "retried\r\n");
  // Every lost line was counted, with its reason.
  std::uint64_t lost = 0;
  for (const auto& loss : TLogFileTable::Shared().TakeLosses()) {
    lost += loss.Lines;
    EXPECT_EQ(loss.Error, ENOTDIR) << loss.Path;
  }
  EXPECT_EQ(lost, 3u);
}

TEST(FileLogProducerTest, BaseCatalogIsAPlainPrefix) {
  TTempDir dir;
  auto producer = TFileLogProducer::Create({dir.Path() + "Logs", "10.1.2.3", "1", "a", "m", "", ""});
  producer->AddMessage("x", 0.0, k1407);
  EXPECT_TRUE(Exists(dir.Path() + "Logs10.1.2.3/a/m/2024_03_05/14.log"));
}

TEST(FileLogProducerTest, NoRoutingNameCanLeaveTheClientDirectory) {
  TTempDir dir;
  const std::string base = dir.Path() + "Logs/";
  const std::vector<std::string> hostile = {"..",      "../..", "../../etc",
                                            "a/../..", "/..",   std::string("..\0x", 4)};
  int port = 0;
  for (const std::string& name : hostile) {
    auto producer =
        TFileLogProducer::Create({base, "10.1.2.3", std::to_string(port++), name, name, name, ""});
    producer->AddMessage("x", 0.0, k1407);
    EXPECT_TRUE(producer->IsActive()) << name;
  }
  const auto inside = FilesBelow(base + "10.1.2.3/");
  EXPECT_EQ(FilesBelow(dir.Path()), inside);
  EXPECT_GE(inside.size(), hostile.size() - 1);  // "/.." and ".." share a path
  EXPECT_EQ(SafePathName("../a/.../..x/.."), "__/a/.../..x/__");
  EXPECT_EQ(SafePathName(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(SafePathName("nested/dirs"), "nested/dirs");
}

TEST(FileLogProducerTest, NamesBeyondTheLimitsAreShortenedAndStayApart) {
  auto levels = [](const std::string& app, const std::string& prefix = "") {
    auto producer = TFileLogProducer::Create({"/b/", "10.1.2.3", "1", app, "m", prefix, ""});
    const TLogFilePath path = static_cast<TFileLogProducer*>(producer.get())->FilePath(k1407);
    std::vector<std::string> all = path.Directories;
    all.push_back(path.FileName);
    return std::make_pair(all, static_cast<TFileLogProducer*>(producer.get())->Shortened());
  };
  using V = std::vector<std::string>;
  // Within the limits the path is what it always was; empty levels vanish.
  EXPECT_EQ(levels("a//b/c/d/e"), std::make_pair(V{"10.1.2.3", "a", "b", "c", "d", "e", "m",
                                                  "2024_03_05", "14.log"}, false));
  EXPECT_EQ(levels("a", "p/q/").first.back(), "_14.log");
  // More levels: the rest joins the last one allowed, marked with a hash.
  const auto deep = levels("a/b/c/d/e/f/g");
  EXPECT_TRUE(deep.second);
  ASSERT_EQ(deep.first.size(), 9u);
  EXPECT_EQ(deep.first[5], "e_f_g~c90815ddfe1b6cd7");  // the README's example
  EXPECT_NE(deep.first[5], levels("a/b/c/d/e_f_g").first[5]);
  // Longer levels: the first bytes, the mark, 255 bytes in all.
  const auto wide = levels(std::string(300, 'x'));
  EXPECT_EQ(wide.first[1].size(), 255u);
  EXPECT_EQ(wide.first[1].substr(0, 238), std::string(238, 'x'));
  EXPECT_NE(wide.first[1], levels(std::string(301, 'x')).first[1]);
  const auto longPrefix = levels("a", std::string(400, 'p'));
  EXPECT_EQ(longPrefix.first.back().size(), 255u);
  EXPECT_EQ(longPrefix.first.back().substr(248), "_14.log");
}

TEST(FileLogProducerTest, StopAndWaitReturnAtOnceWithoutMessages) {
  TTempDir dir;
  auto producer = FileProducer(dir.Path());
  producer->Stop();
  producer->WaitFor();
  EXPECT_TRUE(FilesBelow(dir.Path()).empty());
}

// ---------------------------------------------------------------------------
// External producer

namespace {

struct TLibraryRecord {
  std::mutex lock;
  std::vector<std::string> calls;
  std::vector<double> times;
  std::atomic<int> finalized{0};
};
TLibraryRecord gLibrary;

void RecordAdd(double eventTime, double serverTime, const char* text) {
  std::lock_guard<std::mutex> g(gLibrary.lock);
  gLibrary.calls.emplace_back(text);
  gLibrary.times.push_back(eventTime);
  gLibrary.times.push_back(serverTime);
}
void RecordFinalize() { ++gLibrary.finalized; }

std::size_t LibraryCalls() {
  std::lock_guard<std::mutex> g(gLibrary.lock);
  return gLibrary.calls.size();
}

}  // namespace

TEST(ExternalLogProducerTest, TaskBlockHasTheDocumentedLayout) {
  const TExternalLogProducerTask empty("", 0.0, 1.5);
  EXPECT_EQ(empty.Size(), 21u);
  EXPECT_EQ(empty.Block().size(), 21u);
  EXPECT_EQ(empty.Text()[0], '\0');
  EXPECT_EQ(empty.ServerTime(), 1.5);
  const TExternalLogProducerTask zeros(std::string("ab\0cd", 5), 2.0, 3.0);
  EXPECT_EQ(zeros.Size(), 26u);
  EXPECT_EQ(std::string(zeros.Text()), "ab");
  EXPECT_EQ(std::string(zeros.Text(), 5), std::string("ab\0cd", 5));
  EXPECT_EQ(zeros.Block()[0], 26);
  EXPECT_EQ(zeros.Block()[25], 0);
}

TEST(ExternalLogProducerTest, HandsTasksToTheLibraryInOrderThenFinalizesOnce) {
  {
    std::lock_guard<std::mutex> g(gLibrary.lock);
    gLibrary.calls.clear();
    gLibrary.times.clear();
  }
  gLibrary.finalized = 0;
  TExternalLogProducer::TEntryPoints entry;
  entry.AddMessageProc = &RecordAdd;
  entry.FinalizeProc = &RecordFinalize;
  auto producer = TExternalLogProducer::CreateBound({"", "10.0.0.5", "0", "billing", "core", "",
                                                    "lib.so"}, entry);
  for (int i = 0; i < 100; ++i) producer->AddMessage("m" + std::to_string(i), i, 1000.0 + i);
  EXPECT_TRUE(testing_support::WaitUntil([] { return LibraryCalls() == 100; }));
  producer->Stop();
  producer->WaitFor();
  EXPECT_EQ(gLibrary.finalized.load(), 0);
  producer.reset();
  EXPECT_EQ(gLibrary.finalized.load(), 1);
  std::lock_guard<std::mutex> g(gLibrary.lock);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(gLibrary.calls[i], "m" + std::to_string(i));
    EXPECT_EQ(gLibrary.times[2 * i], i);
    EXPECT_EQ(gLibrary.times[2 * i + 1], 1000.0 + i);
  }
}

TEST(ExternalLogProducerTest, WithoutEntryPointsMessagesAreDiscarded) {
  auto producer = TExternalLogProducer::CreateBound({"", "10.0.0.5", "0", "a", "m", "", "lib.so"},
                                                    TExternalLogProducer::TEntryPoints{});
  for (int i = 0; i < 1000; ++i) producer->AddMessage("x", 0.0, 1.0);
  EXPECT_TRUE(producer->IsActive());
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] { return static_cast<TExternalLogProducer*>(producer.get())->QueuedTasks() == 0; }));
  producer->Stop();
  producer->WaitFor();
}

TEST(ExternalLogProducerTest, StopWakesAnIdleThread) {
  auto producer = TExternalLogProducer::CreateBound({"", "1.2.3.4", "0", "", "", "", ""},
                                                    TExternalLogProducer::TEntryPoints{});
  producer->Stop();
  producer->WaitFor();
  EXPECT_TRUE(producer->Terminated());
}

// ---------------------------------------------------------------------------
// Registry

namespace {

// A producer that records what reaches it, for routing tests.
std::vector<std::string> gEvents;

class TRecordingProducer : public TCustomLogProducer {
 public:
  static PLogProducer Create(const TLogProducerTexts& texts) {
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
    const tIniDocument config("[Common]\nLogMode=1\n[Providers]\n" + providers);
    auto holder = std::make_unique<tLogProducerHolder>(dir.Path(), config.ReadSection("Providers"),
                                                       &TRecordingProducer::Create,
                                                       &TRecordingProducer::Create);
    return holder;
  }
  TTempDir dir;
};

}  // namespace

TEST(ProviderKeyTest, SplitsAtBarsBlanksAndQuotes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitProviderKey("10.0.0.5|billing|core|"), (V{"10.0.0.5", "billing", "core", ""}));
  EXPECT_EQ(SplitProviderKey("a | b |c|d"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitProviderKey("a b|c|d"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitProviderKey("\"x|y\"|\"say \"\"hi\"\"\"|m|"), (V{"x|y", "say \"hi\"", "m", ""}));
  EXPECT_EQ(SplitProviderKey("\"open|rest"), (V{"open|rest"}));
  EXPECT_EQ(SplitProviderKey("|||"), (V{"", "", "", ""}));
  EXPECT_EQ(SplitProviderKey("a||b"), (V{"a", "", "b"}));
  EXPECT_EQ(SplitProviderKey(""), V{});
}

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
  holder->AddMessage("1.1.1.1", "5", "a", "m", "p", "one", 0.0);
  holder->AddMessage("1.1.1.1", "6", "a", "m", "q", "two", 0.0);
  holder->AddMessage("1.1.1.1", "6", "A", "m", "p", "three", 0.0);  // exact case only
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
  holder->AddMessage("1.1.1.1", "5", "a", "m", "", "once", 0.0);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"ext 1.1.1.1:0|a|m| <- once"}));
}

TEST_F(RegistryTest, ClientKeysIgnoreCaseAndKeepTheFirstSpelling) {
  auto holder = Make("");
  holder->AddMessage("1.1.1.1", "5", "App", "Mod", "Mod", "one", 0.0);
  holder->AddMessage("1.1.1.1", "5", "APP", "mod", "MOD", "two", 0.0);
  holder->AddMessage("1.1.1.1", "5", "App", "Mod", "other", "three", 0.0);
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
  holder->AddMessage("1.1.1.1", "5", "a", "m", "p", "1", 0.0);
  holder->AddMessage("1.1.1.1", "55", "a", "m", "p", "2", 0.0);
  holder->AddMessage("1.1.1.1", "5", "b", "m", "p", "3", 0.0);
  gEvents.clear();
  holder->RemoveClientProducers("1.1.1.1", "5");
  EXPECT_EQ(gEvents, (std::vector<std::string>{"stop file 1.1.1.1:5|a|m|p",
                                               "stop file 1.1.1.1:5|b|m|p"}));
  EXPECT_EQ(Keys(*holder), (std::vector<std::string>{"1.1.1.1:5|x|y|z", "*1.1.1.1:55=a|m|p"}));
  gEvents.clear();
  holder->AddMessage("1.1.1.1", "5", "a", "m", "p", "again", 0.0);
  EXPECT_EQ(gEvents[0], "create file 1.1.1.1:5|a|m|p");
}

TEST_F(RegistryTest, DestructionStopsEveryProducerInOrderOfCreation) {
  auto holder = Make("9.9.9.9|a|m|=lib\n");
  holder->AddMessage("1.1.1.1", "5", "a", "m", "p", "1", 0.0);
  holder->AddMessage("2.2.2.2", "5", "a", "m", "p", "2", 0.0);
  gEvents.clear();
  holder.reset();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"stop ext 9.9.9.9:0|a|m|",
                                               "stop file 1.1.1.1:5|a|m|p",
                                               "stop file 2.2.2.2:5|a|m|p"}));
}

TEST(RegistryFilesTest, UnclaimedMessagesReachTheirFiles) {
  TTempDir dir;
  tLogProducerHolder holder(dir.Path(), tIniEntries{});
  holder.AddMessageAt("10.1.2.9", "514", "SYSLOG", "syslog", "", "<13>hi", 0.0,
                      EncodeDateTime(2024, 3, 5, 9, 59, 59, 0));
  holder.AddMessageAt("10.1.2.3", "7", "billing", "core", "core", "x", 45356.5, k1407);
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.9/SYSLOG/syslog/2024_03_05/09.log"), "<13>hi\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/billing/core/2024_03_05/core_14.log"),
            "14:07:09.045[12:00:00.000] : x\r\n");
}

// ---------------------------------------------------------------------------
// Shared open files

TEST(LogFileTableTest, ClosesTheLeastRecentFileAndReopensItForAppending) {
  TTempDir dir;
  TLogFileTable table(2);
  const std::string a = dir.Path() + "x/a.log", b = dir.Path() + "x/b.log", c = dir.Path() + "y/c.log";
  ASSERT_TRUE(table.Attach(a));
  ASSERT_TRUE(table.Attach(b));
  EXPECT_TRUE(table.Append(a, "a1\n"));
  ASSERT_TRUE(table.Attach(c));  // closes b, the least recently written
  EXPECT_EQ(table.OpenFiles(), 2u);
  EXPECT_TRUE(table.Append(b, "b1\n"));  // reopened, closing a
  EXPECT_TRUE(table.Append(a, "a2\n"));
  EXPECT_TRUE(table.Append(c, "c1\n"));
  EXPECT_LE(table.OpenFiles(), 2u);
  EXPECT_EQ(ReadFile(a), "a1\na2\n");
  EXPECT_EQ(ReadFile(b), "b1\n");
  EXPECT_EQ(ReadFile(c), "c1\n");
  table.Detach(a);
  table.Detach(b);
  table.Detach(c);
  EXPECT_EQ(table.OpenFiles(), 0u);
  EXPECT_FALSE(table.Append(a, "lost\n"));  // no user: nothing is written
}

TEST(LogFileTableTest, UsersOfOnePathShareOneDescriptor) {
  TTempDir dir;
  TLogFileTable table(8);
  const std::string path = dir.Path() + "shared.log";
  ASSERT_TRUE(table.Attach(path));
  ASSERT_TRUE(table.Attach(path));
  EXPECT_EQ(table.OpenFiles(), 1u);
  table.Detach(path);
  EXPECT_TRUE(table.Append(path, "still open\n"));
  table.Detach(path);
  EXPECT_EQ(table.OpenFiles(), 0u);
  EXPECT_EQ(ReadFile(path), "still open\n");
  EXPECT_FALSE(table.Attach(dir.Path() + "missing-dir-is-a-file/x.log/"));
}

TEST(LogFileTableTest, ABatchWritesEachFileOnceWithItsLinesInOrder) {
  TTempDir dir;
  TLogFileTable& table = TLogFileTable::Shared();
  // Two producers share one file, a third writes another.
  auto first = FileProducer(dir.Path(), "a", "m", "");
  auto second = TFileLogProducer::Create({dir.Path(), "10.1.2.3", "4001", "a", "m", "", ""});
  auto other = FileProducer(dir.Path(), "b", "m", "");
  const std::string shared = dir.Path() + "10.1.2.3/a/m/2024_03_05/14.log";
  const std::string alone = dir.Path() + "10.1.2.3/b/m/2024_03_05/14.log";
  table.BeginBatch();
  const std::uint64_t before = table.Counts().Writes;
  for (int i = 0; i < 100; ++i) {
    (i % 3 == 0 ? second : first)->AddMessage("shared " + std::to_string(i), 0.0, k1407);
    other->AddMessage("alone " + std::to_string(i), 0.0, k1407);
  }
  EXPECT_EQ(ReadFile(shared), "");  // nothing before the batch ends
  table.EndBatch();
  EXPECT_EQ(table.Counts().Writes - before, 2u);  // one write per file
  std::string expectShared, expectAlone;
  for (int i = 0; i < 100; ++i) {
    expectShared += "shared " + std::to_string(i) + "\r\n";
    expectAlone += "alone " + std::to_string(i) + "\r\n";
  }
  EXPECT_EQ(ReadFile(shared), expectShared);
  EXPECT_EQ(ReadFile(alone), expectAlone);
  // Pending lines go out before their file changes hour, and before their
  // producer goes, without waiting for the batch's end.
  table.BeginBatch();
  first->AddMessage("last of 14", 0.0, k1407);
  first->AddMessage("first of 15", 0.0, k1500);
  EXPECT_EQ(ReadFile(shared), expectShared + "last of 14\r\n");
  other->AddMessage("before it goes", 0.0, k1407);
  other.reset();
  EXPECT_EQ(ReadFile(alone), expectAlone + "before it goes\r\n");
  table.EndBatch();
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/a/m/2024_03_05/15.log"), "first of 15\r\n");
}

TEST(LogFileTableTest, ManyProducersStayWithinTheSharedBound) {
  TTempDir dir;
  TLogFileTable::Shared().SetCapacity(16);
  std::vector<PLogProducer> producers;
  for (int i = 0; i < 200; ++i) {
    producers.push_back(TFileLogProducer::Create({dir.Path(), "10.0.0.1", std::to_string(i), "app",
                                                 "m" + std::to_string(i), "", ""}));
    producers.back()->AddMessage("first " + std::to_string(i), 0.0, k1407);
  }
  EXPECT_LE(TLogFileTable::Shared().OpenFiles(), 16u);
  for (int i = 0; i < 200; ++i) producers[i]->AddMessage("second", 0.0, k1408);
  for (int i = 0; i < 200; i += 37)
    EXPECT_EQ(ReadFile(dir.Path() + "10.0.0.1/app/m" + std::to_string(i) + "/2024_03_05/14.log"),
              "first " + std::to_string(i) + "\r\nsecond\r\n");
  producers.clear();
  EXPECT_EQ(TLogFileTable::Shared().OpenFiles(), 0u);
  TLogFileTable::Shared().SetCapacity(TLogFileTable::kDefaultCapacity);
}

// ---------------------------------------------------------------------------
// Binding producer libraries

namespace {

// What a test provider library recorded, read through a handle of the test's
// own, which also keeps the library loaded after the producer unloads it.
class TProviderRecord {
 public:
  explicit TProviderRecord(const std::string& path) { library.Open(path); }
  std::vector<std::string> Lines() {
    using TRecordProc = std::size_t (*)(char*, std::size_t);
    auto proc = reinterpret_cast<TRecordProc>(library.Symbol("TestProviderRecord"));
    if (proc == nullptr) return {"<no record>"};
    std::string buffer(1 << 20, '\0');
    buffer.resize(proc(buffer.data(), buffer.size()));
    std::vector<std::string> lines;
    std::size_t start = 0, end;
    while ((end = buffer.find('\n', start)) != std::string::npos) {
      lines.push_back(buffer.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
  TSharedLibrary library;
};

PLogProducer External(const std::string& value) {
  return TExternalLogProducer::Create({"", "10.0.0.5", "7000", "billing", "core", "", value});
}

std::string BindError(const PLogProducer& p) {
  return static_cast<const TExternalLogProducer&>(*p).GetBindError();
}

}  // namespace

TEST(ProviderBindingTest, ABoundLibrarySeesInitializeMessagesInOrderThenFinalizeOnce) {
  TProviderRecord record(TEST_PROVIDER_FULL);
  auto producer = External(std::string(TEST_PROVIDER_FULL) + "  tcp://collector:6514 extra");
  EXPECT_TRUE(producer->IsActive()) << BindError(producer);
  producer->AddMessage("first", 45356.5, 45356.25);
  producer->AddMessage(std::string("zero\0hidden", 11), 0.0, 1.5);
  producer->AddMessage("", 0.0, 2.0);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return record.Lines().size() == 4; }));
  producer->Stop();
  producer->WaitFor();
  EXPECT_EQ(record.Lines().size(), 4u);  // not finalized before destruction
  producer.reset();
  EXPECT_EQ(record.Lines(), (std::vector<std::string>{
                                "init 10.0.0.5 7000 billing core [] [tcp://collector:6514 extra]",
                                "add 45356.500 45356.250 first",
                                "add 0.000 1.500 zero",
                                "add 0.000 2.000 ",
                                "fini",
                            }));
}

TEST(ProviderBindingTest, ALibraryThatRefusesIsInactiveAndNeverFinalized) {
  TProviderRecord record(TEST_PROVIDER_REFUSE);
  auto producer = External(TEST_PROVIDER_REFUSE);
  EXPECT_FALSE(producer->IsActive());
  EXPECT_NE(BindError(producer).find("returned 7"), std::string::npos) << BindError(producer);
  producer.reset();
  EXPECT_EQ(record.Lines(),
            (std::vector<std::string>{"init 10.0.0.5 7000 billing core [] []"}));
}

TEST(ProviderBindingTest, MissingLibrariesAndEntryPointsAreBindErrors) {
  auto noAdd = External(TEST_PROVIDER_NO_ADD);
  EXPECT_FALSE(noAdd->IsActive());
  EXPECT_NE(BindError(noAdd).find("lacks LogProviderAddMessage"), std::string::npos);
  auto missing = External("/nonexistent/provider.so arg");
  EXPECT_FALSE(missing->IsActive());
  EXPECT_EQ(BindError(missing).rfind("cannot load /nonexistent/provider.so: ", 0), 0u)
      << BindError(missing);
  auto empty = External("");
  EXPECT_FALSE(empty->IsActive());
}

TEST(ProviderBindingTest, UnusableEntriesAreReportedAndClaimNothing) {
  TTempDir dir;
  const tIniDocument config(std::string("[Providers]\n1.1.1.1|a|m|=") + TEST_PROVIDER_REFUSE + "\n" +
                            "1.1.1.1|b|m|=/nonexistent.so\n" + "1.1.1.1|c|m|=" +
                            TEST_PROVIDER_FULL + "\n");
  std::vector<std::string> reports;
  tLogProducerHolder holder(dir.Path(), config.ReadSection("Providers"), &TFileLogProducer::Create,
                            &TExternalLogProducer::Create,
                            [&](const std::string& line) { reports.push_back(line); });
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].rfind("PROVIDER \"1.1.1.1|a|m|\" NOT USED: ", 0), 0u) << reports[0];
  EXPECT_EQ(reports[1].rfind("PROVIDER \"1.1.1.1|b|m|\" NOT USED: cannot load", 0), 0u);
  EXPECT_EQ(Keys(holder), std::vector<std::string>{"1.1.1.1|c|m|"});
  holder.AddMessageAt("1.1.1.1", "5", "a", "m", "", "to a file", 0.0, k1407);
  EXPECT_EQ(ReadFile(dir.Path() + "1.1.1.1/a/m/2024_03_05/14.log"), "to a file\r\n");
}

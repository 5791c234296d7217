#include "producers/uExternalLogProducer.h"
#include "platform/uLibrary.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace logserver;
using namespace testing_support;

namespace {

struct TLibraryRecord {
  std::mutex Lock;
  std::vector<std::string> Calls;
  std::vector<double> Times;
  std::atomic<int> Finalized{0};
};
TLibraryRecord gLibrary;

void RecordAdd(double eventTime, double serverTime, const char* text) {
  std::lock_guard<std::mutex> g(gLibrary.Lock);
  gLibrary.Calls.emplace_back(text);
  gLibrary.Times.push_back(eventTime);
  gLibrary.Times.push_back(serverTime);
}
void RecordFinalize() { ++gLibrary.Finalized; }

std::size_t LibraryCalls() {
  std::lock_guard<std::mutex> g(gLibrary.Lock);
  return gLibrary.Calls.size();
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
    std::lock_guard<std::mutex> g(gLibrary.Lock);
    gLibrary.Calls.clear();
    gLibrary.Times.clear();
  }
  gLibrary.Finalized = 0;
  TExternalLogProducer::TEntryPoints entry;
  entry.AddMessageProc = &RecordAdd;
  entry.FinalizeProc = &RecordFinalize;
  auto producer = TExternalLogProducer::CreateBound({"", "10.0.0.5", "0", "billing", "core", "",
                                                    "lib.so"}, entry);
  for (int i = 0; i < 100; ++i) producer->AddMessage("m" + std::to_string(i), i, 1000.0 + i);
  EXPECT_TRUE(testing_support::WaitUntil([] { return LibraryCalls() == 100; }));
  producer->Stop();
  producer->WaitFor();
  EXPECT_EQ(gLibrary.Finalized.load(), 0);
  producer.reset();
  EXPECT_EQ(gLibrary.Finalized.load(), 1);
  std::lock_guard<std::mutex> g(gLibrary.Lock);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(gLibrary.Calls[i], "m" + std::to_string(i));
    EXPECT_EQ(gLibrary.Times[2 * i], i);
    EXPECT_EQ(gLibrary.Times[2 * i + 1], 1000.0 + i);
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

namespace {

// What a test provider library recorded, read through a handle of the test's
// own, which also keeps the library loaded after the producer unloads it.
class TProviderRecord {
 public:
  explicit TProviderRecord(const std::string& path) { Library.Open(path); }
  std::vector<std::string> Lines() {
    using TRecordProc = std::size_t (*)(char*, std::size_t);
    auto proc = reinterpret_cast<TRecordProc>(Library.Symbol("TestProviderRecord"));
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
  TSharedLibrary Library;
};

PLogProducer External(const std::string& value) {
  return TExternalLogProducer::Create({"", "10.0.0.5", "7000", "billing", "core", "", value}, {});
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
  // What was queued before the stop still reaches the library (an entry a
  // reload removes), however far the thread had got.
  static_cast<TExternalLogProducer&>(*producer).StopAfterQueue();
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

#include "platform/uCaughtFailures.h"
#include "platform/uThread.h"
#include "platform/uTime.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using namespace logserver;

namespace {

class TCountingThread : public TThread {
 public:
  TCountingThread() : TThread("ls-counting-thread-long") {}
  std::atomic<int> Passes{0};
  char NameSeen[32] = {0};
  ~TCountingThread() override { StopAndWait(); }

 protected:
  void Execute() override {
    pthread_getname_np(pthread_self(), NameSeen, sizeof NameSeen);
    while (!Terminated()) {
      ++Passes;
      SleepMilliseconds(1);
    }
  }
};

}  // namespace

TEST(ThreadTest, IsCreatedSuspendedAndRunsOnceStarted) {
  TCountingThread thread;
  EXPECT_FALSE(thread.Started());
  EXPECT_EQ(thread.Passes.load(), 0);
  ASSERT_EQ(thread.Start(), 0);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return thread.Passes.load() > 0; }));
  thread.Terminate();
  thread.WaitFor();
  EXPECT_TRUE(thread.Terminated());
  EXPECT_STREQ(thread.NameSeen, "ls-counting-thr");  // named, within the kernel's 15 characters
  thread.WaitFor();  // a second join is harmless
}

TEST(ThreadTest, WaitForOnANeverStartedThreadReturnsAtOnce) {
  TCountingThread thread;
  thread.Terminate();
  thread.WaitFor();
  EXPECT_FALSE(thread.Started());
}

namespace {

class TThrowingThread : public TThread {
 public:
  TThrowingThread() : TThread("ls-throwing") {}
  ~TThrowingThread() override { StopAndWait(); }

 protected:
  void Execute() override { throw std::runtime_error("no room"); }
};

}  // namespace

TEST(ThreadTest, AnErrorThatEndsABodyIsCountedWithItsThreadAndText) {
  TCaughtFailures failures;
  TThrowingThread thread;
  thread.CountFailuresIn(&failures);
  ASSERT_EQ(thread.Start(), 0);
  thread.WaitFor();
  TCaughtFailures::TReport report;
  ASSERT_TRUE(failures.Take(report));
  EXPECT_EQ(report.Count, 1u);
  EXPECT_EQ(report.Last, "ls-throwing thread: no room");
  EXPECT_FALSE(failures.Take(report));  // taken once
  EXPECT_EQ(failures.Total(), 1u);
}

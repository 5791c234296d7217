#include "core/uLogQueue.h"
#include "support/Elements.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace logserver;
using testing_support::Element;
using testing_support::WaitUntil;

TEST(LogQueueTest, ElementsComeOutInPushOrder) {
  tLogQueue queue;
  for (const char* d : {"a", "b", "c"}) queue.Push(Element(lqkClientData, d));
  for (const char* d : {"a", "b", "c"}) {
    pLogQueueElement e;
    ASSERT_TRUE(queue.Pop(e));
    EXPECT_EQ(e->Data.View(), d);
  }
}

TEST(LogQueueTest, ReleasesOnAnEmptyQueueWakeThePopperOnce) {
  tLogQueue queue;
  queue.Release();
  queue.Release();
  pLogQueueElement e = Element(1);
  EXPECT_FALSE(queue.Pop(e));
  EXPECT_EQ(e, nullptr);
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
    EXPECT_FALSE(queue.TryPop(e));
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

TEST(BoundedLogQueueTest, TryPushRefusesWhatDoesNotFit) {
  // Room for one small datagram: each is charged its buffer's room (64 at
  // least) and the element's overhead, not only its bytes.
  tLogQueue queue(64 + kLogQueueElementOverhead + 10);
  EXPECT_TRUE(queue.TryPush(Element(lqkSyslogDatagram, std::string(25, 'a'))));
  EXPECT_FALSE(queue.TryPush(Element(lqkSyslogDatagram, "b")));
  EXPECT_TRUE(queue.TryPush(Element(lqkClientDisconnect)));  // no payload always fits
  EXPECT_EQ(queue.QueuedBytes(), 64u + kLogQueueElementOverhead);
  pLogQueueElement e;
  ASSERT_TRUE(queue.Pop(e));
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  EXPECT_TRUE(queue.TryPush(Element(lqkSyslogDatagram, std::string(10, 'c'))));
}

TEST(BoundedLogQueueTest, PushWaitingWaitsForRoomAndLiftedBoundsLetItGo) {
  tLogQueue queue(10);
  queue.Push(Element(lqkClientData, std::string(8, 'a')));
  std::thread pusher([&] { queue.PushWaiting(Element(lqkClientData, "bbbb")); });
  ASSERT_TRUE(WaitUntil([&] { return queue.PushersWaiting() == 1; }));
  EXPECT_EQ(queue.Count(), 1u);  // it waits: nothing was added
  pLogQueueElement e;
  ASSERT_TRUE(queue.Pop(e));  // makes room
  pusher.join();
  EXPECT_EQ(queue.QueuedBytes(), 64u + kLogQueueElementOverhead);

  // At the stop every push fits, also one waiting then.
  queue.Push(Element(lqkClientData, std::string(8, 'c')));
  std::thread waiting([&] { queue.PushWaiting(Element(lqkClientData, "dddd")); });
  ASSERT_TRUE(WaitUntil([&] { return queue.PushersWaiting() == 1; }));
  queue.LiftBounds();
  waiting.join();
  EXPECT_EQ(queue.Count(), 3u);
}

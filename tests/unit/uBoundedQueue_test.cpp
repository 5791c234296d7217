// The one queue between the service's threads: order, both bounds, batches,
// wake-ups only for a sleeping consumer, and every way a waiting pusher is
// let go.
#include "platform/uBoundedQueue.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace logserver;
using testing_support::WaitUntil;

namespace {

std::size_t Weight(const std::string& s) { return s.size(); }

using TQueue = TBoundedQueue<std::string>;

std::vector<std::string> Items(std::initializer_list<const char*> texts) {
  std::vector<std::string> items;
  for (const char* t : texts) items.emplace_back(t);
  return items;
}

}  // namespace

TEST(BoundedQueueTest, BatchesKeepTheirOrderAndBothBoundsHold) {
  TQueue queue(3, 10, &Weight);
  std::vector<std::string> batch = Items({"aaaa", "bbbb", "cc", "d"});
  // By bytes: "cc" would make 10, so it fits; "d" would break the count.
  EXPECT_EQ(queue.TryPushMany(batch), 3u);
  EXPECT_EQ(batch, Items({"d"}));
  EXPECT_EQ(queue.Bytes(), 10u);
  std::string big = "x";
  EXPECT_FALSE(queue.TryPush(big));
  std::vector<std::string> out;
  // A pop takes at least one item whatever its limits, and then what fits.
  EXPECT_EQ(queue.PopAll(out, 0, 10, 1), 1u);
  EXPECT_EQ(queue.PopAll(out, 0), 2u);
  EXPECT_EQ(out, Items({"aaaa", "bbbb", "cc"}));
  // An empty queue takes an item larger than the byte bound, and then only
  // weightless items, as long as the count allows.
  std::string huge(100, 'h');
  EXPECT_TRUE(queue.TryPush(huge));
  std::string more = "m";
  EXPECT_FALSE(queue.TryPush(more));
  std::vector<std::string> light = Items({"", "", ""});
  EXPECT_EQ(queue.TryPushMany(light), 2u);
  EXPECT_EQ(queue.Count(), 3u);
  // The oldest go first when room is made by eviction.
  queue.Clear();
  for (const char* t : {"1", "2", "3"}) queue.Push(t);
  EXPECT_EQ(queue.PushEvicting("4"), 1u);
  out.clear();
  queue.PopAll(out, 0);
  EXPECT_EQ(out, Items({"2", "3", "4"}));
}

TEST(BoundedQueueTest, OnlyASleepingConsumerIsWokenAndOnlyOnce) {
  TQueue queue;
  // Nobody sleeps: pushes post no wake-up at all, so a consumer that comes
  // later takes them and then sleeps.
  for (int i = 0; i < 100; ++i) queue.Push("x");
  EXPECT_EQ(queue.PendingWakeUps(), 0);
  std::vector<std::string> out;
  EXPECT_EQ(queue.PopAll(out, 0), 100u);
  // A sleeping consumer is woken by a batch: one post for the whole batch.
  std::atomic<std::size_t> taken{0};
  std::thread consumer([&] {
    std::vector<std::string> got;
    while (got.size() < 50) queue.PopAll(got, -1);
    taken = got.size();
  });
  std::vector<std::string> batch(50, "y");
  queue.PushMany(batch);
  consumer.join();
  EXPECT_EQ(taken.load(), 50u);
  // Releases wake it empty-handed, once however often they came: the next
  // pop sleeps until an item comes, instead of returning at once.
  queue.Release();
  queue.Release();
  std::string item;
  EXPECT_FALSE(queue.Pop(item, -1));
  std::atomic<bool> gotItem{false};
  std::thread sleeper([&] {
    std::string late;
    gotItem = queue.Pop(late, -1) && late == "z";
  });
  EXPECT_TRUE(WaitUntil([&] { return queue.ConsumerSleeping(); }));
  queue.Push("z");
  sleeper.join();
  EXPECT_TRUE(gotItem.load());
}

TEST(BoundedQueueTest, WaitingPushersAreLetGoByRoomCloseCancelOrLiftedBounds) {
  TQueue queue(1, TQueue::kUnbounded, &Weight);
  queue.Push("full");
  std::atomic<int> done{0}, succeeded{0};
  std::atomic<bool> cancel{false};
  std::vector<std::thread> pushers;
  // Two wait for room and get it one after the other.
  for (int i = 0; i < 2; ++i)
    pushers.emplace_back([&] {
      std::string item = "room";
      succeeded += queue.PushWaiting(item);
      ++done;
    });
  std::string out;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(WaitUntil([&] { return queue.Count() == 1; }));
    ASSERT_TRUE(queue.Pop(out, 0));
    ASSERT_TRUE(WaitUntil([&] { return done.load() == i + 1; }));
  }
  for (auto& p : pushers) p.join();
  EXPECT_EQ(succeeded.load(), 2);
  pushers.clear();
  // One gives up when its cancellation holds and the waiters are woken.
  pushers.emplace_back([&] {
    std::string item = "cancelled";
    succeeded += queue.PushWaiting(item, [&] { return cancel.load(); });
    ++done;
  });
  cancel = true;
  ASSERT_TRUE(WaitUntil([&] {
    queue.WakeWaiters();
    return done.load() == 3;
  }));
  // A batch waiting for room goes ahead when the bounds are lifted.
  std::vector<std::string> batch = Items({"a", "b", "c"});
  pushers.emplace_back([&] {
    succeeded += queue.PushManyWaiting(batch, [] { return false; });
    ++done;
  });
  queue.LiftBounds();
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 4; }));
  EXPECT_EQ(queue.Count(), 4u);
  // Close lets every waiter go, and later waits fail at once.
  TQueue closing(1);
  closing.Push("full");
  std::atomic<int> refused{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      std::string item = "w";
      refused += !closing.PushWaiting(item);
    });
  closing.Close();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(refused.load(), 3);
  std::string late = "late";
  EXPECT_FALSE(closing.PushWaiting(late));
  for (auto& p : pushers) p.join();
  EXPECT_EQ(succeeded.load(), 3);
}

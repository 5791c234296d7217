#include "net/uSendQueue.h"

#include <gtest/gtest.h>

using namespace logserver;

TEST(SendQueueTest, HoldsAtMostMaxCountInOrderUntilCleared) {
  TSendQueue queue;
  for (int i = 0; i < TSendQueue::MaxCount + 5; ++i) {
    auto msg = std::make_unique<tSendMSG>();
    msg->ClientID = static_cast<std::uint16_t>(i);
    msg->Data = "x";
    queue.Push(std::move(msg));
  }
  EXPECT_EQ(queue.Count(), static_cast<std::size_t>(TSendQueue::MaxCount));
  EXPECT_EQ(queue.Pop()->ClientID, 0);
  EXPECT_EQ(queue.Pop()->ClientID, 1);
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.Pop(), nullptr);
  queue.Push(std::make_unique<tSendMSG>());
  EXPECT_NE(queue.Pop(), nullptr);
  EXPECT_EQ(queue.Pop(), nullptr);
}

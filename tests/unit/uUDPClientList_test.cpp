#include "net/uUDPClientList.h"

#include <gtest/gtest.h>

using namespace logserver;

TEST(UDPClientListTest, TakesTheLowestFreeSlotAndMatchesAddressAndPort) {
  TUDPClintList list;
  EXPECT_EQ(list.AddClient({"10.1.2.3", 600}), 0);
  EXPECT_EQ(list.AddClient({"10.1.2.3", 601}), 1);
  EXPECT_EQ(list.AddClient({"10.1.2.4", 600}), 2);
  std::uint16_t index = 77;
  EXPECT_TRUE(list.FindClient("10.1.2.3", 601, index));
  EXPECT_EQ(index, 1);
  index = 77;
  EXPECT_FALSE(list.FindClient("10.1.2.3", 602, index));
  EXPECT_EQ(index, 77);
  EXPECT_TRUE(list.RemoveClient(0));
  EXPECT_FALSE(list.RemoveClient(0));
  EXPECT_EQ(list.AddClient({"10.9.9.9", 1}), 0);
  tUDPClient peer;
  EXPECT_TRUE(list.GetClient(2, peer));
  EXPECT_EQ(peer.Address, "10.1.2.4");
  EXPECT_FALSE(list.GetClient(-1, peer));
  EXPECT_FALSE(list.GetClient(1024, peer));
  EXPECT_FALSE(list.RemoveClient(5000));
}

TEST(UDPClientListTest, AFullListStoresNothingAndAnswers255) {
  TUDPClintList list;
  for (int i = 0; i < 1024; ++i)
    ASSERT_EQ(list.AddClient({"10.0.0.1", static_cast<std::uint16_t>(i + 1)}), i);
  EXPECT_EQ(list.AddClient({"10.0.0.2", 1}), 255);
  std::uint16_t index = 0;
  EXPECT_FALSE(list.FindClient("10.0.0.2", 1, index));
  EXPECT_TRUE(list.FindClient("10.0.0.1", 256, index));
  EXPECT_EQ(index, 255);
  list.Clear();
  EXPECT_EQ(list.AddClient({"10.0.0.2", 1}), 0);
}

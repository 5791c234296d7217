#include "core/uClientMessage.h"
#include "support/Elements.h"

#include <gtest/gtest.h>

using namespace logserver;
using testing_support::WorkedExample;

TEST(ClientMessageTest, DecoderBoundsEveryStringByMessageSizeAndTheReceivedBytes) {
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

TEST(ClientMessageTest, BuiltMessagesDecodeToTheSameFields) {
  tClientLogMessage in{"billing", "core", "", std::string("a\0b", 3), 45356.5};
  tClientLogMessage out;
  ASSERT_TRUE(DecodeClientLogMessage(BuildClientLogMessage(in), out));
  EXPECT_EQ(out.ApplicationName, "billing");
  EXPECT_EQ(out.ModuleName, "core");
  EXPECT_EQ(out.FilePrefix, "");
  EXPECT_EQ(out.Text, std::string("a\0b", 3));
  EXPECT_EQ(out.EventTime, 45356.5);
}

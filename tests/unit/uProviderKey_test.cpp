#include "producers/uProviderKey.h"

#include <gtest/gtest.h>

using namespace logserver;

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

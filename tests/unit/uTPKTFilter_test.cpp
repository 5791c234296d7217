#include "net/uTPKTFilter.h"
#include "platform/uUnitRun.h"

#include <gtest/gtest.h>

#include <random>

using namespace logserver;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Feeds bytes to a TPKT filter the way a connection does and collects units.
class TpktFixture : public ::testing::Test {
 protected:
  std::vector<std::string> Feed(const std::string& bytes) {
    std::vector<std::string> units;
    bool more = false;
    std::string unit = filter->Decode(bytes.data(), static_cast<int>(bytes.size()), more);
    if (!unit.empty()) units.push_back(unit);
    int guard = 0;
    while (more) {
      unit = filter->Decode(nullptr, 0, more);
      if (!unit.empty()) units.push_back(unit);
      if (++guard > 100000) ADD_FAILURE() << "Decode makes no progress";
      if (guard > 100000) break;
    }
    return units;
  }
  std::unique_ptr<tEmptyReceiveFilter> filter = tTPKTReceiveFilter::Create();
  tTPKTReceiveFilter& Tpkt() { return static_cast<tTPKTReceiveFilter&>(*filter); }
};

using V = std::vector<std::string>;

}  // namespace

TEST_F(TpktFixture, EncodeWrapsAChunkInAHeader) {
  EXPECT_EQ(filter->Encode("abc", 3), Bytes({3, 0, 0, 7, 'a', 'b', 'c'}));
  EXPECT_EQ(filter->Encode(nullptr, 0), Bytes({3, 0, 0, 4}));
  EXPECT_EQ(filter->Encode("x", -1), "");
}

TEST_F(TpktFixture, EncodeHonoursThe65535Limit) {
  const std::string largest(65531, 'z');
  const std::string frame = filter->Encode(largest.data(), 65531);
  ASSERT_EQ(frame.size(), 65535u);
  EXPECT_EQ(frame.substr(0, 4), Bytes({3, 0, 0xff, 0xff}));
  const std::string tooLarge(65532, 'z');
  EXPECT_EQ(filter->Encode(tooLarge.data(), 65532), "");
  EXPECT_EQ(Feed(frame), V{largest});
}

TEST_F(TpktFixture, TwoFramesInOneReadComeOutOneByOne) {
  const std::string read = Bytes({3, 0, 0, 7, 'a', 'b', 'c', 3, 0, 0, 5, 'd'});
  bool more = false;
  EXPECT_EQ(filter->Decode(read.data(), static_cast<int>(read.size()), more), "abc");
  EXPECT_TRUE(more);
  EXPECT_EQ(filter->Decode(nullptr, 0, more), "d");
  EXPECT_FALSE(more);
}

TEST_F(TpktFixture, AHeaderSplitOverTwoReadsWaitsForTheRest) {
  EXPECT_EQ(Feed(Bytes({3, 0})), V{});
  EXPECT_EQ(filter->BytesNeeded(), 2);
  EXPECT_EQ(Feed(Bytes({0, 6, 'h', 'i'})), V{"hi"});
}

TEST_F(TpktFixture, HeaderOnlyFramesYieldNothing) {
  EXPECT_EQ(Feed(Bytes({3, 0, 0, 4, 3, 0, 0, 5, 'x'})), V{"x"});
}

TEST_F(TpktFixture, GarbageIsSkippedTwoBytesAtATime) {
  EXPECT_EQ(Feed(Bytes({9, 9, 0, 3, 3, 0, 0, 5, 'k'})), V{"k"});
  // An odd number of garbage bytes puts the frame at an odd position.
  EXPECT_EQ(Feed(Bytes({7, 3, 0, 0, 5, 'q', 3, 0, 0, 5, 'r'})), V{"r"});
}

TEST_F(TpktFixture, LengthsBelowFourAreBadHeadersAndNeverStallDecoding) {
  EXPECT_EQ(Feed(Bytes({3, 0, 0, 0, 3, 0, 0, 2, 3, 0, 0, 1, 3, 0, 0, 5, 'v'})), V{"v"});
  EXPECT_EQ(Tpkt().Buffered(), 0u);
}

TEST_F(TpktFixture, LeftoverBytesOfTheNextFrameWait) {
  const std::string read = Bytes({3, 0, 0, 5, 'a', 3, 0, 0});
  bool more = true;
  EXPECT_EQ(filter->Decode(read.data(), static_cast<int>(read.size()), more), "a");
  EXPECT_FALSE(more);
  EXPECT_EQ(Tpkt().Buffered(), 3u);
  EXPECT_EQ(filter->BytesNeeded(), 1);
  EXPECT_EQ(Feed(Bytes({6, 'b', 'c'})), V{"bc"});
}

TEST_F(TpktFixture, AnyCuttingOfAStreamGivesTheSameUnitsByEveryWayOfDecoding) {
  std::mt19937 random(12345);
  std::string stream;
  V expected;
  for (int i = 0; i < 120; ++i) {
    const std::string payload(random() % 3000 + (i % 7 == 0 ? 60000 : 1), static_cast<char>('a' + i % 26));
    expected.push_back(payload);
    stream += filter->Encode(payload.data(), static_cast<int>(payload.size()));
    if (i % 5 == 0) stream += Bytes({3, 0, 0, 4});
    if (i % 11 == 0) stream += Bytes({9, 9, 3, 0, 0, 1});  // garbage to skip
  }
  // Decode unit by unit, and DecodeRun in place, each with reads cut at
  // random.
  V units, inPlace;
  auto reading = tTPKTReceiveFilter::Create();
  auto unpack = [](const std::string& run, V& into) {
    ForEachUnit(run, [&](const char* p, std::size_t n) { into.emplace_back(p, n); });
  };
  std::size_t pos = 0;
  while (pos < stream.size()) {
    const std::size_t piece = std::min<std::size_t>(stream.size() - pos, random() % 65533 + 1);
    const std::string read = stream.substr(pos, piece);
    for (std::string& u : Feed(read)) units.push_back(std::move(u));
    const std::size_t head = reading->HeadRoom();
    TPooledBuffer buffer(std::string(head, '?') + read);
    reading->DecodeRun(buffer, head, read.size());
    unpack(std::string(buffer.View()), inPlace);
    pos += piece;
  }
  EXPECT_EQ(units, expected);
  EXPECT_EQ(inPlace, expected);
  EXPECT_EQ(Tpkt().Buffered(), 0u);
}

TEST(EmptyFilterTest, PassesBytesThroughUnchanged) {
  auto filter = tEmptyReceiveFilter::Create();
  bool more = true;
  EXPECT_EQ(filter->Decode("abc", 3, more), "abc");
  EXPECT_FALSE(more);
  EXPECT_EQ(filter->Encode("xyz", 3), "xyz");
  EXPECT_EQ(filter->Encode(nullptr, 0), "");
  EXPECT_EQ(filter->BytesNeeded(), 65533);
}

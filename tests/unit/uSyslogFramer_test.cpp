#include "net/uSyslogFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace logserver;

namespace {

std::vector<std::string> Units(const TUnitRun& run) {
  std::vector<std::string> units;
  ForEachUnit(run.Bytes.View(), [&](const char* data, std::size_t size) { units.emplace_back(data, size); });
  return units;
}

// Feeds `stream` in pieces of `step` bytes (0: whole); the messages, or
// "ERROR" in place of the rest once the framing broke.
std::vector<std::string> Frame(const std::string& stream, std::size_t step = 0, bool finish = true,
                               std::uint64_t* cut = nullptr) {
  TSyslogFramer framer(16, 64);
  TUnitRun run;
  bool ok = true;
  for (std::size_t at = 0; ok && at < stream.size(); at += step ? step : stream.size())
    ok = framer.Feed(stream.data() + at, std::min(step ? step : stream.size(), stream.size() - at), run);
  if (ok && finish) ok = framer.Finish(run);
  std::vector<std::string> units = Units(run);
  if (!ok) units.push_back("ERROR");
  if (cut) *cut = framer.CutMessages();
  return units;
}

}  // namespace

TEST(SyslogFramerTest, BothFramingsMixAndSplitAnywhereGiveTheSameMessages) {
  // Octet counting, LF with CR, NUL as an end, an empty line, a last line
  // without its LF at the end of the stream, a message holding a LF.
  const std::string stream = std::string("5 <13>a<13>b c\r\n\n9 <13>x\ny z<13>n") + '\0' + "<13>last";
  const std::vector<std::string> expected = {"<13>a", "<13>b c\r", "<13>x\ny z", "<13>n", "<13>last"};
  for (std::size_t step = 0; step <= stream.size(); ++step) EXPECT_EQ(Frame(stream, step), expected) << step;
  // Without the end of the stream the last line is not complete yet.
  EXPECT_EQ(Frame("<13>a\n<13>b", 0, false), (std::vector<std::string>{"<13>a"}));
}

TEST(SyslogFramerTest, OverlongMessagesAreCutAndTheStreamGoesOn) {
  std::uint64_t cut = 0;
  const std::string longLine(40, 'l'), longCounted(30, 'c');
  for (std::size_t step : {0, 1, 7}) {
    EXPECT_EQ(Frame(longLine + "\n30 " + longCounted + "<13>next\n", step, true, &cut),
              (std::vector<std::string>{longLine.substr(0, 16), longCounted.substr(0, 16), "<13>next"}));
    EXPECT_EQ(cut, 2u);
  }
}

TEST(SyslogFramerTest, BrokenFramingEndsTheStreamWithoutAllocatingTheClaim) {
  const std::vector<std::string> error = {"ERROR"};
  EXPECT_EQ(Frame("999999999 <13>x"), error);          // above the bound
  EXPECT_EQ(Frame("00000000000000000001 <13>x"), error);  // too many digits
  EXPECT_EQ(Frame("0 <13>x"), error);                  // nothing counted
  EXPECT_EQ(Frame("12x <13>x"), error);                // no digit, no space
  EXPECT_EQ(Frame("12"), error);                       // a count, then the end
  EXPECT_EQ(Frame("12 <13>"), error);                  // cut short by the end
  // What came before the break is kept.
  EXPECT_EQ(Frame("<13>ok\n12x"), (std::vector<std::string>{"<13>ok", "ERROR"}));
}

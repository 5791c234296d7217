#include "base/uDateTimeMask.h"
#include "platform/uTime.h"

#include <gtest/gtest.h>

using namespace logserver;

namespace {

// 2024-03-05 (a Tuesday) 14:07:09.045
const double kAfternoon = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);
const double kMorning = EncodeDateTime(2024, 3, 5, 9, 5, 3, 7);
const double kMidnight = EncodeDateTime(2024, 3, 5, 0, 0, 0, 0);

std::string F(const std::string& mask, double value = kAfternoon) {
  return FormatDateTime(mask, value);
}

}  // namespace

TEST(FormatDateTimeTest, MasksInUseGiveTheirDocumentedTexts) {
  EXPECT_EQ(F("dd.mm.yyyy hh:nn:ss:zzz : "), "05.03.2024 14:07:09:045 : ");
  EXPECT_EQ(F("yyyy_mm_dd"), "2024_03_05");
  EXPECT_EQ(F("hh"), "14");
  EXPECT_EQ(F("hh:nn:ss.zzz"), "14:07:09.045");
  EXPECT_EQ(F("[hh:nn:ss.zzz] : "), "[14:07:09.045] : ");
  EXPECT_EQ(F("h", kMorning), "9");
  EXPECT_EQ(F("hh", kMorning), "09");
}

TEST(FormatDateTimeTest, NumericTokensPadByTheirLength) {
  EXPECT_EQ(F("y"), "24");
  EXPECT_EQ(F("yy"), "24");
  EXPECT_EQ(F("yyy"), "2024");
  EXPECT_EQ(F("yyyyy"), "2024");
  EXPECT_EQ(F("m"), "3");
  EXPECT_EQ(F("d"), "5");
  EXPECT_EQ(F("n s z", kMorning), "5 3 7");
  EXPECT_EQ(F("nn ss zzz", kMorning), "05 03 007");
  EXPECT_EQ(F("zzzz"), "045");
  EXPECT_EQ(F("YYYY-MM-DD"), "2024-03-05");  // letters in any case
}

TEST(FormatDateTimeTest, NamesComeFromLongerRuns) {
  EXPECT_EQ(F("mmm"), "Mar");
  EXPECT_EQ(F("mmmm"), "March");
  EXPECT_EQ(F("mmmmm"), "");
  EXPECT_EQ(F("ddd"), "Tue");
  EXPECT_EQ(F("dddd"), "Tuesday");
  EXPECT_EQ(F("ddddddd"), "");
}

TEST(FormatDateTimeTest, NestedDateAndTimeFormats) {
  EXPECT_EQ(F("ddddd"), "5-3-24");
  EXPECT_EQ(F("dddddd"), "05 March 2024");
  EXPECT_EQ(F("t"), "14:07");
  EXPECT_EQ(F("tt"), "14:07:09");
  EXPECT_EQ(F("c"), "5-3-24 14:07:09");
  EXPECT_EQ(F("c", kMidnight), "5-3-24");
}

TEST(FormatDateTimeTest, MRightAfterAnHourTokenMeansMinutes) {
  EXPECT_EQ(F("hh:mm"), "14:07");
  EXPECT_EQ(F("h:m", kMorning), "9:5");
  EXPECT_EQ(F("hh mm"), "14 03");     // a blank run is a token of its own
  EXPECT_EQ(F("hh\"x\"mm"), "14x07");  // quotes do not count
  EXPECT_EQ(F("hhxmm"), "14X07");      // nor do other characters
  EXPECT_EQ(F("mm"), "03");
}

TEST(FormatDateTimeTest, AmPmFormsSelectTheTwelveHourClock) {
  EXPECT_EQ(F("h:nn AMPM"), "2:07 PM");
  EXPECT_EQ(F("h:nn ampm", kMorning), "9:05 AM");
  EXPECT_EQ(F("hh am/pm"), "02 pm");
  EXPECT_EQ(F("hh Am/Pm", kMorning), "09 Am");
  EXPECT_EQ(F("h a/p"), "2 p");
  EXPECT_EQ(F("h A/P", kMorning), "9 A");
  EXPECT_EQ(F("h ampm", kMidnight), "12 AM");
  EXPECT_EQ(F("h \"ampm\""), "14 ampm");  // quoted forms do not switch the clock
}

TEST(FormatDateTimeTest, AStrayAIsAnError) {
  try {
    F("yyyy a");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Illegal character in format string");
  }
  EXPECT_THROW(F("am"), EConvertError);
  EXPECT_NO_THROW(F("'a'"));
}

TEST(FormatDateTimeTest, QuotesSeparatorsAndOtherCharacters) {
  EXPECT_EQ(F("'hh' \"mm\""), "hh mm");
  EXPECT_EQ(F("yyyy'unclosed hh"), "2024unclosed hh");
  EXPECT_EQ(F("dd/mm/yyyy"), "05-03-2024");
  EXPECT_EQ(F("hh:nn"), "14:07");
  EXPECT_EQ(F("x_[q]#"), "X_[Q]#");
  EXPECT_EQ(F("yyyy   dd"), "2024   05");
  EXPECT_EQ(F(""), "");
}

TEST(FormatDateTimeTest, ResultIsCappedAt255CharactersDroppingWholePieces) {
  const std::string mask254 = "'" + std::string(254, 'x') + "'";
  EXPECT_EQ(F(mask254 + "y"), std::string(254, 'x'));       // "24" would make 256
  EXPECT_EQ(F(mask254 + "yyyyq"), std::string(254, 'x') + "Q");  // later pieces that fit
  EXPECT_EQ(F(std::string(300, '.')).size(), 255u);
}

TEST(FormatDateTimeTest, NumbersLongerThanTheirWidthAreWrittenInFull) {
  EXPECT_EQ(F("yyyy", EncodeDateTime(12345, 1, 1, 0, 0, 0, 0)), "12345");
  EXPECT_EQ(F("yyyy", EncodeDateTime(812, 1, 1, 0, 0, 0, 0)), "0812");
}

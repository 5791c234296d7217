#include "platform/uTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>

using namespace logserver;

TEST(DateTimeTest, DecodesTheWorkedExampleValue) {
  const TDateTimeParts p = DecodeDateTime(45356.5);
  EXPECT_EQ(p.Year, 2024);
  EXPECT_EQ(p.Month, 3);
  EXPECT_EQ(p.Day, 5);
  EXPECT_EQ(p.Hour, 12);
  EXPECT_EQ(p.Minute, 0);
  EXPECT_EQ(p.DayOfWeek, 3);  // a Tuesday
  EXPECT_EQ(DecodeDateTime(0.0).DayOfWeek, 7);  // 1899-12-30 was a Saturday
}

TEST(DateTimeTest, EncodeAndDecodeRoundTripToTheMillisecond) {
  const double v = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);
  const TDateTimeParts p = DecodeDateTime(v);
  EXPECT_EQ(p.Hour, 14);
  EXPECT_EQ(p.Minute, 7);
  EXPECT_EQ(p.Second, 9);
  EXPECT_EQ(p.Millisecond, 45);
  EXPECT_EQ(StartOfHour(v), EncodeDateTime(2024, 3, 5, 14, 0, 0, 0));
  const TDateTimeParts late = DecodeDateTime(EncodeDateTime(2024, 3, 5, 23, 59, 59, 999));
  EXPECT_EQ(late.Day, 5);
  EXPECT_EQ(late.Millisecond, 999);
}

TEST(DateTimeTest, NegativeValuesUseTheAbsoluteFractionAsTimeOfDay) {
  const TDateTimeParts p = DecodeDateTime(-1.25);
  EXPECT_EQ(p.Year, 1899);
  EXPECT_EQ(p.Month, 12);
  EXPECT_EQ(p.Day, 29);
  EXPECT_EQ(p.Hour, 6);
}

TEST(DateTimeTest, ValuesThatAreNoDatesStillDecode) {
  for (double v : {double(NAN), double(INFINITY), -double(INFINITY), 1e300, -1e300, 5e-324}) {
    const TDateTimeParts p = DecodeDateTime(v);
    EXPECT_GE(p.Month, 1);
    EXPECT_LE(p.Month, 12);
    EXPECT_GE(p.Hour, 0);
    EXPECT_LT(p.Hour, 24);
  }
}

TEST(ClockTest, TickIsWholeSecondsTimesAThousandIn32Bits) {
  // The same clock as the tick's: time() reads a coarser one, which may
  // still show the last second when the tick already shows the next.
  auto seconds = [] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
  };
  const std::uint64_t before = seconds();
  const std::uint32_t tick = TickMilliseconds();
  const std::uint64_t after = seconds();
  EXPECT_TRUE(tick == static_cast<std::uint32_t>(before * 1000) ||
              tick == static_cast<std::uint32_t>(after * 1000));
  EXPECT_GT(Now(), 40000.0);
}

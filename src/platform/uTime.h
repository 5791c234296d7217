// Clock readings and the date-time value.
//
// A date-time value is a double counting days since 1899-12-30 00:00, the
// fraction being the time of day. Negative values keep that meaning for the
// date part and use the absolute fraction as the time of day (-1.25 is
// 1899-12-29 06:00). All functions are thread-safe.
#pragma once

#include <cstdint>

namespace logserver {

struct TDateTimeParts {
  std::int64_t Year = 1899;
  int Month = 12;         // 1..12
  int Day = 30;           // 1..31
  int DayOfWeek = 7;      // 1 = Sunday .. 7 = Saturday
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

// Splits a value into calendar fields, the time rounded to the millisecond.
// Never fails: a value that is not finite reads as 0.0 and the range is
// clamped, so any eight bytes from the network decode to some date.
TDateTimeParts DecodeDateTime(double value);

double EncodeDateTime(std::int64_t year, int month, int day, int hour, int minute,
                      int Second, int millisecond);

// The start of the hour that `value` lies in, on the same day.
double StartOfHour(double value);

// The host's local time now; milliseconds are microseconds / 1000, truncated.
double Now();

// Wall-clock seconds (CLOCK_REALTIME) times 1000, truncated to 32 bits; the
// value therefore moves in steps of 1000. 0 when the clock cannot be read.
std::uint32_t TickMilliseconds();

// Milliseconds on the monotonic clock: for intervals, never for dates.
std::uint64_t MonotonicMilliseconds();
std::uint64_t MonotonicMicroseconds();
// Seconds since 1970 on the wall clock (UTC), for metrics.
double WallClockSeconds();

// The local time's offset from UTC now, in minutes (east positive).
int LocalUtcOffsetMinutes();

void SleepMilliseconds(int milliseconds);
void SleepMicroseconds(int microseconds);

}  // namespace logserver

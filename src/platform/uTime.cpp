#include "platform/uTime.h"

#include <cerrno>
#include <cmath>
#include <sys/time.h>
#include <time.h>

namespace logserver {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kUnixEpochDay = 25569;  // 1970-01-01 as a day number
// About 2.7 million years either way: far beyond any real date, small enough
// that the civil arithmetic below cannot overflow.
constexpr double kDayLimit = 1e9;

// Days since 1970-01-01 to the proleptic Gregorian calendar.
void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  if (m <= 2) ++y;
}

std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

TDateTimeParts DecodeDateTime(double value) {
  if (!std::isfinite(value)) value = 0.0;
  if (value > kDayLimit) value = kDayLimit;
  if (value < -kDayLimit) value = -kDayLimit;
  const double whole = std::trunc(value);
  std::int64_t day = static_cast<std::int64_t>(whole);
  std::int64_t ms = std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    day += 1;
  }
  TDateTimeParts p;
  const std::int64_t unixDay = day - kUnixEpochDay;
  CivilFromDays(unixDay, p.Year, p.Month, p.Day);
  std::int64_t wd = (unixDay + 4) % 7;  // 1970-01-01 was a Thursday
  if (wd < 0) wd += 7;
  p.DayOfWeek = static_cast<int>(wd) + 1;
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

double EncodeDateTime(std::int64_t year, int month, int day, int hour, int minute,
                      int second, int millisecond) {
  const std::int64_t days = DaysFromCivil(year, month, day) + kUnixEpochDay;
  const double time =
      static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000LL + millisecond) /
      static_cast<double>(kMsPerDay);
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

double StartOfHour(double value) {
  const TDateTimeParts p = DecodeDateTime(value);
  return EncodeDateTime(p.Year, p.Month, p.Day, p.Hour, 0, 0, 0);
}

double Now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  // The local calendar is worked out once a second per thread; within the
  // second only the milliseconds change, and the value is what
  // EncodeDateTime gives for the whole reading.
  thread_local time_t cachedSecond = -1;
  thread_local std::int64_t cachedDay = 0;
  thread_local std::int64_t cachedMs = 0;
  if (tv.tv_sec != cachedSecond) {
    time_t seconds = tv.tv_sec;
    tm local;
    localtime_r(&seconds, &local);
    cachedDay = DaysFromCivil(local.tm_year + 1900LL, local.tm_mon + 1, local.tm_mday) + kUnixEpochDay;
    cachedMs = ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * 1000LL;
    cachedSecond = tv.tv_sec;
  }
  const double time = static_cast<double>(cachedMs + tv.tv_usec / 1000) / static_cast<double>(kMsPerDay);
  return cachedDay >= 0 ? static_cast<double>(cachedDay) + time : static_cast<double>(cachedDay) - time;
}

std::uint32_t TickMilliseconds() {
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return 0;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u);
}

std::uint64_t MonotonicMicroseconds() {
  timespec ts{};
  // CLOCK_MONOTONIC cannot fail on Linux with a valid buffer.
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t MonotonicMilliseconds() { return MonotonicMicroseconds() / 1000u; }

double WallClockSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int LocalUtcOffsetMinutes() {
  const time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  return static_cast<int>(local.tm_gmtoff / 60);
}

void SleepMicroseconds(int microseconds) {
  if (microseconds <= 0) return;
  timespec req{microseconds / 1000000, (microseconds % 1000000) * 1000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

void SleepMilliseconds(int milliseconds) {
  if (milliseconds <= 0) return;
  timespec req{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace logserver

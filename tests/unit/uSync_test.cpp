#include "platform/uSync.h"

#include <gtest/gtest.h>

using namespace logserver;

TEST(SemaphoreTest, TimedWaitWithZeroTakesAnExistingCountOrFailsAtOnce) {
  TSemaphore sem(0);
  EXPECT_FALSE(sem.TimedWait(0));
  sem.Post();
  EXPECT_TRUE(sem.TimedWait(0));
  EXPECT_FALSE(sem.TryWait());
}

TEST(SemaphoreTest, TimedWaitTimesOutWithoutACount) {
  TSemaphore sem(0);
  EXPECT_FALSE(sem.TimedWait(20));
  EXPECT_EQ(sem.Value(), 0);
}

TEST(SemaphoreTest, DeadlineCarriesExcessMicrosecondsIntoSeconds) {
  const TDeadline d = ComputeDeadline(100, 999999, 1);
  EXPECT_EQ(d.Seconds, 101);
  EXPECT_EQ(d.Nanoseconds, 999000);
  const TDeadline e = ComputeDeadline(100, 500000, 2500);
  EXPECT_EQ(e.Seconds, 103);
  EXPECT_EQ(e.Nanoseconds, 0);
  const TDeadline z = ComputeDeadline(7, 123456, 0);
  EXPECT_EQ(z.Seconds, 7);
  EXPECT_EQ(z.Nanoseconds, 123456000);
  for (int ms : {0, 1, 999, 1000, 123456}) {
    const TDeadline x = ComputeDeadline(5, 999999, ms);
    EXPECT_GE(x.Nanoseconds, 0);
    EXPECT_LT(x.Nanoseconds, 1000000000L);
  }
}

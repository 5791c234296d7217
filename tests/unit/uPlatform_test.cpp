#include "platform/uFiles.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "platform/uTime.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace logserver;
using testing_support::ReadFile;
using testing_support::TTempDir;

namespace {

class TCountingThread : public TThread {
 public:
  TCountingThread() : TThread("ls-counting-thread-long") {}
  std::atomic<int> passes{0};
  char name[32] = {0};
  ~TCountingThread() override { StopAndWait(); }

 protected:
  void Execute() override {
    pthread_getname_np(pthread_self(), name, sizeof name);
    while (!Terminated()) {
      ++passes;
      SleepMilliseconds(1);
    }
  }
};

}  // namespace

TEST(ThreadTest, IsCreatedSuspendedAndRunsOnceStarted) {
  TCountingThread thread;
  EXPECT_FALSE(thread.Started());
  EXPECT_EQ(thread.passes.load(), 0);
  ASSERT_EQ(thread.Start(), 0);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return thread.passes.load() > 0; }));
  thread.Terminate();
  thread.WaitFor();
  EXPECT_TRUE(thread.Terminated());
  EXPECT_STREQ(thread.name, "ls-counting-thr");  // named, within the kernel's 15 characters
  const int after = thread.passes.load();
  thread.WaitFor();  // a second join is harmless
  EXPECT_EQ(thread.passes.load(), after);
}

TEST(ThreadTest, WaitForOnANeverStartedThreadReturnsAtOnce) {
  TCountingThread thread;
  thread.Terminate();
  thread.WaitFor();
  EXPECT_FALSE(thread.Started());
}

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
  EXPECT_EQ(d.seconds, 101);
  EXPECT_EQ(d.nanoseconds, 999000);
  const TDeadline e = ComputeDeadline(100, 500000, 2500);
  EXPECT_EQ(e.seconds, 103);
  EXPECT_EQ(e.nanoseconds, 0);
  const TDeadline z = ComputeDeadline(7, 123456, 0);
  EXPECT_EQ(z.seconds, 7);
  EXPECT_EQ(z.nanoseconds, 123456000);
  for (int ms : {0, 1, 999, 1000, 123456}) {
    const TDeadline x = ComputeDeadline(5, 999999, ms);
    EXPECT_GE(x.nanoseconds, 0);
    EXPECT_LT(x.nanoseconds, 1000000000L);
  }
}

TEST(DateTimeTest, DecodesTheWorkedExampleValue) {
  const TDateTimeParts p = DecodeDateTime(45356.5);
  EXPECT_EQ(p.year, 2024);
  EXPECT_EQ(p.month, 3);
  EXPECT_EQ(p.day, 5);
  EXPECT_EQ(p.hour, 12);
  EXPECT_EQ(p.minute, 0);
  EXPECT_EQ(p.dayOfWeek, 3);  // a Tuesday
  EXPECT_EQ(DecodeDateTime(0.0).dayOfWeek, 7);  // 1899-12-30 was a Saturday
}

TEST(DateTimeTest, EncodeAndDecodeRoundTripToTheMillisecond) {
  const double v = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);
  const TDateTimeParts p = DecodeDateTime(v);
  EXPECT_EQ(p.hour, 14);
  EXPECT_EQ(p.minute, 7);
  EXPECT_EQ(p.second, 9);
  EXPECT_EQ(p.millisecond, 45);
  EXPECT_EQ(StartOfHour(v), EncodeDateTime(2024, 3, 5, 14, 0, 0, 0));
  const TDateTimeParts late = DecodeDateTime(EncodeDateTime(2024, 3, 5, 23, 59, 59, 999));
  EXPECT_EQ(late.day, 5);
  EXPECT_EQ(late.millisecond, 999);
}

TEST(DateTimeTest, NegativeValuesUseTheAbsoluteFractionAsTimeOfDay) {
  const TDateTimeParts p = DecodeDateTime(-1.25);
  EXPECT_EQ(p.year, 1899);
  EXPECT_EQ(p.month, 12);
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 6);
}

TEST(DateTimeTest, ValuesThatAreNoDatesStillDecode) {
  for (double v : {double(NAN), double(INFINITY), -double(INFINITY), 1e300, -1e300, 5e-324}) {
    const TDateTimeParts p = DecodeDateTime(v);
    EXPECT_GE(p.month, 1);
    EXPECT_LE(p.month, 12);
    EXPECT_GE(p.hour, 0);
    EXPECT_LT(p.hour, 24);
  }
}

TEST(ClockTest, TickIsWholeSecondsTimesAThousandIn32Bits) {
  const std::uint64_t before = static_cast<std::uint64_t>(time(nullptr));
  const std::uint32_t tick = TickMilliseconds();
  const std::uint64_t after = static_cast<std::uint64_t>(time(nullptr));
  EXPECT_TRUE(tick == static_cast<std::uint32_t>(before * 1000) ||
              tick == static_cast<std::uint32_t>(after * 1000));
  EXPECT_GT(Now(), 40000.0);
}

TEST(FilesTest, OpenAppendNeverTruncatesAndAppendsAtTheEnd) {
  TTempDir dir;
  const std::string path = dir.Path() + "a.log";
  testing_support::WriteFile(path, "old\n");
  TDescriptor fd = OpenAppend(path, false);
  ASSERT_TRUE(fd.Valid());
  ASSERT_TRUE(WriteAll(fd.Get(), "new\n", 4));
  fd.Reset();
  EXPECT_EQ(ReadFile(path), "old\nnew\n");
  EXPECT_FALSE(OpenAppend(dir.Path() + "missing.log", false).Valid());
}

TEST(FilesTest, AppendWholeLeavesNoTornPieceOnAFullDevice) {
  // /dev/full takes nothing; a regular file takes everything.
  TDescriptor full = OpenAppend("/dev/full", false);
  if (full.Valid()) {
    EXPECT_FALSE(AppendWhole(full.Get(), "line\r\n", 6));
    full.Reset();
  }
  TTempDir dir;
  const std::string path = dir.Path() + "b.log";
  TDescriptor fd = OpenAppend(path, true);
  ASSERT_TRUE(fd.Valid());
  EXPECT_TRUE(AppendWhole(fd.Get(), "whole\r\n", 7));
  fd.Reset();
  EXPECT_EQ(ReadFile(path), "whole\r\n");
}

TEST(FilesTest, AppendUnitsKeepsTheUnitsThatFitWholeAndCutsTheTornRest) {
  TTempDir dir;
  const std::string path = dir.Path() + "limited.log";
  TDescriptor fd = OpenAppend(path, true);
  ASSERT_TRUE(fd.Valid());
  // A file-size limit of 100 bytes: the 4th unit of 30 would pass it.
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const rlimit limit{100, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::string units = std::string(28, 'a') + "\r\n" + std::string(28, 'b') + "\r\n" +
                            std::string(28, 'c') + "\r\n" + std::string(28, 'd') + "\r\n";
  const std::uint32_t ends[4] = {30, 60, 90, 120};
  const std::size_t written = AppendUnits(fd.Get(), units.data(), units.size(), ends, 4);
  const int error = errno;
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(ReadFile(path), units.substr(0, 90));
}

TEST(FilesTest, ForceDirectoriesCreatesEveryLevel) {
  TTempDir dir;
  const std::string deep = dir.Path() + "a/b/c/";
  EXPECT_FALSE(DirectoryExists(deep));
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(PathExists(dir.Path() + "a/b"));
}

TEST(FilesTest, LogFilesOpenBelowTheirBaseAndFollowNoLinkThere) {
  TTempDir dir, outside;
  const std::string base = dir.Path() + "base/";
  // Created level by level, appended to, never truncated.
  TDescriptor fd = OpenLogFileBelow(base, {"a", "", "b"}, "f.log");
  ASSERT_TRUE(fd.Valid());
  ASSERT_TRUE(WriteAll(fd.Get(), "one\n", 4));
  fd = OpenLogFileBelow(base, {"a", "b"}, "f.log");
  ASSERT_TRUE(WriteAll(fd.Get(), "two\n", 4));
  EXPECT_EQ(ReadFile(base + "a/b/f.log"), "one\ntwo\n");
  // The base itself may be a link.
  ASSERT_EQ(symlink(base.c_str(), (dir.Path() + "via").c_str()), 0);
  EXPECT_TRUE(OpenLogFileBelow(dir.Path() + "via/", {"a", "b"}, "f.log").Valid());
  // Below it, a link to a directory or to a file leads nowhere.
  ASSERT_EQ(symlink(outside.Path().c_str(), (base + "link").c_str()), 0);
  EXPECT_FALSE(OpenLogFileBelow(base, {"link"}, "f.log").Valid());
  ASSERT_EQ(symlink((outside.Path() + "target").c_str(), (base + "a/b/g.log").c_str()), 0);
  EXPECT_FALSE(OpenLogFileBelow(base, {"a", "b"}, "g.log").Valid());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_FALSE(PathExists(outside.Path() + "target"));
  EXPECT_FALSE(PathExists(outside.Path() + "f.log"));
  // Neither does a FIFO: only regular files are log files.
  ASSERT_EQ(mkfifo((base + "a/b/fifo.log").c_str(), 0600), 0);
  EXPECT_FALSE(OpenLogFileBelow(base, {"a", "b"}, "fifo.log").Valid());
}

TEST(FilesTest, AtomicReplacementKeepsLinksAndLeavesNothingHalfWritten) {
  TTempDir dir;
  const std::string target = dir.Path() + "real.conf";
  const std::string link = dir.Path() + "LogServer.conf";
  testing_support::WriteFile(target, "old\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(ReplaceFileAtomically(link, "new\n"));
  EXPECT_EQ(ReadFile(link), "new\n");
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // A missing file is created; a path that cannot take it fails cleanly.
  ASSERT_TRUE(ReplaceFileAtomically(dir.Path() + "fresh.conf", "x"));
  EXPECT_EQ(ReadFile(dir.Path() + "fresh.conf"), "x");
  EXPECT_FALSE(ReplaceFileAtomically(dir.Path() + "no/such/dir.conf", "x"));
  EXPECT_EQ(testing_support::FilesBelow(dir.Path()).size(), 3u);
}

TEST(FilesTest, ReadingAMissingFileIsNoError) {
  TTempDir dir;
  std::string text = "x";
  bool exists = true;
  EXPECT_TRUE(ReadFileText(dir.Path() + "none", text, exists));
  EXPECT_FALSE(exists);
  EXPECT_TRUE(text.empty());
  EXPECT_FALSE(ReadFileText(dir.Path(), text, exists));  // a directory cannot be read
}

TEST(FilesTest, PathPartsSplitAtTheLastSlash) {
  EXPECT_EQ(DirectoryPart("/opt/svc/bin/svc"), "/opt/svc/bin/");
  EXPECT_EQ(FileNamePart("/opt/svc/bin/svc"), "svc");
  EXPECT_EQ(DirectoryPart("svc"), "");
  EXPECT_EQ(FileNamePart(ExecutablePath()), "uPlatform_test");
}

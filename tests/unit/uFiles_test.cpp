#include "platform/uFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace logserver;
using testing_support::ReadFile;
using testing_support::TTempDir;

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
  EXPECT_EQ(FileNamePart(ExecutablePath()), "platform_test");
}
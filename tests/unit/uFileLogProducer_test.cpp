#include "producers/uFileLogProducer.h"
#include "support/LogTimes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace logserver;
using namespace testing_support;

namespace {

// A file producer of 10.1.2.3:4000 writing through `files`.
PLogProducer FileProducer(TLogFileTable& files, const std::string& base,
                          const std::string& app = "billing", const std::string& module = "core",
                          const std::string& prefix = "core") {
  return TFileLogProducer::Create({base, "10.1.2.3", "4000", app, module, prefix, ""}, {&files});
}

}  // namespace

TEST(FileLogProducerTest, WritesStampedLinesIntoTheHourlyFile) {
  TTempDir dir;
  TLogFileTable files;
  auto producer = FileProducer(files, dir.Path());
  EXPECT_FALSE(producer->IsActive());  // nothing opened before the first message
  producer->AddMessage("Connection opened", EncodeDateTime(2024, 3, 5, 14, 7, 8, 998), k1407);
  producer->AddMessage("", 0.0, k1408);
  producer->AddMessage("no stamp", 0.0, k1408);
  producer->AddMessage("negative", -1.5, k1408);
  EXPECT_TRUE(producer->IsActive());
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/billing/core/2024_03_05/core_14.log"),
            "14:07:09.045[14:07:08.998] : Connection opened\r\n"
            "\r\n"
            "no stamp\r\n"
            "14:08:00.000[12:00:00.000] : negative\r\n");
}

TEST(FileLogProducerTest, TextIsWrittenByteForByte) {
  TTempDir dir;
  TLogFileTable files;
  auto producer = FileProducer(files, dir.Path());
  const std::string raw("a\nb\r\0\xff", 6);
  producer->AddMessage(raw, 0.0, k1407);
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/billing/core/2024_03_05/core_14.log"), raw + "\r\n");
}

TEST(FileLogProducerTest, HourChangesInBothDirectionsSwitchFilesAndAppend) {
  TTempDir dir;
  TLogFileTable files;
  auto producer = FileProducer(files, dir.Path(), "a", "m", "");
  producer->AddMessage("one", 0.0, k1407);
  producer->AddMessage("two", 0.0, k1500);
  producer->AddMessage("three", 0.0, k1408);  // the clock went back
  const std::string day = dir.Path() + "10.1.2.3/a/m/2024_03_05/";
  EXPECT_EQ(ReadFile(day + "14.log"), "one\r\nthree\r\n");
  EXPECT_EQ(ReadFile(day + "15.log"), "two\r\n");
}

TEST(FileLogProducerTest, MidnightStartsANewDateDirectory) {
  TTempDir dir;
  TLogFileTable files;
  auto producer = FileProducer(files, dir.Path(), "a", "m", "p");
  producer->AddMessage("late", 0.0, kBeforeMidnight);
  producer->AddMessage("early", 0.0, kMidnight);
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/a/m/2024_03_05/p_23.log"), "late\r\n");
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/a/m/2024_03_06/p_00.log"), "early\r\n");
}

TEST(FileLogProducerTest, ExistingFilesAreAppendedToNeverTruncated) {
  TTempDir dir;
  TLogFileTable files;
  const std::string path = dir.Path() + "10.1.2.3/a/m/2024_03_05/14.log";
  WriteFile(path, "kept\r\n");
  auto first = FileProducer(files, dir.Path(), "a", "m", "");
  auto second = TFileLogProducer::Create({dir.Path(), "10.1.2.3", "4001", "a", "m", "", ""}, {&files});
  first->AddMessage("first", 0.0, k1407);
  second->AddMessage("second", 0.0, k1407);
  first->AddMessage("third", 0.0, k1407);
  EXPECT_EQ(ReadFile(path), "kept\r\nfirst\r\nsecond\r\nthird\r\n");
}

TEST(FileLogProducerTest, AFailedOpenIsRetriedOnceARetryIntervalHasPassed) {
  TTempDir dir;
  TLogFileTable files;
  // A plain file where the address directory should be blocks the open.
  WriteFile(dir.Path() + "10.1.2.3", "in the way");
  files.TakeLosses();
  files.SetRetryInterval(3600 * 1000);
  auto producer = FileProducer(files, dir.Path(), "a", "m", "");
  producer->AddMessage("lost", 0.0, k1407);
  EXPECT_FALSE(producer->IsActive());
  std::remove((dir.Path() + "10.1.2.3").c_str());
  producer->AddMessage("still lost", 0.0, k1408);  // within the interval: no new attempt
  EXPECT_FALSE(producer->IsActive());
  producer->AddMessage("written", 0.0, k1500);  // a new hour's file is tried at once
  EXPECT_TRUE(producer->IsActive());
  // Within the hour, the next attempt comes once the interval has passed.
  WriteFile(dir.Path() + "10.1.2.4", "in the way");
  files.SetRetryInterval(0);
  auto other = TFileLogProducer::Create({dir.Path(), "10.1.2.4", "1", "a", "m", "", ""}, {&files});
  other->AddMessage("lost too", 0.0, k1407);
  std::remove((dir.Path() + "10.1.2.4").c_str());
  other->AddMessage("retried", 0.0, k1408);
  const auto written = FilesBelow(dir.Path());
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(ReadFile(written[0]), "written\r\n");
  EXPECT_EQ(ReadFile(written[1]), "retried\r\n");
  // Every lost line was counted, with its reason.
  std::uint64_t lost = 0;
  for (const auto& loss : files.TakeLosses()) {
    lost += loss.Lines;
    EXPECT_EQ(loss.Error, ENOTDIR) << loss.Path;
  }
  EXPECT_EQ(lost, 3u);
}

TEST(FileLogProducerTest, BaseCatalogIsAPlainPrefix) {
  TTempDir dir;
  TLogFileTable files;
  auto producer = TFileLogProducer::Create({dir.Path() + "Logs", "10.1.2.3", "1", "a", "m", "", ""}, {&files});
  producer->AddMessage("x", 0.0, k1407);
  EXPECT_TRUE(Exists(dir.Path() + "Logs10.1.2.3/a/m/2024_03_05/14.log"));
}

TEST(FileLogProducerTest, NoRoutingNameCanLeaveTheClientDirectory) {
  TTempDir dir;
  TLogFileTable files;
  const std::string base = dir.Path() + "Logs/";
  const std::vector<std::string> hostile = {"..",      "../..", "../../etc",
                                            "a/../..", "/..",   std::string("..\0x", 4)};
  int port = 0;
  for (const std::string& name : hostile) {
    auto producer =
        TFileLogProducer::Create({base, "10.1.2.3", std::to_string(port++), name, name, name, ""}, {&files});
    producer->AddMessage("x", 0.0, k1407);
    EXPECT_TRUE(producer->IsActive()) << name;
  }
  const auto inside = FilesBelow(base + "10.1.2.3/");
  EXPECT_EQ(FilesBelow(dir.Path()), inside);
  EXPECT_GE(inside.size(), hostile.size() - 1);  // "/.." and ".." share a path
  EXPECT_EQ(SafePathName("../a/.../..x/.."), "__/a/.../..x/__");
  EXPECT_EQ(SafePathName(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(SafePathName("nested/dirs"), "nested/dirs");
}

TEST(FileLogProducerTest, NamesBeyondTheLimitsAreShortenedAndStayApart) {
  TLogFileTable files;
  auto levels = [&files](const std::string& app, const std::string& prefix = "") {
    auto producer = TFileLogProducer::Create({"/b/", "10.1.2.3", "1", app, "m", prefix, ""}, {&files});
    const TLogFilePath path = static_cast<TFileLogProducer*>(producer.get())->FilePath(k1407);
    std::vector<std::string> all = path.Directories;
    all.push_back(path.FileName);
    return std::make_pair(all, static_cast<TFileLogProducer*>(producer.get())->Shortened());
  };
  using V = std::vector<std::string>;
  // Within the limits the path is what it always was; empty levels vanish.
  EXPECT_EQ(levels("a//b/c/d/e"), std::make_pair(V{"10.1.2.3", "a", "b", "c", "d", "e", "m",
                                                  "2024_03_05", "14.log"}, false));
  EXPECT_EQ(levels("a", "p/q/").first.back(), "_14.log");
  // More levels: the rest joins the last one allowed, marked with a hash.
  const auto deep = levels("a/b/c/d/e/f/g");
  EXPECT_TRUE(deep.second);
  ASSERT_EQ(deep.first.size(), 9u);
  EXPECT_EQ(deep.first[5], "e_f_g~c90815ddfe1b6cd7");  // the README's example
  EXPECT_NE(deep.first[5], levels("a/b/c/d/e_f_g").first[5]);
  // A name given in a shortened form is marked in turn: it cannot take the
  // place of the name that was shortened to it.
  const auto literal = levels("a/b/c/d/e_f_g~c90815ddfe1b6cd7");
  EXPECT_TRUE(literal.second);
  EXPECT_NE(literal.first[5], deep.first[5]);
  EXPECT_EQ(literal.first[5].rfind("e_f_g~c90815ddfe1b6cd7~", 0), 0u);
  EXPECT_NE(levels("a", "p/q~0123456789abcdef").first.back(), "q~0123456789abcdef_14.log");
  EXPECT_FALSE(levels("a~0123456789ABCDEF").second);  // not the mark's form
  // Longer levels: the first bytes, the mark, 255 bytes in all.
  const auto wide = levels(std::string(300, 'x'));
  EXPECT_EQ(wide.first[1].size(), 255u);
  EXPECT_EQ(wide.first[1].substr(0, 238), std::string(238, 'x'));
  EXPECT_NE(wide.first[1], levels(std::string(301, 'x')).first[1]);
  EXPECT_NE(levels(wide.first[1]).first[1], wide.first[1]);
  const auto longPrefix = levels("a", std::string(400, 'p'));
  EXPECT_EQ(longPrefix.first.back().size(), 255u);
  EXPECT_EQ(longPrefix.first.back().substr(248), "_14.log");
}

TEST(FileLogProducerTest, StopAndWaitReturnAtOnceWithoutMessages) {
  TTempDir dir;
  TLogFileTable files;
  auto producer = FileProducer(files, dir.Path());
  producer->Stop();
  producer->WaitFor();
  EXPECT_TRUE(FilesBelow(dir.Path()).empty());
}

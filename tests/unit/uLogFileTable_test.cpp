#include "producers/uFileLogProducer.h"
#include "producers/uLogFileTable.h"
#include "support/LogTimes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace logserver;
using namespace testing_support;

TEST(LogFileTableTest, ClosesTheLeastRecentFileAndReopensItForAppending) {
  TTempDir dir;
  TLogFileTable table(2);
  const std::string a = dir.Path() + "x/a.log", b = dir.Path() + "x/b.log", c = dir.Path() + "y/c.log";
  ASSERT_TRUE(table.Attach(a));
  ASSERT_TRUE(table.Attach(b));
  EXPECT_TRUE(table.Append(a, "a1\n"));
  ASSERT_TRUE(table.Attach(c));  // closes b, the least recently written
  EXPECT_EQ(table.OpenFiles(), 2u);
  EXPECT_TRUE(table.Append(b, "b1\n"));  // reopened, closing a
  EXPECT_TRUE(table.Append(a, "a2\n"));
  EXPECT_TRUE(table.Append(c, "c1\n"));
  EXPECT_LE(table.OpenFiles(), 2u);
  EXPECT_EQ(ReadFile(a), "a1\na2\n");
  EXPECT_EQ(ReadFile(b), "b1\n");
  EXPECT_EQ(ReadFile(c), "c1\n");
  table.Detach(a);
  table.Detach(b);
  table.Detach(c);
  EXPECT_EQ(table.OpenFiles(), 0u);
  EXPECT_FALSE(table.Append(a, "lost\n"));  // no user: nothing is written
}

TEST(LogFileTableTest, UsersOfOnePathShareOneDescriptor) {
  TTempDir dir;
  TLogFileTable table(8);
  const std::string path = dir.Path() + "shared.log";
  ASSERT_TRUE(table.Attach(path));
  ASSERT_TRUE(table.Attach(path));
  EXPECT_EQ(table.OpenFiles(), 1u);
  table.Detach(path);
  EXPECT_TRUE(table.Append(path, "still open\n"));
  table.Detach(path);
  EXPECT_EQ(table.OpenFiles(), 0u);
  EXPECT_EQ(ReadFile(path), "still open\n");
  EXPECT_FALSE(table.Attach(dir.Path() + "missing-dir-is-a-file/x.log/"));
}

TEST(LogFileTableTest, ABatchWritesEachFileOnceWithItsLinesInOrder) {
  TTempDir dir;
  TLogFileTable table;
  // Two producers share one file, a third writes another.
  auto producer = [&](const std::string& port, const std::string& app) {
    return TFileLogProducer::Create({dir.Path(), "10.1.2.3", port, app, "m", "", ""}, {&table});
  };
  auto first = producer("4000", "a");
  auto second = producer("4001", "a");
  auto other = producer("4000", "b");
  const std::string shared = dir.Path() + "10.1.2.3/a/m/2024_03_05/14.log";
  const std::string alone = dir.Path() + "10.1.2.3/b/m/2024_03_05/14.log";
  table.BeginBatch();
  const std::uint64_t before = table.Counts().Writes;
  for (int i = 0; i < 100; ++i) {
    (i % 3 == 0 ? second : first)->AddMessage("shared " + std::to_string(i), 0.0, k1407);
    other->AddMessage("alone " + std::to_string(i), 0.0, k1407);
  }
  EXPECT_EQ(ReadFile(shared), "");  // nothing before the batch ends
  table.EndBatch();
  EXPECT_EQ(table.Counts().Writes - before, 2u);  // one write per file
  std::string expectShared, expectAlone;
  for (int i = 0; i < 100; ++i) {
    expectShared += "shared " + std::to_string(i) + "\r\n";
    expectAlone += "alone " + std::to_string(i) + "\r\n";
  }
  EXPECT_EQ(ReadFile(shared), expectShared);
  EXPECT_EQ(ReadFile(alone), expectAlone);
  // Pending lines go out before their file changes hour, and before their
  // producer goes, without waiting for the batch's end.
  table.BeginBatch();
  first->AddMessage("last of 14", 0.0, k1407);
  first->AddMessage("first of 15", 0.0, k1500);
  EXPECT_EQ(ReadFile(shared), expectShared + "last of 14\r\n");
  other->AddMessage("before it goes", 0.0, k1407);
  other.reset();
  EXPECT_EQ(ReadFile(alone), expectAlone + "before it goes\r\n");
  table.EndBatch();
  EXPECT_EQ(ReadFile(dir.Path() + "10.1.2.3/a/m/2024_03_05/15.log"), "first of 15\r\n");
}

TEST(LogFileTableTest, ManyProducersStayWithinTheSharedBound) {
  TTempDir dir;
  TLogFileTable table(16);
  std::vector<PLogProducer> producers;
  for (int i = 0; i < 200; ++i) {
    producers.push_back(TFileLogProducer::Create({dir.Path(), "10.0.0.1", std::to_string(i), "app",
                                                 "m" + std::to_string(i), "", ""},
                                                {&table}));
    producers.back()->AddMessage("first " + std::to_string(i), 0.0, k1407);
  }
  EXPECT_LE(table.OpenFiles(), 16u);
  for (int i = 0; i < 200; ++i) producers[i]->AddMessage("second", 0.0, k1408);
  for (int i = 0; i < 200; i += 37)
    EXPECT_EQ(ReadFile(dir.Path() + "10.0.0.1/app/m" + std::to_string(i) + "/2024_03_05/14.log"),
              "first " + std::to_string(i) + "\r\nsecond\r\n");
  producers.clear();
  EXPECT_EQ(table.OpenFiles(), 0u);
}

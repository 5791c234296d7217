#include "producers/uFileLogProducer.h"
#include "producers/uLogFileTable.h"
#include "support/LogTimes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

using namespace logserver;
using namespace testing_support;

TEST(LogFileTableTest, ClosesTheLeastRecentFileAndReopensItForAppending) {
  TTempDir dir;
  TLogFileTable table(2);
  const std::string a = dir.Path() + "x/a.log", b = dir.Path() + "x/b.log", c = dir.Path() + "y/c.log";
  // A writer killed inside a write left c's last line torn: the next line
  // starts a line of its own.
  std::filesystem::create_directories(dir.Path() + "y");
  WriteFile(c, "c0\ntor");
  auto* fa = table.Attach(a);
  auto* fb = table.Attach(b);
  ASSERT_TRUE(table.IsOpen(fa) && table.IsOpen(fb));
  EXPECT_TRUE(table.Append(fa, "a1\n"));
  auto* fc = table.Attach(c);  // closes b, the least recently written
  EXPECT_FALSE(table.IsOpen(fb));
  EXPECT_EQ(table.OpenFiles(), 2u);
  EXPECT_TRUE(table.Append(fb, "b1\n"));  // reopened, closing a
  EXPECT_TRUE(table.Append(fa, "a2\n"));
  EXPECT_TRUE(table.Append(fc, "c1\n"));
  EXPECT_LE(table.OpenFiles(), 2u);
  EXPECT_EQ(ReadFile(a), "a1\na2\n");
  EXPECT_EQ(ReadFile(b), "b1\n");
  EXPECT_EQ(ReadFile(c), "c0\ntor\nc1\n");
  table.Detach(fa);
  table.Detach(fb);
  table.Detach(fc);
  EXPECT_EQ(table.OpenFiles(), 0u);
}

TEST(LogFileTableTest, UsersOfOnePathShareOneDescriptor) {
  TTempDir dir;
  TLogFileTable table(8);
  const std::string path = dir.Path() + "shared.log";
  auto* first = table.Attach(path);
  auto* second = table.Attach(path);
  EXPECT_EQ(first, second);
  EXPECT_EQ(table.OpenFiles(), 1u);
  table.Detach(first);
  EXPECT_TRUE(table.Append(second, "still open\n"));
  table.Detach(second);
  EXPECT_EQ(table.OpenFiles(), 0u);
  EXPECT_EQ(ReadFile(path), "still open\n");
  auto* blocked = table.Attach(dir.Path() + "shared.log/x.log");  // a file where a directory should be
  EXPECT_FALSE(table.IsOpen(blocked));
  table.Detach(blocked);
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

  // An observer that holds batches: a batch reaches no file before its
  // end, also when its producer changes hour or the budget (2) would close
  // the file; it hears the sizes before any write, once, and the
  // descriptors written after.
  struct TRecording : TLogFileTable::TWriteObserver {
    std::vector<std::map<std::string, std::uint64_t>> Before;
    std::size_t After = 0;
    bool HoldsBatches() const override { return true; }
    void BeforeWrite(const std::vector<std::pair<TLogFilePath, std::uint64_t>>& files) override {
      Before.emplace_back();
      for (const auto& [path, size] : files) Before.back()[path.Text()] = size;
    }
    void AfterBatchWrite(const std::vector<int>& descriptors) override { After += descriptors.size(); }
  } recording;
  TLogFileTable synced(2);
  synced.SetObserver(&recording);
  auto archived = [&](const std::string& app) {
    return TFileLogProducer::Create({dir.Path(), "10.9.9.9", "1", app, "m", "", ""}, {&synced});
  };
  auto a = archived("a"), b = archived("b"), c = archived("c");
  const std::string base = dir.Path() + "10.9.9.9/";
  a->AddMessage("before", 0.0, k1407);  // outside a batch: at once
  synced.BeginBatch();
  a->AddMessage("last of 14", 0.0, k1407);
  a->AddMessage("first of 15", 0.0, k1500);
  b->AddMessage("b", 0.0, k1407);
  c->AddMessage("c", 0.0, k1407);
  EXPECT_EQ(ReadFile(base + "a/m/2024_03_05/14.log"), "before\r\n");
  synced.EndBatch();
  ASSERT_EQ(recording.Before.size(), 2u);  // the lone line, then the batch
  EXPECT_EQ(recording.Before[1], (std::map<std::string, std::uint64_t>{{base + "a/m/2024_03_05/14.log", 8},
                                                                        {base + "a/m/2024_03_05/15.log", 0},
                                                                        {base + "b/m/2024_03_05/14.log", 0},
                                                                        {base + "c/m/2024_03_05/14.log", 0}}));
  EXPECT_EQ(recording.After, 4u);
  EXPECT_EQ(ReadFile(base + "a/m/2024_03_05/14.log"), "before\r\nlast of 14\r\n");
  EXPECT_EQ(ReadFile(base + "a/m/2024_03_05/15.log"), "first of 15\r\n");
  EXPECT_EQ(ReadFile(base + "c/m/2024_03_05/14.log"), "c\r\n");
  EXPECT_LE(synced.OpenFiles(), 3u);  // the one left at the hour change is closed
  synced.SetObserver(nullptr);
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

namespace {

// Lines written through a table: one file per route below `base`.
struct TRoutes {
  TRoutes(TLogFileTable& table, const std::string& base, int count) : Table(table) {
    for (int i = 0; i < count; ++i) Files.push_back(table.Attach(Path(base, i)));
  }
  ~TRoutes() {
    for (auto* file : Files) Table.Detach(file);
  }
  static std::string Path(const std::string& base, int i) {
    return base + "r" + std::to_string(i) + "/14.log";
  }
  TLogFileTable& Table;
  std::vector<TLogFileTable::TFileHandle> Files;
};

}  // namespace

TEST(LogFileTableTest, UnderBacklogLinesWaitAcrossBatchesInOrderAndWholeUntilTheQueueEmpties) {
  TTempDir dir;
  TLogFileTable table;
  TRoutes routes(table, dir.Path(), 50);
  const std::uint64_t before = table.Counts().Writes;
  std::vector<std::string> expected(50);
  // Ten batches, one line per file each, with more work queued after each.
  for (int batch = 0; batch < 10; ++batch) {
    TLogFileTable::TBatch lines(table);
    for (int i = 0; i < 50; ++i) {
      const std::string line = "b" + std::to_string(batch) + " r" + std::to_string(i) + "\r\n";
      table.Append(routes.Files[static_cast<std::size_t>(i)], line);
      expected[static_cast<std::size_t>(i)] += line;
    }
    lines.LetWait(true);
  }
  EXPECT_EQ(ReadFile(TRoutes::Path(dir.Path(), 7)), "");  // still waiting
  std::size_t waiting = 0;
  for (const std::string& lines : expected) waiting += lines.size();
  EXPECT_EQ(table.PendingBytes(), waiting);
  { TLogFileTable::TBatch last(table); }  // the queue ran empty: everything goes
  EXPECT_EQ(table.Counts().Writes - before, 50u);  // one write per file for ten batches
  EXPECT_EQ(table.PendingBytes(), 0u);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(ReadFile(TRoutes::Path(dir.Path(), i)), expected[static_cast<std::size_t>(i)]) << i;
}

TEST(LogFileTableTest, WaitingLinesGoWhenOldFullOrTooManyAndBeforeAnyClose) {
  TTempDir dir;
  TLogFileTable table;
  TRoutes routes(table, dir.Path(), 3);
  auto* first = routes.Files[0];
  // A file's pending bytes beyond kFlushBytes are written at once.
  const std::string big(1000, 'x');
  {
    TLogFileTable::TBatch lines(table);
    for (std::size_t written = 0; written < TLogFileTable::kFlushBytes; written += big.size())
      table.Append(first, big);
    lines.LetWait(true);
  }
  EXPECT_GE(ReadFile(TRoutes::Path(dir.Path(), 0)).size(), TLogFileTable::kFlushBytes);
  // A line older than kMaxWaitMs goes at a batch's end, also while more
  // work is queued.
  {
    TLogFileTable::TBatch lines(table);
    table.Append(routes.Files[1], "old\n");
    lines.LetWait(true);
  }
  EXPECT_TRUE(WaitUntil([&] {
    {
      TLogFileTable::TBatch busy(table);
      busy.LetWait(true);
    }
    return ReadFile(TRoutes::Path(dir.Path(), 1)) == "old\n";
  }));
  // Before a file is closed (here: a reopen, as on SIGHUP), its lines go.
  {
    TLogFileTable::TBatch lines(table);
    table.Append(routes.Files[2], "before the close\n");
    lines.LetWait(true);
  }
  table.ReopenAll();
  EXPECT_EQ(ReadFile(TRoutes::Path(dir.Path(), 2)), "before the close\n");
}

TEST(LogFileTableTest, AllWaitingLinesTogetherStayWithinTheBoundLargestFirst) {
  TTempDir dir;
  TLogFileTable table;
  TRoutes routes(table, dir.Path(), 1000);
  const std::string line(40 * 1024 - 1, 'y');  // below kFlushBytes per file
  TLogFileTable::TBatch lines(table);
  lines.LetWait(true);
  for (auto* file : routes.Files) {
    table.Append(file, line + "\n");
    ASSERT_LE(table.PendingBytes(), TLogFileTable::kMaxPendingBytes);
  }
  EXPECT_GT(table.Counts().Writes, 0u);  // some had to go before the batch's end
}

TEST(LogFileTableTest, AKeptDirectoryThatWasDeletedOrReplacedByALinkIsWalkedAnew) {
  TTempDir dir, outside;
  TLogFileTable table;
  const std::string day = dir.Path() + "10.1.2.3/a/m/2024_03_05/";
  // Below the base every level is a directory of the tree (not a link).
  auto path = [&](const std::string& name) {
    return TLogFilePath{dir.Path(), {"10.1.2.3", "a", "m", "2024_03_05"}, name};
  };
  auto* first = table.Attach(path("14.log"));
  ASSERT_TRUE(table.Append(first, "one\n"));
  EXPECT_EQ(table.OpenDirectories(), 5u);  // the base and each level below it
  table.Detach(first);
  // Deleted between two lines: the next file goes into a new real directory.
  std::filesystem::remove_all(dir.Path() + "10.1.2.3");
  auto* second = table.Attach(path("15.log"));
  ASSERT_TRUE(table.Append(second, "two\n"));
  table.Detach(second);
  EXPECT_EQ(ReadFile(day + "15.log"), "two\n");
  // Moved away and replaced by a link: nothing follows the link, nothing
  // goes into the moved directory.
  std::filesystem::rename(dir.Path() + "10.1.2.3/a", outside.Path() + "moved");
  std::filesystem::create_directory_symlink(outside.Path() + "moved", dir.Path() + "10.1.2.3/a");
  auto* third = table.Attach(path("16.log"));
  EXPECT_FALSE(table.Append(third, "three\n"));  // the link leads nowhere: lost and counted
  table.Detach(third);
  EXPECT_FALSE(Exists(outside.Path() + "moved/m/2024_03_05/16.log"));
  std::filesystem::remove(dir.Path() + "10.1.2.3/a");
  auto* fourth = table.Attach(path("17.log"));
  ASSERT_TRUE(table.Append(fourth, "four\n"));
  table.Detach(fourth);
  EXPECT_EQ(ReadFile(day + "17.log"), "four\n");
  EXPECT_EQ(FilesBelow(outside.Path()), std::vector<std::string>{outside.Path() + "moved/m/2024_03_05/15.log"});
}

TEST(LogFileTableTest, IdleFilesAreClosedAndReopenedWithTheirNextLine) {
  TTempDir dir;
  TLogFileTable table;
  TRoutes routes(table, dir.Path(), 2);
  table.Append(routes.Files[0], "a\n");
  table.Append(routes.Files[1], "b\n");
  EXPECT_EQ(table.OpenFiles(), 2u);
  table.CloseIdle(0);
  EXPECT_EQ(table.OpenFiles(), 0u);
  EXPECT_TRUE(table.Append(routes.Files[1], "b again\n"));
  EXPECT_EQ(table.OpenFiles(), 1u);
  table.CloseIdle(60 * 1000);  // written a moment ago: stays
  EXPECT_EQ(table.OpenFiles(), 1u);
  EXPECT_EQ(ReadFile(TRoutes::Path(dir.Path(), 1)), "b\nb again\n");
}

TEST(LogFileTableTest, TheDescriptorBudgetLeavesAReserveAndFollowsTheLimit) {
  const TDescriptorBudget low = TDescriptorBudget::ForLimit(1024);
  EXPECT_EQ(low.Files, 16u);  // all is reserve: the fewest that still work
  const TDescriptorBudget bench = TDescriptorBudget::ForLimit(20000);
  EXPECT_EQ(bench.Files + bench.Directories, 15000u);
  EXPECT_GE(bench.Files, 10000u);
  const TDescriptorBudget unit = TDescriptorBudget::ForLimit(65536);
  EXPECT_EQ(unit.Files + unit.Directories, 65536u - 16384u);
  EXPECT_EQ(TDescriptorBudget::ForLimit(1u << 20).Files, TDescriptorBudget::kMaxFiles);
}

// The spool and the batcher: entries read back whole and in order across
// segments and runs, the bound that holds on disk, a cut tail, the mark a
// new start resumes from; batches that close where they must, and an
// earlier run's records gathered exactly as it published them.
#include "stream/uStreamBatcher.h"
#include "stream/uStreamSpool.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace logserver;
using namespace testing_support;

namespace {

TLogMessage Message(int n, std::size_t textSize = 10, const std::string& module = "mod") {
  TLogMessage m;
  m.Address = "10.0.0.1";
  m.Port = "5140";
  m.Application = "app";
  m.Module = module;
  m.Text = std::to_string(n) + std::string(textSize, 'x');
  m.ServerTime = 46000.5 + n;
  return m;
}

// A run of records [from, to) of one route.
std::string RunOf(int from, int to, std::size_t textSize = 10, const std::string& module = "mod") {
  std::string out;
  const std::size_t start = BeginRun(out, "10.0.0.1", "app", module);
  for (int n = from; n < to; ++n) AppendBatchFrame(out, Message(n, textSize, module));
  EndRun(out, start, static_cast<std::uint32_t>(to - from));
  return out;
}

// The first number of every record text read from the spool, in order.
std::vector<int> ReadAll(TStreamSpool& spool) {
  std::vector<int> numbers;
  TSpoolParse kind;
  TSpoolEntry entry;
  TStreamRecord legacy;
  TSpoolPosition at;
  while (spool.Next(kind, entry, legacy, at)) {
    std::string_view frames = entry.Frames;
    TLogMessage m;
    std::size_t used = 0;
    while (!frames.empty() && ReadBatchFrame(frames, m, used)) {
      numbers.push_back(std::stoi(m.Text));
      frames.remove_prefix(used);
    }
  }
  return numbers;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> out;
  for (int n = from; n < to; ++n) out.push_back(n);
  return out;
}

std::uintmax_t OnDisk(const std::string& path) {
  std::uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(path))
    if (entry.path().extension() == ".spool") bytes += entry.file_size();
  return bytes;
}

TEST(StreamSpoolTest, ReadsEveryEntryInOrderAndANewStartResumesAtTheMark) {
  TTempDir dir;
  const std::string path = dir.Path() + "spool";
  TSpoolPosition resume;
  {
    TStreamSpool spool;
    ASSERT_TRUE(spool.Open(path, 1ull << 30));
    for (int n = 0; n < 300; n += 10) ASSERT_TRUE(spool.Append(RunOf(n, n + 10), 10));
    // Read up to 100, then "acknowledged" up to there.
    TSpoolParse kind;
    TSpoolEntry entry;
    TStreamRecord legacy;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(spool.Next(kind, entry, legacy, resume));
    resume = spool.ReadPosition();
    ASSERT_TRUE(spool.SaveMark(resume, {{"abc-7", 0}, {"abc-8", 42}}));
    EXPECT_EQ(ReadAll(spool), Range(100, 300));
  }
  TStreamSpool spool;
  ASSERT_TRUE(spool.Open(path, 1ull << 30));
  EXPECT_EQ(spool.AcknowledgedAtOpen(), (TStreamSpool::TAcknowledged{{"abc-7", 0}, {"abc-8", 42}}));
  ASSERT_TRUE(spool.Append(RunOf(300, 310), 10));
  EXPECT_EQ(ReadAll(spool), Range(100, 310));
  // This run's entries follow the earlier run's, in a segment of its own.
  EXPECT_GT(spool.ReadPosition().Segment, resume.Segment);
  EXPECT_EQ(spool.FirstOwnSegment(), spool.ReadPosition().Segment);
  spool.Release(spool.ReadPosition());
  spool.Clear();
  EXPECT_TRUE(std::filesystem::is_empty(path));
}

TEST(StreamSpoolTest, StaysWithinItsBoundPlusOneSegmentAndCutsADamagedTail) {
  TTempDir dir;
  const std::string path = dir.Path() + "spool";
  const std::uint64_t bound = 8ull << 20;
  EXPECT_EQ(TStreamSpool::SegmentBytesFor(bound), 1ull << 20);
  EXPECT_EQ(TStreamSpool::SegmentBytesFor(64ull << 30), 64ull << 20);
  int appended = 0;
  {
    TStreamSpool spool;
    ASSERT_TRUE(spool.Open(path, bound));
    // 64 KiB records: nothing is read, so the oldest must go.
    for (; appended < 400; ++appended) {
      ASSERT_TRUE(spool.Append(RunOf(appended, appended + 1, 64 << 10), 1));
      ASSERT_LE(OnDisk(path), bound + spool.SegmentBytes());
    }
    EXPECT_GT(spool.Dropped(), 0u);
    EXPECT_EQ(OnDisk(path), spool.Bytes());
    const std::vector<int> left = ReadAll(spool);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left, Range(static_cast<int>(spool.Dropped()), appended));
  }
  // A crash cut the newest segment's last entry short.
  std::filesystem::path newest;
  for (const auto& entry : std::filesystem::directory_iterator(path))
    if (entry.path().extension() == ".spool" && (newest.empty() || entry.path() > newest)) newest = entry.path();
  std::filesystem::resize_file(newest, std::filesystem::file_size(newest) - 7);
  TStreamSpool spool;
  ASSERT_TRUE(spool.Open(path, bound));
  const std::vector<int> left = ReadAll(spool);
  ASSERT_FALSE(left.empty());
  EXPECT_EQ(left.back(), appended - 2);
}

TEST(StreamSpoolTest, TakesOverASpoolLeftInTheFormerDirectory) {
  TTempDir dir;
  {
    TStreamSpool spool;
    ASSERT_TRUE(spool.Open(dir.Path() + "old", 1ull << 30));
    ASSERT_TRUE(spool.Append(RunOf(0, 5), 5));
  }
  TStreamSpool spool;
  ASSERT_TRUE(spool.Open(dir.Path() + "new/here", 1ull << 30, dir.Path() + "old"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "old"));
  EXPECT_EQ(ReadAll(spool), Range(0, 5));
}

// The batcher, fed as the publisher feeds it.
struct TBatching {
  TStreamBatcher Batcher{"run"};
  std::uint64_t Offset = 0;
  TSpoolPosition Add(const std::string& entries, bool earlier = false, const TStreamSpool::TAcknowledged& known = {}) {
    const TSpoolPosition at{earlier ? 1u : 2u, Offset};
    Offset += entries.size();
    TSpoolEntry entry;
    TStreamRecord legacy;
    std::size_t used = 0;
    const TSpoolParse kind = ParseSpoolEntry(entries, entry, legacy, used);
    EXPECT_EQ(used, entries.size());
    if (kind == TSpoolParse::Run && !earlier) Batcher.Add(entry, at, 1);
    if (kind == TSpoolParse::Run && earlier) Batcher.AddEarlier(entry, at);
    if (kind == TSpoolParse::Close) Batcher.CloseEarlier(entry, known);
    if (kind == TSpoolParse::Legacy) Batcher.AddLegacy(legacy, at, known);
    return at;
  }
  // The closed batches: their ids and first record numbers and counts.
  std::vector<std::tuple<std::string, int, std::uint32_t>> Closed() {
    std::vector<std::tuple<std::string, int, std::uint32_t>> out;
    for (const auto& batch : Batcher.TakeClosed()) {
      TLogMessage m;
      std::size_t used = 0;
      EXPECT_TRUE(ReadBatchFrame(batch->Body, m, used));
      out.emplace_back(batch->Id, std::stoi(m.Text), batch->Records);
    }
    return out;
  }
};

TEST(StreamBatcherTest, ABatchClosesWhenFullWhenItWaitedWithRoomAndBeyondTheOpenBound) {
  TBatching b;
  b.Add(RunOf(0, 2500));  // 1,024 records at most
  EXPECT_EQ(b.Closed(), (std::vector<std::tuple<std::string, int, std::uint32_t>>{{"run-1", 0, 1024},
                                                                                 {"run-2", 1024, 1024}}));
  EXPECT_EQ(b.Batcher.OpenBatches(), 1u);
  // Waited, but the stream has no room: it goes on filling.
  b.Batcher.CloseWaited(1 + TStreamBatcher::kWaitUs, 0);
  EXPECT_TRUE(b.Closed().empty());
  b.Batcher.CloseWaited(1 + TStreamBatcher::kWaitUs, 1);
  EXPECT_EQ(b.Closed(), (std::vector<std::tuple<std::string, int, std::uint32_t>>{{"run-3", 2048, 452}}));
  // 64 KiB at most (63 records of 1,034 bytes); a larger record travels
  // alone; what is open closes at the stop.
  b.Add(RunOf(0, 100, 1000));
  b.Add(RunOf(100, 101, 100000));
  b.Add(RunOf(101, 102, 1000));
  EXPECT_EQ(b.Closed(), (std::vector<std::tuple<std::string, int, std::uint32_t>>{
                            {"run-4", 0, 63}, {"run-5", 63, 37}, {"run-6", 100, 1}}));
  b.Batcher.CloseAll();
  EXPECT_EQ(b.Closed(), (std::vector<std::tuple<std::string, int, std::uint32_t>>{{"run-7", 101, 1}}));
  // Past the bound of open bytes the oldest close, room or not.
  for (int route = 0; route * 60000 <= static_cast<int>(TStreamBatcher::kMaxOpenBytes); ++route)
    b.Add(RunOf(0, 1, 60000, "m" + std::to_string(route)));
  b.Batcher.CloseWaited(2, 0);
  EXPECT_LE(b.Batcher.OpenBytes(), TStreamBatcher::kMaxOpenBytes);
  EXPECT_GT(b.Batcher.OpenBytes(), TStreamBatcher::kMaxOpenBytes - 2 * 60100);
  const auto forced = b.Closed();
  ASSERT_FALSE(forced.empty());
  EXPECT_EQ(std::get<0>(forced.front()), "run-8");  // the oldest first
}

TEST(StreamBatcherTest, AnEarlierRunsRecordsGoAsItsMarksSay) {
  TBatching b;
  // The earlier run: batch e-1 began before the spool's mark (its first
  // records are gone) and was acknowledged; e-2 was published and not
  // acknowledged; e-3 was acknowledged but kept; the rest was never closed.
  const TSpoolPosition run1 = b.Add(RunOf(10, 20), true);
  const TSpoolPosition run2 = b.Add(RunOf(20, 40), true);
  std::string marks;
  AppendCloseMark(marks, "e-1", "10.0.0.1", "app", "mod", 15, 0, 0, 0, run1.Segment, run1.Offset, 4);
  b.Add(marks, true, {{"e-1", 0}, {"e-3", 77}});
  marks.clear();
  AppendCloseMark(marks, "e-2", "10.0.0.1", "app", "mod", 8, run1.Segment, run1.Offset, 5, run2.Segment,
                  run2.Offset, 2);
  b.Add(marks, true, {{"e-1", 0}, {"e-3", 77}});
  marks.clear();
  AppendCloseMark(marks, "e-3", "10.0.0.1", "app", "mod", 4, run2.Segment, run2.Offset, 3, run2.Segment,
                  run2.Offset, 6);
  b.Add(marks, true, {{"e-1", 0}, {"e-3", 77}});
  std::string legacy;
  TStreamRecord old;
  static_cast<TLogMessage&>(old) = Message(99);
  old.MessageId = "l-1";
  AppendLegacySpoolRecord(legacy, old);
  b.Add(legacy, true);
  b.Batcher.EndEarlier(1);
  auto closed = b.Batcher.TakeClosed();
  ASSERT_EQ(closed.size(), 4u);
  auto first = [](const TStreamBatch& batch) {
    TLogMessage m;
    std::size_t used = 0;
    EXPECT_TRUE(ReadBatchFrame(batch.Body, m, used));
    return std::stoi(m.Text);
  };
  // e-1's records (10..14, all before e-2's first) are dropped with it.
  EXPECT_EQ(closed[0]->Id, "e-2");
  EXPECT_EQ(first(*closed[0]), 15);
  EXPECT_EQ(closed[0]->Records, 8u);
  EXPECT_TRUE(closed[0]->Marked);
  EXPECT_FALSE(closed[0]->Acknowledged);
  // 23..26: acknowledged, kept until a server is known to have it.
  EXPECT_EQ(closed[1]->Id, "e-3");
  EXPECT_EQ(first(*closed[1]), 23);
  EXPECT_TRUE(closed[1]->Acknowledged);
  EXPECT_EQ(closed[1]->StreamSequence, 77u);
  EXPECT_EQ(closed[2]->Id, "l-1");
  // 27..39 were never published: a new batch of this run.
  EXPECT_EQ(closed[3]->Id, "run-1");
  EXPECT_EQ(first(*closed[3]), 27);
  EXPECT_EQ(closed[3]->Records, 13u);
  EXPECT_FALSE(closed[3]->Marked);
}

}  // namespace

// The stream's record forms (subject tokens, header values, spool records)
// and the spool: order, the bound, a stop's records in front, a cut tail.
#include "platform/uFiles.h"
#include "stream/uStreamRecord.h"
#include "stream/uStreamSpool.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace logserver;
using namespace testing_support;

namespace {

TStreamRecord Record(int n, std::size_t textSize = 10) {
  TStreamRecord r;
  r.Address = "10.0.0." + std::to_string(n % 7);
  r.Port = "5140";
  r.Application = "app";
  r.Module = "mod\n\xff";
  r.Text = std::to_string(n) + std::string(textSize, 'x');
  r.EventTime = 45356.5 + n;
  r.ServerTime = 46000.123456789 + n;
  r.MessageId = "abc-" + std::to_string(n);
  return r;
}

void ExpectTakes(TStreamSpool& spool, int from, int to) {
  TStreamRecord r;
  for (int n = from; n < to; ++n) {
    ASSERT_TRUE(spool.Take(r)) << n;
    EXPECT_EQ(r.MessageId, "abc-" + std::to_string(n));
  }
}

TEST(StreamRecordTest, NamesCannotChangeTheSubjectAndEveryFormReadsBack) {
  TStreamRecord r = Record(1);
  r.Address = "127.0.0.1";
  r.Module = "a.*.> b";
  EXPECT_EQ(RecordSubject("logs", r), "logs.127%2E0%2E0%2E1.app.a%2E%2A%2E%3E%20b");
  EXPECT_EQ(SubjectToken(""), "%");
  EXPECT_NE(SubjectToken("%"), SubjectToken(""));

  std::string back;
  const std::string raw = std::string("a b%\r\n\x01\xff", 8) + "z";
  EXPECT_EQ(EscapeHeaderValue(raw).find_first_of(" \r\n"), std::string::npos);
  ASSERT_TRUE(UnescapeHeaderValue(EscapeHeaderValue(raw), back));
  EXPECT_EQ(back, raw);
  ASSERT_TRUE(UnescapeHeaderValue(EscapeHeaderValue(""), back));
  EXPECT_EQ(back, "");
  EXPECT_NE(EscapeHeaderValue(""), "");
  EXPECT_FALSE(UnescapeHeaderValue("%4", back));
  EXPECT_FALSE(UnescapeHeaderValue("%G0", back));

  double days = 0;
  ASSERT_TRUE(ParseStreamTime(FormatStreamTime(r.ServerTime), days));
  EXPECT_EQ(days, r.ServerTime);
  EXPECT_FALSE(ParseStreamTime("1.5x", days));

  std::string spooled;
  AppendSpoolRecord(spooled, r);
  TStreamRecord read;
  std::size_t used = 0;
  EXPECT_EQ(ParseSpoolRecord(std::string_view(spooled).substr(0, spooled.size() - 1), read, used),
            TSpoolParse::Incomplete);
  ASSERT_EQ(ParseSpoolRecord(spooled, read, used), TSpoolParse::Record);
  EXPECT_EQ(used, spooled.size());
  EXPECT_EQ(read.Module, r.Module);
  EXPECT_EQ(read.Text, r.Text);
  EXPECT_EQ(read.ServerTime, r.ServerTime);
  spooled[0] = 'X';
  EXPECT_EQ(ParseSpoolRecord(spooled, read, used), TSpoolParse::Invalid);
}

TEST(StreamSpoolTest, KeepsOrderAcrossRunsWithTheStopsRecordsInFront) {
  TTempDir dir;
  const std::string path = dir.Path() + "spool";
  {
    TStreamSpool spool;
    ASSERT_TRUE(spool.Open(path, 1ull << 30));
    for (int n = 100; n < 300; ++n) spool.Append(Record(n));
    spool.Flush();
    ExpectTakes(spool, 100, 150);
    // The stop: what was in flight (0..99) goes in front of the rest.
    std::vector<TStreamRecord> inFlight;
    for (int n = 0; n < 100; ++n) inFlight.push_back(Record(n));
    spool.PutInFront(inFlight);
  }
  TStreamSpool spool;
  ASSERT_TRUE(spool.Open(path, 1ull << 30));
  ExpectTakes(spool, 0, 100);
  ExpectTakes(spool, 150, 300);
  TStreamRecord r;
  EXPECT_FALSE(spool.Take(r));
  EXPECT_TRUE(spool.Empty());
  EXPECT_EQ(spool.Bytes(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(path));
}

TEST(StreamSpoolTest, GivesUpTheOldestSegmentsBeyondItsBoundAndCutsADamagedTail) {
  TTempDir dir;
  const std::string path = dir.Path() + "spool";
  const std::size_t text = 1 << 20;  // 1 MiB records: a segment holds 64
  const std::uint64_t bound = 2 * TStreamSpool::kSegmentBytes;
  int appended = 0;
  {
    TStreamSpool spool;
    ASSERT_TRUE(spool.Open(path, bound));
    for (; appended < 300; ++appended) spool.Append(Record(appended, text));
    spool.Flush();
    EXPECT_LE(spool.Bytes(), bound + TStreamSpool::kSegmentBytes);
    EXPECT_GT(spool.Dropped(), 0u);
    std::uintmax_t onDisk = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path)) onDisk += entry.file_size();
    EXPECT_EQ(onDisk, spool.Bytes());
    // The newest records stay, in order.
    TStreamRecord r;
    ASSERT_TRUE(spool.Take(r));
    EXPECT_EQ(r.MessageId, "abc-" + std::to_string(spool.Dropped()));
  }
  // A crash cut the newest segment's last record short.
  std::filesystem::path newest;
  for (const auto& entry : std::filesystem::directory_iterator(path))
    if (newest.empty() || entry.path() > newest) newest = entry.path();
  std::filesystem::resize_file(newest, std::filesystem::file_size(newest) - 7);
  TStreamSpool spool;
  ASSERT_TRUE(spool.Open(path, bound));
  TStreamRecord r, last;
  while (spool.Take(r)) last = r;
  EXPECT_EQ(last.MessageId, "abc-" + std::to_string(appended - 2));
}

}  // namespace

// The stream's formats: names that cannot change a subject, header values
// that read back, batch bodies (plain and compressed) that decode to what
// was encoded, the earlier one-record-per-message format as an earlier
// collector wrote it, and hostile bodies refused whole, never half taken.
#include "stream/uStreamRecord.h"

#include <gtest/gtest.h>

#include <map>

using namespace logserver;

namespace {

TLogMessage Message(int n) {
  TLogMessage m;
  m.Address = "127.0.0.1";
  m.Port = "5140";
  m.Application = "app";
  m.Module = "a.*.> b";
  m.Prefix = n % 2 ? "" : "pre";
  m.Text = "line " + std::to_string(n) + std::string(n % 7, '\n');
  m.EventTime = n % 3 ? 45356.5 + n : 0.0;
  m.ServerTime = 46000.123456789 + n;
  return m;
}

// A stream message as a test builds it: headers and a body.
struct TMessage {
  std::map<std::string, std::string> Headers;
  std::string Body;
  THeaderLookup Lookup() const {
    return [this](const char* key, std::string_view& value) {
      const auto found = Headers.find(key);
      if (found == Headers.end()) return false;
      value = found->second;
      return true;
    };
  }
};

TMessage Batch(int records, bool compress) {
  TMessage message;
  for (int n = 0; n < records; ++n) AppendBatchFrame(message.Body, Message(n));
  message.Headers = {{kHeaderMessageId, "0123456789abcdef-1"},
                     {kHeaderFormat, kBatchFormat},
                     {kHeaderAddress, EscapeHeaderValue("127.0.0.1")},
                     {kHeaderApplication, EscapeHeaderValue("app")},
                     {kHeaderModule, EscapeHeaderValue("a.*.> b")},
                     {kHeaderRecords, std::to_string(records)}};
  if (compress) {
    TBatchCompressor compressor;
    std::string packed;
    EXPECT_TRUE(compressor.Compress(message.Body, packed));
    message.Body = packed;
    message.Headers[kHeaderEncoding] = kEncodingZstd;
  }
  return message;
}

TEST(StreamRecordTest, NamesCannotChangeTheSubjectAndHeaderValuesReadBack) {
  EXPECT_EQ(RouteSubject("logs", "127.0.0.1", "app", "a.*.> b"), "logs.127%2E0%2E0%2E1.app.a%2E%2A%2E%3E%20b");
  EXPECT_EQ(SubjectToken(""), "%");
  EXPECT_NE(SubjectToken("%"), SubjectToken(""));

  std::string back;
  const std::string raw = std::string("a b%\r\n\x01\xff", 8) + "z";
  EXPECT_EQ(EscapeHeaderValue(raw).find_first_of(" \r\n"), std::string::npos);
  ASSERT_TRUE(UnescapeHeaderValue(EscapeHeaderValue(raw), back));
  EXPECT_EQ(back, raw);
  ASSERT_TRUE(UnescapeHeaderValue(EscapeHeaderValue(""), back));
  EXPECT_EQ(back, "");
  EXPECT_FALSE(UnescapeHeaderValue("%4", back));
  EXPECT_FALSE(UnescapeHeaderValue("%G0", back));

  double days = 0;
  ASSERT_TRUE(ParseStreamTime(FormatStreamTime(46000.123456789), days));
  EXPECT_EQ(days, 46000.123456789);
  EXPECT_FALSE(ParseStreamTime("1.5x", days));
  EXPECT_FALSE(ParseStreamTime("nan", days));
  EXPECT_FALSE(ParseStreamTime("inf", days));
}

TEST(StreamRecordTest, ABatchDecodesToItsRecordsPlainAndCompressed) {
  for (const bool compress : {false, true}) {
    const TMessage message = Batch(300, compress);
    TStreamMessage decoded;
    ASSERT_EQ(DecodeStreamMessage(message.Lookup(), message.Body, decoded), TStreamDecode::Ok) << compress;
    EXPECT_EQ(decoded.Id, "0123456789abcdef-1");
    EXPECT_EQ(decoded.Address, "127.0.0.1");
    EXPECT_EQ(decoded.Module, "a.*.> b");
    ASSERT_EQ(decoded.Records.size(), 300u);
    for (int n = 0; n < 300; ++n) {
      const TLogMessage want = Message(n);
      const TStreamMessage::TRecord& got = decoded.Records[static_cast<std::size_t>(n)];
      EXPECT_EQ(got.Port, want.Port);
      EXPECT_EQ(got.Prefix, want.Prefix);
      EXPECT_EQ(got.Text, want.Text);
      EXPECT_EQ(got.EventTime, want.EventTime);
      EXPECT_EQ(got.ServerTime, want.ServerTime);
    }
  }
}

// Bytes as the collector of the one-message-per-record format published
// them: the text as the body, the rest in escaped headers.
TEST(StreamRecordTest, TheEarlierFormatDecodesAsItWasWritten) {
  TMessage message;
  message.Body = "disk almost full \x01";
  message.Headers = {{"Nats-Msg-Id", "5f3c9a0e1b2d4c6f-42"},
                     {"Logserver-Address", "10.0.0.7"},
                     {"Logserver-Port", "514"},
                     {"Logserver-Application", "SYSLOG"},
                     {"Logserver-Module", "syslog"},
                     {"Logserver-Prefix", "%"},
                     {"Logserver-Event-Time", "0"},
                     {"Logserver-Server-Time", "46000.333333333336"}};
  TStreamMessage records;
  ASSERT_EQ(DecodeStreamMessage(message.Lookup(), message.Body, records), TStreamDecode::Ok);
  ASSERT_EQ(records.Records.size(), 1u);
  EXPECT_EQ(records.Address, "10.0.0.7");
  EXPECT_EQ(records.Records[0].Port, "514");
  EXPECT_EQ(records.Records[0].Prefix, "");
  EXPECT_EQ(records.Records[0].Text, message.Body);
  EXPECT_EQ(records.Records[0].ServerTime, 46000.333333333336);
  EXPECT_EQ(records.Id, "5f3c9a0e1b2d4c6f-42");

  message.Headers["Logserver-Server-Time"] = "nan";
  EXPECT_EQ(DecodeStreamMessage(message.Lookup(), message.Body, records), TStreamDecode::BadHeader);
  message.Headers.erase("Nats-Msg-Id");
  EXPECT_EQ(DecodeStreamMessage(message.Lookup(), message.Body, records), TStreamDecode::NoId);
}

TEST(StreamRecordTest, HostileBatchesAreRefusedWhole) {
  TStreamMessage records;
  auto refused = [&](const TMessage& message) {
    const TStreamDecode result = DecodeStreamMessage(message.Lookup(), message.Body, records);
    return result != TStreamDecode::Ok && records.Records.empty();
  };
  TMessage message = Batch(3, false);
  for (std::size_t cut = 1; cut < message.Body.size(); cut += 7) {
    TMessage shorter = message;
    shorter.Body.resize(message.Body.size() - cut);
    EXPECT_TRUE(refused(shorter)) << cut;
  }
  TMessage more = message;
  more.Body += "x";
  EXPECT_TRUE(refused(more));
  TMessage counted = message;
  counted.Headers[kHeaderRecords] = "4000000000";
  EXPECT_TRUE(refused(counted));
  counted.Headers[kHeaderRecords] = "0";
  EXPECT_TRUE(refused(counted));
  TMessage huge = message;
  huge.Body[0] = huge.Body[1] = huge.Body[2] = huge.Body[3] = '\xff';
  EXPECT_TRUE(refused(huge));
  TMessage format = message;
  format.Headers[kHeaderFormat] = "3";
  EXPECT_TRUE(refused(format));
  TMessage noRoute = message;
  noRoute.Headers.erase(kHeaderModule);
  EXPECT_TRUE(refused(noRoute));
  // A compressed body that lies about its size, or is no zstd at all.
  TMessage packed = Batch(50, true);
  TMessage torn = packed;
  torn.Body.resize(torn.Body.size() / 2);
  EXPECT_TRUE(refused(torn));
  TMessage plain = message;
  plain.Headers[kHeaderEncoding] = kEncodingZstd;
  EXPECT_TRUE(refused(plain));
  TMessage other = packed;
  other.Headers[kHeaderEncoding] = "gzip";
  EXPECT_TRUE(refused(other));
}

TEST(StreamRecordTest, SpoolEntriesReadBackAndAreCheckedWhole) {
  std::string spool;
  const std::size_t run = BeginRun(spool, "10.0.0.1", "app", "mod");
  for (int n = 0; n < 5; ++n) AppendBatchFrame(spool, Message(n));
  EndRun(spool, run, 5);
  AppendCloseMark(spool, "abc-1", "10.0.0.1", "app", "mod", 5, 7, 8, 9, 10, 11, 12);
  TStreamRecord old;
  static_cast<TLogMessage&>(old) = Message(9);
  old.MessageId = "def-9";
  AppendLegacySpoolRecord(spool, old);

  TSpoolEntry entry;
  TStreamRecord legacy;
  std::size_t used = 0;
  std::string_view rest = spool;
  ASSERT_EQ(ParseSpoolEntry(rest, entry, legacy, used), TSpoolParse::Run);
  EXPECT_EQ(entry.Module, "mod");
  EXPECT_EQ(entry.Records, 5u);
  EXPECT_EQ(SpoolEntryRecords(TSpoolParse::Run, entry), 5u);
  EXPECT_EQ(ParseSpoolEntry(rest.substr(0, used - 1), entry, legacy, used), TSpoolParse::Incomplete);
  ASSERT_EQ(ParseSpoolEntry(rest, entry, legacy, used), TSpoolParse::Run);
  rest.remove_prefix(used);
  ASSERT_EQ(ParseSpoolEntry(rest, entry, legacy, used), TSpoolParse::Close);
  EXPECT_EQ(entry.Id, "abc-1");
  EXPECT_EQ(entry.Records, 5u);
  EXPECT_EQ(entry.FirstSegment, 7u);
  EXPECT_EQ(entry.FirstOffset, 8u);
  EXPECT_EQ(entry.FirstIndex, 9u);
  EXPECT_EQ(entry.LastIndex, 12u);
  rest.remove_prefix(used);
  ASSERT_EQ(ParseSpoolEntry(rest, entry, legacy, used), TSpoolParse::Legacy);
  EXPECT_EQ(legacy.MessageId, "def-9");
  EXPECT_EQ(legacy.Text, Message(9).Text);
  EXPECT_EQ(used, rest.size());

  // A run whose count does not match its frames is damaged.
  std::string wrong = spool;
  EndRun(wrong, run, 4);
  EXPECT_EQ(ParseSpoolEntry(wrong, entry, legacy, used), TSpoolParse::Invalid);
  wrong[0] = 'X';
  EXPECT_EQ(ParseSpoolEntry(wrong, entry, legacy, used), TSpoolParse::Invalid);
}

}  // namespace

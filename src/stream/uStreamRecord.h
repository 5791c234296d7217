// The stream's wire and spool formats, encoder and decoder side by side:
// what the collector knew of a message when it wrote (or would have
// written) its line, so that a reader of the stream writes the very same
// line into the very same file.
//
// On the stream, format 2 (the collector's): one message carries a batch of
// records of one route. Its subject is <prefix>.<address>.<application>.<module>
// with every token escaped (SubjectToken); the headers name the format,
// the batch's id, the route (escaped, EscapeHeaderValue) and the number of
// records; the body is the records' frames, one after another:
//
// (The body may be compressed: see kHeaderEncoding.)
//
//   u32 LE  the bytes of the frame after this field
//   u32 LE  port length, then the port (decimal text)
//   u32 LE  prefix length, then the prefix
//   f64 LE  event time (days since 1899-12-30; 0 for syslog)
//   f64 LE  server time (days)
//           the text: the rest of the frame
//
// Format 1 (earlier collectors): one message per record, the text as its
// body, everything else in headers (kHeader*). Readers take both.
//
// In the spool, records travel as runs: consecutive records of one route
// (its names once, then their frames), as the collector took them in; and
// after the records of each batch published, a mark that closes it (its
// id, route and number of records), so that a later run resends exactly
// that batch under that id. Spools of earlier collectors hold format-1
// records ("LSR1"), one per message.
//
// Plain functions and values; no state, any thread. Every decoder takes
// hostile bytes: lengths are bounded before anything is read or allocated,
// and a body that does not add up is refused, never half taken.
#pragma once

#include "base/uLogMessage.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace logserver {

// A message and the id of the stream message that carried it: a stream
// drops a message whose id it has seen within its duplicate window, the
// archive one it has written.
struct TStreamRecord : TLogMessage {
  std::string MessageId;
};

inline constexpr const char* kHeaderMessageId = "Nats-Msg-Id";
inline constexpr const char* kHeaderFormat = "Logserver-Format";
inline constexpr const char* kHeaderAddress = "Logserver-Address";
inline constexpr const char* kHeaderApplication = "Logserver-Application";
inline constexpr const char* kHeaderModule = "Logserver-Module";
inline constexpr const char* kHeaderRecords = "Logserver-Records";
// Present with "zstd": the body is the frames as one zstd frame.
inline constexpr const char* kHeaderEncoding = "Logserver-Encoding";
inline constexpr const char* kEncodingZstd = "zstd";
// Format 1 only.
inline constexpr const char* kHeaderPort = "Logserver-Port";
inline constexpr const char* kHeaderPrefix = "Logserver-Prefix";
inline constexpr const char* kHeaderEventTime = "Logserver-Event-Time";
inline constexpr const char* kHeaderServerTime = "Logserver-Server-Time";

inline constexpr const char* kBatchFormat = "2";
// A batch closes at these (a single larger record travels alone).
inline constexpr std::size_t kBatchMaxBytes = 64 * 1024;
inline constexpr std::uint32_t kBatchMaxRecords = 1024;
// No frame, chunk or message body is larger: anything claiming more is
// damaged or hostile.
inline constexpr std::size_t kMaxFrameBytes = 16u << 20;

// A name as one subject token: letters, digits, '-' and '_' stay, every
// other byte becomes %XX (upper-case hex), and an empty name is "%". So no
// name can add a token ('.') or a wildcard ('*', '>'), blanks and control
// bytes never reach the wire, and distinct names give distinct tokens.
std::string SubjectToken(std::string_view name);
std::string RouteSubject(std::string_view prefix, std::string_view address, std::string_view application,
                         std::string_view module);

// Header values are one line of printable ASCII: bytes outside 0x21..0x7E
// and '%' become %XX, and an empty value is "%" (libnats does not carry
// an empty one). Unescape refuses a malformed escape.
std::string EscapeHeaderValue(std::string_view value);
bool UnescapeHeaderValue(std::string_view value, std::string& out);

// Times (days, as the service keeps them) in a form that reads back to the
// same double.
std::string FormatStreamTime(double days);
bool ParseStreamTime(const std::string& text, double& days);

// Format 2 frames.
std::size_t BatchFrameSize(const TLogMessage& message);
void AppendBatchFrame(std::string& body, const TLogMessage& message);
// Reads the frame at the start of `body` into `message` (all but the
// route); `used` is its size. False for a frame that does not add up.
bool ReadBatchFrame(std::string_view body, TLogMessage& message, std::size_t& used);

// Compresses batch bodies (zstd, level 1), keeping its context between
// calls. One thread.
class TBatchCompressor {
 public:
  TBatchCompressor();
  ~TBatchCompressor();
  TBatchCompressor(const TBatchCompressor&) = delete;
  TBatchCompressor& operator=(const TBatchCompressor&) = delete;
  // `out` is replaced; false (out empty) when the library refuses.
  bool Compress(std::string_view frames, std::string& out);

 private:
  struct TContext;
  std::unique_ptr<TContext> Context;
};

// A stream message as a reader sees it: `header` gives a header's value
// (false when the message has none).
using THeaderLookup = std::function<bool(const char* key, std::string_view& value)>;
enum class TStreamDecode { Ok, NoId, BadHeader, BadBody };
// The records of one stream message: its id and route once, each record's
// fields as views of the message's body (or of what this holds: a
// compressed body's frames, a format-1 port and prefix), so a message
// costs no allocation per record. Reused, its room is kept.
struct TStreamMessage {
  struct TRecord {
    std::string_view Port, Prefix, Text;
    double EventTime = 0.0;
    double ServerTime = 0.0;
  };
  std::string Id;
  std::string Address, Application, Module;
  std::vector<TRecord> Records;
  std::string Frames, Port, Prefix;
};
// The records of one stream message of either format; `out` is replaced,
// and on failure holds no record. The views are valid while `body` and
// `out` are.
TStreamDecode DecodeStreamMessage(const THeaderLookup& header, std::string_view body, TStreamMessage& out);
const char* StreamDecodeText(TStreamDecode result);

// Spool entries: a magic, the length of the rest (u32 LE), then fields
// (each u32 LE length and bytes, or a u32 LE number).
//   run   "LSC2": address, application, module, records, frames
//   close "LSK2": batch id, address, application, module, records, and
//          where its first and its last record are: each the run's segment
//          and offset (u64 LE each) and its index in the run (u32 LE)
//   legacy "LSR1": id, address, port, application, module, prefix, text,
//          event time, server time (f64 LE)
struct TSpoolEntry {
  std::string_view Id, Address, Application, Module;
  std::uint32_t Records = 0;
  std::string_view Frames;  // a run's
  // A close mark's: where the batch's first and last records are.
  std::uint64_t FirstSegment = 0, FirstOffset = 0;
  std::uint32_t FirstIndex = 0;
  std::uint64_t LastSegment = 0, LastOffset = 0;
  std::uint32_t LastIndex = 0;
};
// Starts a run at the end of `out`; AddToRun adds a frame, EndRun fixes its
// length and count. `start` is where the run began.
std::size_t BeginRun(std::string& out, std::string_view address, std::string_view application,
                     std::string_view module);
void EndRun(std::string& out, std::size_t start, std::uint32_t records);
void AppendCloseMark(std::string& out, std::string_view id, std::string_view address,
                     std::string_view application, std::string_view module, std::uint32_t records,
                     std::uint64_t firstSegment, std::uint64_t firstOffset, std::uint32_t firstIndex,
                     std::uint64_t lastSegment, std::uint64_t lastOffset, std::uint32_t lastIndex);

enum class TSpoolParse { Run, Close, Legacy, Incomplete, Invalid };
inline constexpr std::size_t kSpoolEntryHeader = 8;
// What the entry at the start of `data` is and, once whole, its size
// (`used`); `entry` views `data` for a run or a close mark, `legacy` is
// filled for an earlier collector's record. Incomplete: more bytes are
// needed (`used` says how many in all, when known). A run's frames are
// checked to hold its records whole.
TSpoolParse ParseSpoolEntry(std::string_view data, TSpoolEntry& entry, TStreamRecord& legacy, std::size_t& used);
// How many records a whole entry holds (1 for a legacy record, 0 for a mark).
std::uint32_t SpoolEntryRecords(TSpoolParse kind, const TSpoolEntry& entry);

// An earlier collector's spool record, for tests of the upgrade: "LSR1",
// its length, then the id and the fields.
void AppendLegacySpoolRecord(std::string& out, const TStreamRecord& record);

}  // namespace logserver

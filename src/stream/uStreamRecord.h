// One message as it travels through the stream: what the service knew of it
// when it wrote (or would have written) its line, so that a reader of the
// stream can write the very same line into the very same file.
//
// On the stream a record is one message: its body the text, its headers the
// rest (kHeader*), its subject <prefix>.<address>.<application>.<module>
// with every token escaped (SubjectToken). In the spool it is a length-
// prefixed binary record (AppendSpoolRecord / ParseSpoolRecord).
//
// Plain functions and values; no state, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace logserver {

struct TStreamRecord {
  std::string Address;
  std::string Port;
  std::string Application;
  std::string Module;
  std::string Prefix;
  std::string Text;
  double EventTime = 0.0;   // the client's, 0 for syslog
  double ServerTime = 0.0;  // the collector's when it took the message in
  // "<instance>-<sequence>": the stream drops a message whose id it has
  // seen within its duplicate window, the archive one it has written.
  std::string MessageId;

  // What the record holds, for the bounds of the window and the spool.
  std::size_t Bytes() const {
    return Address.size() + Port.size() + Application.size() + Module.size() + Prefix.size() +
           Text.size() + MessageId.size() + 64;
  }
};

inline constexpr const char* kHeaderAddress = "Logserver-Address";
inline constexpr const char* kHeaderPort = "Logserver-Port";
inline constexpr const char* kHeaderApplication = "Logserver-Application";
inline constexpr const char* kHeaderModule = "Logserver-Module";
inline constexpr const char* kHeaderPrefix = "Logserver-Prefix";
inline constexpr const char* kHeaderEventTime = "Logserver-Event-Time";
inline constexpr const char* kHeaderServerTime = "Logserver-Server-Time";
inline constexpr const char* kHeaderMessageId = "Nats-Msg-Id";

// A name as one subject token: letters, digits, '-' and '_' stay, every
// other byte becomes %XX (upper-case hex), and an empty name is "%". So no
// name can add a token ('.') or a wildcard ('*', '>'), blanks and control
// bytes never reach the wire, and distinct names give distinct tokens.
std::string SubjectToken(std::string_view name);
std::string RecordSubject(std::string_view prefix, const TStreamRecord& record);

// Header values are one line of printable ASCII: bytes outside 0x21..0x7E
// and '%' become %XX, and an empty value is "%" (libnats does not carry
// an empty one). Unescape refuses a malformed escape.
std::string EscapeHeaderValue(std::string_view value);
bool UnescapeHeaderValue(std::string_view value, std::string& out);

// Times (days, as the service keeps them) in a form that reads back to the
// same double.
std::string FormatStreamTime(double days);
bool ParseStreamTime(const std::string& text, double& days);

// The spool: one record after another, each "LSR1", its length (4 bytes,
// little-endian, the rest of the record), then the fields.
void AppendSpoolRecord(std::string& out, const TStreamRecord& record);
enum class TSpoolParse { Record, Incomplete, Invalid };
// Reads the record at the start of `data`; on Record, `used` is its size.
TSpoolParse ParseSpoolRecord(std::string_view data, TStreamRecord& record, std::size_t& used);
inline constexpr std::size_t kSpoolRecordHeader = 8;
// No record is larger: a length beyond it is a damaged spool.
inline constexpr std::size_t kMaxSpoolRecord = 16u << 20;

}  // namespace logserver

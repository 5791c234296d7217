#include "stream/uStreamRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace logserver {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t GetU32(const char* p) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(p[i]);
  return value;
}

void PutField(std::string& out, std::string_view field) {
  PutU32(out, static_cast<std::uint32_t>(field.size()));
  out.append(field);
}

void PutDouble(std::string& out, double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(out, static_cast<std::uint32_t>(bits));
  PutU32(out, static_cast<std::uint32_t>(bits >> 32));
}

// Reads fields from one record's body; any overrun makes it invalid.
class TFieldReader {
 public:
  explicit TFieldReader(std::string_view body) : Body(body) {}
  bool Field(std::string& out) {
    if (Body.size() < 4) return false;
    const std::uint32_t size = GetU32(Body.data());
    Body.remove_prefix(4);
    if (Body.size() < size) return false;
    out.assign(Body.data(), size);
    Body.remove_prefix(size);
    return true;
  }
  bool Double(double& out) {
    if (Body.size() < 8) return false;
    const std::uint64_t bits = GetU32(Body.data()) | (std::uint64_t{GetU32(Body.data() + 4)} << 32);
    std::memcpy(&out, &bits, sizeof out);
    Body.remove_prefix(8);
    return true;
  }
  bool Done() const { return Body.empty(); }

 private:
  std::string_view Body;
};

}  // namespace

std::string SubjectToken(std::string_view name) {
  if (name.empty()) return "%";
  std::string out;
  out.reserve(name.size());
  for (const char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_')
      out += ch;
    else
      AppendEscaped(out, c);
  }
  return out;
}

std::string RecordSubject(std::string_view prefix, const TStreamRecord& record) {
  std::string subject(prefix);
  subject += '.';
  subject += SubjectToken(record.Address);
  subject += '.';
  subject += SubjectToken(record.Application);
  subject += '.';
  subject += SubjectToken(record.Module);
  return subject;
}

std::string EscapeHeaderValue(std::string_view value) {
  // An empty header value does not travel whole (libnats reads the next
  // line as its value): empty is "%", which no escape makes.
  if (value.empty()) return "%";
  std::string out;
  out.reserve(value.size());
  for (const char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '%')
      out += ch;
    else
      AppendEscaped(out, c);
  }
  return out;
}

bool UnescapeHeaderValue(std::string_view value, std::string& out) {
  out.clear();
  if (value == "%") return true;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    if (i + 2 >= value.size()) return false;
    const int high = HexValue(value[i + 1]), low = HexValue(value[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::string FormatStreamTime(double days) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", days);
  return text;
}

bool ParseStreamTime(const std::string& text, double& days) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  days = std::strtod(text.c_str(), &end);
  return errno == 0 && end == text.c_str() + text.size();
}

void AppendSpoolRecord(std::string& out, const TStreamRecord& record) {
  const std::size_t start = out.size();
  out.append("LSR1");
  PutU32(out, 0);  // the length, known at the end
  PutField(out, record.MessageId);
  PutField(out, record.Address);
  PutField(out, record.Port);
  PutField(out, record.Application);
  PutField(out, record.Module);
  PutField(out, record.Prefix);
  PutField(out, record.Text);
  PutDouble(out, record.EventTime);
  PutDouble(out, record.ServerTime);
  const std::uint32_t length = static_cast<std::uint32_t>(out.size() - start - kSpoolRecordHeader);
  for (int i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

TSpoolParse ParseSpoolRecord(std::string_view data, TStreamRecord& record, std::size_t& used) {
  if (data.size() < kSpoolRecordHeader) return TSpoolParse::Incomplete;
  if (data.substr(0, 4) != "LSR1") return TSpoolParse::Invalid;
  const std::uint32_t length = GetU32(data.data() + 4);
  if (length > kMaxSpoolRecord) return TSpoolParse::Invalid;
  if (data.size() < kSpoolRecordHeader + length) return TSpoolParse::Incomplete;
  TFieldReader fields(data.substr(kSpoolRecordHeader, length));
  const bool whole = fields.Field(record.MessageId) && fields.Field(record.Address) &&
                     fields.Field(record.Port) && fields.Field(record.Application) &&
                     fields.Field(record.Module) && fields.Field(record.Prefix) &&
                     fields.Field(record.Text) && fields.Double(record.EventTime) &&
                     fields.Double(record.ServerTime) && fields.Done();
  if (!whole) return TSpoolParse::Invalid;
  used = kSpoolRecordHeader + length;
  return TSpoolParse::Record;
}

}  // namespace logserver

#include "stream/uStreamRecord.h"

#include "platform/uByteOrder.h"
#include "stream/uStreamWire.h"

#include <zstd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace logserver {

using namespace stream_wire;

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

bool ParseCount(std::string_view text, std::uint32_t& count) {
  if (text.empty() || text.size() > 9) return false;
  count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return true;
}

TStreamDecode DecodeFormat1(const THeaderLookup& header, std::string_view body, TStreamMessage& out) {
  // A name may be empty, and an empty header does not travel whole: missing
  // is empty. The times must be there.
  auto text = [&](const char* key, std::string& value) {
    std::string_view raw;
    if (!header(key, raw)) {
      value.clear();
      return true;
    }
    return UnescapeHeaderValue(raw, value);
  };
  std::string eventTime, serverTime;
  TStreamMessage::TRecord record;
  if (!text(kHeaderAddress, out.Address) || !text(kHeaderPort, out.Port) ||
      !text(kHeaderApplication, out.Application) || !text(kHeaderModule, out.Module) ||
      !text(kHeaderPrefix, out.Prefix) || !text(kHeaderEventTime, eventTime) ||
      !text(kHeaderServerTime, serverTime) || !ParseStreamTime(eventTime, record.EventTime) ||
      !ParseStreamTime(serverTime, record.ServerTime))
    return TStreamDecode::BadHeader;
  if (body.size() > kMaxFrameBytes) return TStreamDecode::BadBody;
  record.Port = out.Port;
  record.Prefix = out.Prefix;
  record.Text = body;
  out.Records.push_back(record);
  return TStreamDecode::Ok;
}

// The frames of a compressed body: refused when it does not say its size,
// says more than any body may hold, or holds anything but that.
bool Decompress(std::string_view body, std::string& frames) {
  const unsigned long long size = ZSTD_getFrameContentSize(body.data(), body.size());
  if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR || size > kMaxFrameBytes) return false;
  frames.resize(static_cast<std::size_t>(size));
  const std::size_t made = ZSTD_decompress(frames.data(), frames.size(), body.data(), body.size());
  return !ZSTD_isError(made) && made == size;
}

// The frame at the start of `body`, without its text copied.
bool ViewBatchFrame(std::string_view body, TStreamMessage::TRecord& record, std::size_t& used) {
  if (body.size() < 4) return false;
  const std::uint32_t length = GetU32LE(body.data());
  if (length > kMaxFrameBytes || body.size() - 4 < length) return false;
  TFieldReader fields(body.substr(4, length));
  if (!fields.Field(record.Port) || !fields.Field(record.Prefix) || !fields.Double(record.EventTime) ||
      !fields.Double(record.ServerTime) || !std::isfinite(record.EventTime) || !std::isfinite(record.ServerTime))
    return false;
  record.Text = fields.Rest();
  used = 4 + std::size_t{length};
  return true;
}

}  // namespace

struct TBatchCompressor::TContext {
  ZSTD_CCtx* Context = ZSTD_createCCtx();
  // Sized once to the largest body seen, so that no call zeroes its room.
  std::string Scratch;
  ~TContext() { ZSTD_freeCCtx(Context); }
};

TBatchCompressor::TBatchCompressor() : Context(std::make_unique<TContext>()) {}
TBatchCompressor::~TBatchCompressor() = default;

bool TBatchCompressor::Compress(std::string_view frames, std::string& out) {
  out.clear();
  if (Context->Context == nullptr) return false;
  std::string& scratch = Context->Scratch;
  const std::size_t bound = ZSTD_compressBound(frames.size());
  if (scratch.size() < bound) scratch.resize(bound);
  const std::size_t made =
      ZSTD_compressCCtx(Context->Context, scratch.data(), bound, frames.data(), frames.size(), 1);
  if (ZSTD_isError(made)) return false;
  out.assign(scratch, 0, made);
  return true;
}

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

std::string RouteSubject(std::string_view prefix, std::string_view address, std::string_view application,
                         std::string_view module) {
  std::string subject(prefix);
  subject += '.';
  subject += SubjectToken(address);
  subject += '.';
  subject += SubjectToken(application);
  subject += '.';
  subject += SubjectToken(module);
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
  return errno == 0 && end == text.c_str() + text.size() && std::isfinite(days);
}

std::size_t BatchFrameSize(const TLogMessage& message) {
  return 4 + 4 + message.Port.size() + 4 + message.Prefix.size() + 16 + message.Text.size();
}

void AppendBatchFrame(std::string& body, const TLogMessage& message) {
  PutU32(body, static_cast<std::uint32_t>(BatchFrameSize(message) - 4));
  PutField(body, message.Port);
  PutField(body, message.Prefix);
  PutDouble(body, message.EventTime);
  PutDouble(body, message.ServerTime);
  body.append(message.Text);
}

bool ReadBatchFrame(std::string_view body, TLogMessage& message, std::size_t& used) {
  TStreamMessage::TRecord record;
  if (!ViewBatchFrame(body, record, used)) return false;
  message.Port.assign(record.Port);
  message.Prefix.assign(record.Prefix);
  message.Text.assign(record.Text);
  message.EventTime = record.EventTime;
  message.ServerTime = record.ServerTime;
  return true;
}

TStreamDecode DecodeStreamMessage(const THeaderLookup& header, std::string_view body, TStreamMessage& out) {
  out.Records.clear();
  std::string_view id;
  if (!header(kHeaderMessageId, id) || id.empty()) return TStreamDecode::NoId;
  out.Id.assign(id);
  std::string_view format;
  if (!header(kHeaderFormat, format)) {
    const TStreamDecode result = DecodeFormat1(header, body, out);
    if (result != TStreamDecode::Ok) out.Records.clear();
    return result;
  }
  std::string_view value;
  std::uint32_t count = 0;
  const bool headersOk = format == kBatchFormat && header(kHeaderAddress, value) &&
                         UnescapeHeaderValue(value, out.Address) && header(kHeaderApplication, value) &&
                         UnescapeHeaderValue(value, out.Application) && header(kHeaderModule, value) &&
                         UnescapeHeaderValue(value, out.Module) && header(kHeaderRecords, value) &&
                         ParseCount(value, count) && count > 0;
  if (!headersOk) return TStreamDecode::BadHeader;
  if (header(kHeaderEncoding, value)) {
    if (value != kEncodingZstd || !Decompress(body, out.Frames)) return TStreamDecode::BadBody;
    body = out.Frames;
  }
  // Every frame is at least its fixed part: a count the body cannot hold
  // is refused before anything is reserved for it.
  if (body.size() > kMaxFrameBytes || count > body.size() / 28) return TStreamDecode::BadBody;
  out.Records.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    TStreamMessage::TRecord record;
    std::size_t used = 0;
    if (!ViewBatchFrame(body, record, used)) {
      out.Records.clear();
      return TStreamDecode::BadBody;
    }
    body.remove_prefix(used);
    out.Records.push_back(record);
  }
  if (!body.empty()) {
    out.Records.clear();
    return TStreamDecode::BadBody;
  }
  return TStreamDecode::Ok;
}

const char* StreamDecodeText(TStreamDecode result) {
  switch (result) {
    case TStreamDecode::Ok:
      return "ok";
    case TStreamDecode::NoId:
      return "no Nats-Msg-Id";
    case TStreamDecode::BadHeader:
      return "headers missing or malformed";
    case TStreamDecode::BadBody:
      return "body does not add up";
  }
  return "?";
}

}  // namespace logserver

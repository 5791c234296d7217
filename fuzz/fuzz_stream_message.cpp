// The stream's decoders fed hostile bytes: a stream message's body (plain or
// claimed compressed) under a record count the input chooses, and spool
// entries. Whatever decodes must encode back to the very frames it came
// from; nothing may crash, read past its input, or allocate without bound.
#include "stream/uStreamRecord.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace logserver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t mode = data[0];
  const std::uint32_t count = data[1] | (std::uint32_t{data[2]} << 8);
  const std::string_view body(reinterpret_cast<const char*>(data + 3), size - 3);
  if (mode % 3 == 2) {
    TSpoolEntry entry;
    TStreamRecord legacy;
    std::size_t used = 0;
    const TSpoolParse kind = ParseSpoolEntry(body, entry, legacy, used);
    if ((kind == TSpoolParse::Run || kind == TSpoolParse::Close || kind == TSpoolParse::Legacy) && used > body.size())
      std::abort();
    return 0;
  }
  const bool compressed = mode % 3 == 1;
  const std::string records = std::to_string(count);
  const THeaderLookup header = [&](const char* key, std::string_view& value) {
    const std::string_view name(key);
    if (name == kHeaderMessageId) value = "fuzz-1";
    else if (name == kHeaderFormat) value = kBatchFormat;
    else if (name == kHeaderAddress) value = "10.0.0.1";
    else if (name == kHeaderApplication) value = "app";
    else if (name == kHeaderModule) value = "mod";
    else if (name == kHeaderRecords) value = records;
    else if (name == kHeaderEncoding && compressed) value = kEncodingZstd;
    else return false;
    return true;
  };
  TStreamMessage message;
  if (DecodeStreamMessage(header, body, message) != TStreamDecode::Ok) {
    if (!message.Records.empty()) std::abort();
    return 0;
  }
  if (message.Records.size() != count) std::abort();
  std::string again;
  for (const TStreamMessage::TRecord& record : message.Records) {
    TLogMessage m;
    m.Port.assign(record.Port);
    m.Prefix.assign(record.Prefix);
    m.Text.assign(record.Text);
    m.EventTime = record.EventTime;
    m.ServerTime = record.ServerTime;
    AppendBatchFrame(again, m);
  }
  if (again != (compressed ? std::string_view(message.Frames) : body)) std::abort();
  return 0;
}

#include "stream/uStreamRecord.h"

#include "stream/uStreamWire.h"

// The spool's entries: runs of one route's records, the close marks of
// batches, and records of the earlier one-record layout.

namespace logserver {

using namespace stream_wire;

std::size_t BeginRun(std::string& out, std::string_view address, std::string_view application,
                     std::string_view module) {
  const std::size_t start = out.size();
  out.append("LSC2");
  PutU32(out, 0);  // the length, known at the end
  PutField(out, address);
  PutField(out, application);
  PutField(out, module);
  PutU32(out, 0);  // the records, known at the end
  return start;
}

void EndRun(std::string& out, std::size_t start, std::uint32_t records) {
  PutU32LE(out.data() + start + 4, static_cast<std::uint32_t>(out.size() - start - kSpoolEntryHeader));
  std::size_t at = start + kSpoolEntryHeader;
  for (int field = 0; field < 3; ++field) at += 4 + GetU32LE(out.data() + at);
  PutU32LE(out.data() + at, records);
}

void AppendCloseMark(std::string& out, std::string_view id, std::string_view address,
                     std::string_view application, std::string_view module, std::uint32_t records,
                     std::uint64_t firstSegment, std::uint64_t firstOffset, std::uint32_t firstIndex,
                     std::uint64_t lastSegment, std::uint64_t lastOffset, std::uint32_t lastIndex) {
  const std::size_t start = out.size();
  out.append("LSK2");
  PutU32(out, 0);
  PutField(out, id);
  PutField(out, address);
  PutField(out, application);
  PutField(out, module);
  PutU32(out, records);
  PutU64(out, firstSegment);
  PutU64(out, firstOffset);
  PutU32(out, firstIndex);
  PutU64(out, lastSegment);
  PutU64(out, lastOffset);
  PutU32(out, lastIndex);
  PutU32LE(out.data() + start + 4, static_cast<std::uint32_t>(out.size() - start - kSpoolEntryHeader));
}

TSpoolParse ParseSpoolEntry(std::string_view data, TSpoolEntry& entry, TStreamRecord& legacy, std::size_t& used) {
  used = 0;
  if (data.size() < kSpoolEntryHeader) return TSpoolParse::Incomplete;
  const std::string_view magic = data.substr(0, 4);
  const bool isRun = magic == "LSC2", isClose = magic == "LSK2";
  if (!isRun && !isClose && magic != "LSR1") return TSpoolParse::Invalid;
  const std::uint32_t length = GetU32LE(data.data() + 4);
  if (length > kMaxFrameBytes) return TSpoolParse::Invalid;
  used = kSpoolEntryHeader + length;
  if (data.size() < used) return TSpoolParse::Incomplete;
  TFieldReader fields(data.substr(kSpoolEntryHeader, length));
  if (isRun) {
    entry.Id = {};
    if (!fields.Field(entry.Address) || !fields.Field(entry.Application) || !fields.Field(entry.Module) ||
        !fields.U32(entry.Records))
      return TSpoolParse::Invalid;
    entry.Frames = fields.Rest();
    // Every frame whole, and nothing after the last.
    std::string_view frames = entry.Frames;
    for (std::uint32_t i = 0; i < entry.Records; ++i) {
      if (frames.size() < 4) return TSpoolParse::Invalid;
      const std::uint64_t size = 4 + std::uint64_t{GetU32LE(frames.data())};
      if (size > frames.size()) return TSpoolParse::Invalid;
      frames.remove_prefix(static_cast<std::size_t>(size));
    }
    return frames.empty() ? TSpoolParse::Run : TSpoolParse::Invalid;
  }
  if (isClose) {
    entry.Frames = {};
    const bool whole = fields.Field(entry.Id) && fields.Field(entry.Address) && fields.Field(entry.Application) &&
                       fields.Field(entry.Module) && fields.U32(entry.Records) && fields.U64(entry.FirstSegment) &&
                       fields.U64(entry.FirstOffset) && fields.U32(entry.FirstIndex) &&
                       fields.U64(entry.LastSegment) && fields.U64(entry.LastOffset) && fields.U32(entry.LastIndex) &&
                       fields.Done() &&
                       !entry.Id.empty();
    return whole ? TSpoolParse::Close : TSpoolParse::Invalid;
  }
  const bool whole = fields.Field(legacy.MessageId) && fields.Field(legacy.Address) &&
                     fields.Field(legacy.Port) && fields.Field(legacy.Application) &&
                     fields.Field(legacy.Module) && fields.Field(legacy.Prefix) && fields.Field(legacy.Text) &&
                     fields.Double(legacy.EventTime) && fields.Double(legacy.ServerTime) && fields.Done() &&
                     !legacy.MessageId.empty();
  return whole ? TSpoolParse::Legacy : TSpoolParse::Invalid;
}

std::uint32_t SpoolEntryRecords(TSpoolParse kind, const TSpoolEntry& entry) {
  return kind == TSpoolParse::Run ? entry.Records : kind == TSpoolParse::Legacy ? 1 : 0;
}

void AppendLegacySpoolRecord(std::string& out, const TStreamRecord& record) {
  const std::size_t start = out.size();
  out.append("LSR1");
  PutU32(out, 0);
  PutField(out, record.MessageId);
  PutField(out, record.Address);
  PutField(out, record.Port);
  PutField(out, record.Application);
  PutField(out, record.Module);
  PutField(out, record.Prefix);
  PutField(out, record.Text);
  PutDouble(out, record.EventTime);
  PutDouble(out, record.ServerTime);
  PutU32LE(out.data() + start + 4, static_cast<std::uint32_t>(out.size() - start - kSpoolEntryHeader));
}

}  // namespace logserver

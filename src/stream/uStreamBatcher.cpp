#include "stream/uStreamBatcher.h"

#include "platform/uByteOrder.h"

namespace logserver {

namespace {

// The size of the frame at the start of `frames` (whole: the spool checked).
std::size_t FrameSize(std::string_view frames) { return 4 + std::size_t{GetU32LE(frames.data())}; }

constexpr std::size_t kSpareBodies = 64;
constexpr std::size_t kFirstBodyBytes = 2048;
constexpr std::size_t kSpareBatches = 1024;

}  // namespace

std::size_t TStreamBatcher::TKeyHash::operator()(const TKey& key) const {
  const std::hash<std::string_view> hash;
  std::size_t h = hash(key.Address);
  h = h * 1000003u ^ hash(key.Application);
  return h * 1000003u ^ hash(key.Module);
}

TStreamBatcher::TStreamBatcher(std::string instance) : Instance(std::move(instance)) {}

void TStreamBatcher::NewId(TStreamBatch& batch) { batch.Id = Instance + "-" + std::to_string(++Sequence); }

TStreamBatcher::TOpen& TStreamBatcher::Open(const TSpoolEntry& run, TSpoolPosition at, std::uint32_t index,
                                           std::uint64_t nowUs) {
  const TKey key{run.Address, run.Application, run.Module};
  const auto found = Routes.find(key);
  if (found != Routes.end()) return *found->second;
  auto open = std::make_unique<TOpen>();
  open->Batch = NewBatch();
  TStreamBatch& batch = *open->Batch;
  if (!Spare.empty() && batch.Body.capacity() < kBatchMaxBytes / 2) {
    batch.Body.swap(Spare.back());
    Spare.pop_back();
  } else if (batch.Body.capacity() < kFirstBodyBytes) {
    batch.Body.reserve(kFirstBodyBytes);  // not grown a record at a time
  }
  batch.Address.assign(run.Address);
  batch.Application.assign(run.Application);
  batch.Module.assign(run.Module);
  batch.First = at;
  batch.FirstIndex = index;
  batch.OpenedAt = nowUs;
  NewId(batch);
  TOpen& result = *open;
  // The key views the batch's own names, which stay where they are while
  // it is open.
  Routes.emplace(TKey{batch.Address, batch.Application, batch.Module}, std::move(open));
  result.OpenAt = OpenOrder.insert(OpenOrder.end(), &result);
  return result;
}

void TStreamBatcher::Close(TOpen& open) {
  OpenOrder.erase(open.OpenAt);
  OpenBytes_ -= open.Batch->Body.size();
  std::unique_ptr<TStreamBatch> batch = std::move(open.Batch);
  Routes.erase(TKey{batch->Address, batch->Application, batch->Module});
  Closed.push_back(std::move(batch));
}

void TStreamBatcher::Add(const TSpoolEntry& run, TSpoolPosition at, std::uint64_t nowUs) {
  std::string_view frames = run.Frames;
  std::uint32_t index = 0;
  while (!frames.empty()) {
    TOpen& open = Open(run, at, index, nowUs);
    TStreamBatch& batch = *open.Batch;
    // As many whole frames as fit; a single larger one travels alone.
    std::size_t span = 0;
    std::uint32_t records = 0;
    while (span < frames.size()) {
      const std::size_t size = FrameSize(frames.substr(span));
      const bool fits = batch.Records + records + 1 <= kBatchMaxRecords &&
                        batch.Body.size() + span + size <= kBatchMaxBytes;
      if (!fits && (batch.Records + records > 0)) break;
      span += size;
      ++records;
      if (!fits) break;
    }
    batch.Body.append(frames.data(), span);
    batch.Records += records;
    batch.Last = at;
    batch.LastIndex = index + records - 1;
    OpenBytes_ += span;
    frames.remove_prefix(span);
    index += records;
    if (!frames.empty() || batch.Records >= kBatchMaxRecords || batch.Body.size() >= kBatchMaxBytes) Close(open);
  }
}

void TStreamBatcher::AddEarlier(const TSpoolEntry& run, TSpoolPosition at) {
  const TKey key{run.Address, run.Application, run.Module};
  auto found = Earlier.find(key);
  if (found == Earlier.end()) {
    auto earlier = std::make_unique<TEarlier>();
    earlier->Address.assign(run.Address);
    earlier->Application.assign(run.Application);
    earlier->Module.assign(run.Module);
    const TKey own{earlier->Address, earlier->Application, earlier->Module};
    found = Earlier.emplace(own, std::move(earlier)).first;
  }
  TEarlier& earlier = *found->second;
  std::string_view frames = run.Frames;
  for (std::uint32_t index = 0; !frames.empty(); ++index) {
    const std::size_t size = FrameSize(frames);
    earlier.Body.append(frames.data(), size);
    earlier.Records.push_back(TEarlierRecord{at, index, earlier.Body.size()});
    frames.remove_prefix(size);
  }
}

std::unique_ptr<TStreamBatch> TStreamBatcher::EarlierBatch(const TEarlier& earlier, std::size_t from,
                                                           std::size_t to) const {
  auto batch = std::make_unique<TStreamBatch>();  // (const: no spare taken)
  batch->Address = earlier.Address;
  batch->Application = earlier.Application;
  batch->Module = earlier.Module;
  const std::size_t begin = from == 0 ? 0 : earlier.Records[from - 1].End;
  batch->Body.assign(earlier.Body, begin, earlier.Records[to - 1].End - begin);
  batch->Records = static_cast<std::uint32_t>(to - from);
  batch->First = earlier.Records[from].Run;
  batch->FirstIndex = earlier.Records[from].Index;
  batch->Last = earlier.Records[to - 1].Run;
  batch->LastIndex = earlier.Records[to - 1].Index;
  return batch;
}

void TStreamBatcher::TakeEarlier(TEarlier& earlier, std::size_t count) {
  earlier.Taken += count;
  // Compacted once most of it is gone, so that taking is not quadratic.
  if (earlier.Taken * 2 < earlier.Records.size() && earlier.Taken < earlier.Records.size()) return;
  const std::size_t bytes = earlier.Taken == 0 ? 0 : earlier.Records[earlier.Taken - 1].End;
  earlier.Body.erase(0, bytes);
  earlier.Records.erase(earlier.Records.begin(), earlier.Records.begin() + static_cast<std::ptrdiff_t>(earlier.Taken));
  for (TEarlierRecord& record : earlier.Records) record.End -= bytes;
  earlier.Taken = 0;
}

void TStreamBatcher::CloseEarlier(const TSpoolEntry& mark, const TStreamSpool::TAcknowledged& acknowledged) {
  const auto found = Earlier.find(TKey{mark.Address, mark.Application, mark.Module});
  // Its records were all before where the spool was read from: the stream
  // has them.
  if (found == Earlier.end()) return;
  TEarlier& earlier = *found->second;
  // The batch is its records from its first to its last; records before
  // its first belong to a batch the stream has (one begun before where the
  // spool was read from, which may be here only in part).
  auto before = [](const TEarlierRecord& record, std::uint64_t segment, std::uint64_t offset, std::uint32_t index) {
    const TSpoolPosition at{segment, offset};
    return record.Run < at || (record.Run == at && record.Index < index);
  };
  std::size_t from = earlier.Taken;
  while (from < earlier.Records.size() &&
         before(earlier.Records[from], mark.FirstSegment, mark.FirstOffset, mark.FirstIndex))
    ++from;
  std::size_t to = from;
  while (to < earlier.Records.size() &&
         (before(earlier.Records[to], mark.LastSegment, mark.LastOffset, mark.LastIndex) ||
          (earlier.Records[to].Run == TSpoolPosition{mark.LastSegment, mark.LastOffset} &&
           earlier.Records[to].Index == mark.LastIndex)))
    ++to;
  const auto known = acknowledged.find(std::string(mark.Id));
  if (to > from && (known == acknowledged.end() || known->second != 0)) {
    std::unique_ptr<TStreamBatch> batch = EarlierBatch(earlier, from, to);
    batch->Id.assign(mark.Id);
    batch->Marked = true;
    if (known != acknowledged.end()) {
      batch->Acknowledged = true;
      batch->StreamSequence = known->second;
    }
    Closed.push_back(std::move(batch));
  }
  TakeEarlier(earlier, to - earlier.Taken);
  if (earlier.Taken >= earlier.Records.size()) Earlier.erase(found);
}

void TStreamBatcher::AddLegacy(const TStreamRecord& record, TSpoolPosition at,
                               const TStreamSpool::TAcknowledged& acknowledged) {
  if (acknowledged.count(record.MessageId) > 0) return;
  auto batch = std::make_unique<TStreamBatch>();
  batch->Id = record.MessageId;
  batch->Address = record.Address;
  batch->Application = record.Application;
  batch->Module = record.Module;
  AppendBatchFrame(batch->Body, record);
  batch->Records = 1;
  batch->First = at;
  batch->Marked = true;  // its id is its own, whoever sends it
  Closed.push_back(std::move(batch));
}

void TStreamBatcher::EndEarlier(std::uint64_t nowUs) {
  for (auto& [key, earlier] : Earlier) {
    std::size_t from = earlier->Taken;
    while (from < earlier->Records.size()) {
      const std::size_t begin = from == 0 ? 0 : earlier->Records[from - 1].End;
      std::size_t to = from + 1;
      while (to < earlier->Records.size() && to - from < kBatchMaxRecords &&
             earlier->Records[to].End - begin <= kBatchMaxBytes)
        ++to;
      std::unique_ptr<TStreamBatch> batch = EarlierBatch(*earlier, from, to);
      batch->OpenedAt = nowUs;
      NewId(*batch);
      Closed.push_back(std::move(batch));
      from = to;
    }
  }
  Earlier.clear();
}

void TStreamBatcher::CloseWaited(std::uint64_t nowUs, std::size_t room) {
  while (!OpenOrder.empty()) {
    TOpen& open = *OpenOrder.front();
    const std::uint64_t waited = nowUs > open.Batch->OpenedAt ? nowUs - open.Batch->OpenedAt : 0;
    const bool close = OpenBytes_ > kMaxOpenBytes || waited >= kMaxWaitUs || (waited >= kWaitUs && room > 0);
    if (!close) break;
    if (room > 0) --room;
    Close(open);
  }
}

void TStreamBatcher::CloseAll() {
  while (!OpenOrder.empty()) Close(*OpenOrder.front());
}

std::vector<std::unique_ptr<TStreamBatch>> TStreamBatcher::TakeClosed() {
  std::vector<std::unique_ptr<TStreamBatch>> closed;
  closed.swap(Closed);
  return closed;
}

void TStreamBatch::Reset() {
  Id.clear();
  Address.clear();
  Application.clear();
  Module.clear();
  Body.clear();
  Wire.clear();
  Records = 0;
  First = Last = TSpoolPosition{};
  FirstIndex = LastIndex = 0;
  OpenedAt = 0;
  Marked = Compressed = Acknowledged = Again = false;
  FrameBytes = 0;
  Mark = TSpoolPosition{};
  SentAt = StreamSequence = AcknowledgedAt = 0;
}

std::unique_ptr<TStreamBatch> TStreamBatcher::NewBatch() {
  if (SpareBatches.empty()) return std::make_unique<TStreamBatch>();
  std::unique_ptr<TStreamBatch> batch = std::move(SpareBatches.back());
  SpareBatches.pop_back();
  return batch;
}

void TStreamBatcher::GiveBack(std::vector<std::unique_ptr<TStreamBatch>>& batches) {
  for (std::unique_ptr<TStreamBatch>& batch : batches) {
    if (SpareBatches.size() >= kSpareBatches) break;
    batch->Reset();
    SpareBatches.push_back(std::move(batch));
  }
  batches.clear();
}

void TStreamBatcher::GiveBack(std::string&& body) {
  // A few full-sized buffers spare a fresh allocation (and its page
  // faults) per batch; many routes do not make many of them.
  if (Spare.size() >= kSpareBodies || body.capacity() < kBatchMaxBytes / 2) return;
  body.clear();
  Spare.push_back(std::move(body));
}

std::uint64_t TStreamBatcher::NextCloseUs() const {
  return OpenOrder.empty() ? 0 : OpenOrder.front()->Batch->OpenedAt + kWaitUs;
}

TSpoolPosition TStreamBatcher::OldestOpen() const {
  TSpoolPosition oldest{~0ull, ~0ull};
  if (!OpenOrder.empty()) oldest = OpenOrder.front()->Batch->First;
  for (const auto& [key, earlier] : Earlier)
    if (earlier->Taken < earlier->Records.size()) oldest = std::min(oldest, earlier->Records[earlier->Taken].Run);
  return oldest;
}

}  // namespace logserver

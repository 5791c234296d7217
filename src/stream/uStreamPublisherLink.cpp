#include "stream/uStreamPublisher.h"

#include "platform/uByteOrder.h"
#include "platform/uTime.h"

#include <nats/nats.h>

#include <algorithm>
#include <cstring>

// The publisher's link: connecting, making the stream, building a batch's
// message, sending, and what the servers answer (acknowledgements, the link
// going and coming back), with the batches kept or sent again, and the
// spool trimmed behind them.

namespace logserver {

namespace {

// The stream's duplicate window, in nanoseconds: a message sent again within
// it is stored once.
constexpr std::int64_t kDuplicateWindowNs = 2LL * 60 * 1000 * 1000 * 1000;

// The mark is written at most this often while batches are acknowledged.
constexpr std::uint64_t kMarkEveryMs = 1000;

std::string StatusText(natsStatus status) { return natsStatus_GetText(status); }

}  // namespace

void TStreamPublisher::OnDisconnected(natsConnection*, void* self) {
  auto* publisher = static_cast<TStreamPublisher*>(self);
  publisher->LinkUp.store(false);
  // Nothing new goes out on the next link before what was in flight on
  // this one: the order stays.
  TMutexLock held(publisher->Guard);
  publisher->ResendAll = true;
  publisher->Room.NotifyAll();
}

void TStreamPublisher::OnClosed(natsConnection*, void* self) {
  auto* publisher = static_cast<TStreamPublisher*>(self);
  TMutexLock held(publisher->Guard);
  publisher->LinkClosed = true;
  publisher->LinkGone.NotifyAll();
}

void TStreamPublisher::OnReconnected(natsConnection*, void* self) {
  auto* publisher = static_cast<TStreamPublisher*>(self);
  TMutexLock held(publisher->Guard);
  // What was in flight may be lost with the old link: all of it again.
  publisher->ResendAll = true;
  publisher->WorkPending = true;
  publisher->Work.NotifyAll();
}

void TStreamPublisher::OnAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* self) {
  auto* publisher = static_cast<TStreamPublisher*>(self);
  const char* id = nullptr;
  if (natsMsgHeader_Get(msg, kHeaderMessageId, &id) == NATS_OK && id != nullptr) {
    TMutexLock held(publisher->Guard);
    const auto found = publisher->ById.find(id);
    if (!publisher->Closed && found != publisher->ById.end() && found->second->SentAt != 0 &&
        !found->second->Acknowledged) {
      TStreamBatch& batch = *found->second;
      publisher->FlightRecords -= batch.Records;
      publisher->FlightBytes -= batch.Wire.size();
      if (ack != nullptr) {
        batch.Acknowledged = true;
        batch.StreamSequence = ack->Sequence;
        batch.AcknowledgedAt = MonotonicMilliseconds();
        --publisher->Unacknowledged;
        // A batch sent again after a server lost it was counted once.
        if (!batch.Again) {
          publisher->Acknowledged_.fetch_add(batch.Records, std::memory_order_relaxed);
          if (batch.Id.compare(0, publisher->Instance.size(), publisher->Instance) == 0)
            publisher->OwnAcknowledgedBytes.fetch_add(batch.FrameBytes, std::memory_order_relaxed);
        }
        publisher->PopAcknowledged();
        publisher->WorkPending = true;
        publisher->Work.NotifyAll();
      } else if (error != nullptr) {
        // Refused (no stream, no quorum): sent again, first, after a rest.
        batch.SentAt = 0;
        publisher->Ready.push_front(&batch);
        publisher->ReadyRecords += batch.Records;
        publisher->ReadyBytes += batch.Wire.size();
        publisher->RetryAt = MonotonicMilliseconds() + kRetryRestMs;
      }
    }
  }
  natsMsg_Destroy(msg);
}

void TStreamPublisher::PopAcknowledged() {
  bool freed = false;
  while (!Live.empty() && Live.front()->Acknowledged) {
    std::unique_ptr<TStreamBatch> batch = std::move(Live.front());
    Live.pop_front();
    ById.erase(batch->Id);
    TakenOff.emplace_back(batch->Id, batch->Mark);
    KeptBytes += batch->Wire.size();
    Kept.push_back(std::move(batch));
    freed = true;
  }
  ForgetKept();
  if (freed) Room.NotifyAll();
}

void TStreamPublisher::ForgetKept() {
  // While the link is down, a server may have gone without writing what
  // it acknowledged last: nothing is forgotten then but to the bound.
  const bool up = LinkUp.load();
  const std::uint64_t now = MonotonicMilliseconds();
  while (!Kept.empty() && (KeptBytes > kKeptBytes || (up && Kept.front()->AcknowledgedAt + kKeptMs <= now))) {
    KeptBytes -= Kept.front()->Wire.size();
    if (Recycled.size() < kRecycled) Recycled.push_back(std::move(Kept.front()));
    Kept.pop_front();
  }
}

void TStreamPublisher::SendAgainAfter(std::uint64_t last) {
  TMutexLock held(Guard);
  std::vector<std::unique_ptr<TStreamBatch>> lost;
  for (auto it = Kept.begin(); it != Kept.end();) {
    if ((*it)->StreamSequence > last) {
      KeptBytes -= (*it)->Wire.size();
      lost.push_back(std::move(*it));
      it = Kept.erase(it);
    } else {
      ++it;
    }
  }
  if (lost.empty()) return;
  std::sort(lost.begin(), lost.end(),
            [](const auto& a, const auto& b) { return a->StreamSequence < b->StreamSequence; });
  std::uint64_t records = 0;
  // In front of everything, in the order the stream had them.
  for (auto it = lost.rbegin(); it != lost.rend(); ++it) {
    TStreamBatch& batch = **it;
    if (!ById.emplace(batch.Id, &batch).second) continue;
    batch.Acknowledged = false;
    batch.Again = true;
    batch.SentAt = 0;
    records += batch.Records;
    ReadyRecords += batch.Records;
    ReadyBytes += batch.Wire.size();
    ++Unacknowledged;
    Ready.push_front(&batch);
    Live.push_front(std::move(*it));
  }
  Resent_.fetch_add(records, std::memory_order_relaxed);
  Note("STREAM SERVER LOST " + std::to_string(records) +
       " acknowledged messages (it came back without them): sent again");
}

void TStreamPublisher::ForgetAllKept() {
  TMutexLock held(Guard);
  Kept.clear();
  KeptBytes = 0;
}

natsMsg* TStreamPublisher::BuildMessage(const TStreamBatch& batch) const {
  natsMsg* msg = nullptr;
  const std::string subject = RouteSubject(Settings.Subject, batch.Address, batch.Application, batch.Module);
  if (natsMsg_Create(&msg, subject.c_str(), nullptr, batch.Wire.data(), static_cast<int>(batch.Wire.size())) !=
      NATS_OK)
    return nullptr;
  const std::string records = std::to_string(batch.Records);
  const bool set =
      natsMsgHeader_Set(msg, kHeaderMessageId, batch.Id.c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderFormat, kBatchFormat) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderAddress, EscapeHeaderValue(batch.Address).c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderApplication, EscapeHeaderValue(batch.Application).c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderModule, EscapeHeaderValue(batch.Module).c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderRecords, records.c_str()) == NATS_OK &&
      (!batch.Compressed || natsMsgHeader_Set(msg, kHeaderEncoding, kEncodingZstd) == NATS_OK);
  if (!set) {
    natsMsg_Destroy(msg);
    return nullptr;
  }
  return msg;
}

void TStreamPublisher::Connect() {
  std::string error;
  natsOptions* options = NewNatsLinkOptions(Settings, "logserver", error);
  if (options == nullptr) {
    TMutexLock held(Guard);
    Note("STREAM ERROR: cannot set up the link to " + Settings.Servers + ": " + error);
    return;
  }
  // No publish is buffered while the link is down: it fails and is sent
  // again, in order, once the link is back.
  natsStatus status = natsOptions_SetReconnectBufSize(options, 0);
  if (status == NATS_OK) status = natsOptions_SetPingInterval(options, 2000);
  if (status == NATS_OK) status = natsOptions_SetRetryOnFailedConnect(options, true, &OnReconnected, this);
  if (status == NATS_OK) status = natsOptions_SetDisconnectedCB(options, &OnDisconnected, this);
  if (status == NATS_OK) status = natsOptions_SetReconnectedCB(options, &OnReconnected, this);
  if (status == NATS_OK) status = natsOptions_SetClosedCB(options, &OnClosed, this);
  if (status == NATS_OK) {
    status = natsConnection_Connect(&Connection, options);
    if (status == NATS_NOT_YET_CONNECTED) status = NATS_OK;
  }
  if (status == NATS_OK && Connection != nullptr) {
    jsOptions js;
    jsOptions_Init(&js);
    js.Wait = 5000;
    // The window is ours; the library must never make a publish wait.
    js.PublishAsync.MaxPending = static_cast<std::int64_t>(Settings.WindowMessages) * 4;
    js.PublishAsync.AckHandler = &OnAck;
    js.PublishAsync.AckHandlerClosure = this;
    status = natsConnection_JetStream(&Js, Connection, &js);
  }
  natsOptions_Destroy(options);
  if (status != NATS_OK) {
    TMutexLock held(Guard);
    Note("STREAM ERROR: cannot set up the link to " + Settings.Servers + ": " + StatusText(status));
  }
}

bool TStreamPublisher::EnsureStream() {
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_GetStreamInfo(&info, Js, Settings.Stream.c_str(), nullptr, &code);
  if (status == NATS_OK) {
    const std::uint64_t last = info->State.LastSeq;
    jsStreamInfo_Destroy(info);
    // The server has everything up to `last`: what it acknowledged beyond
    // goes again, the rest it has.
    SendAgainAfter(last);
    ForgetAllKept();
    return true;
  }
  if (status != NATS_NOT_FOUND) return false;
  const std::string subjects = Settings.Subject + ".>";
  const char* subjectList[] = {subjects.c_str()};
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = Settings.Stream.c_str();
  config.Subjects = subjectList;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  config.Replicas = Settings.Replicas;
  config.Duplicates = kDuplicateWindowNs;
  status = js_AddStream(&info, Js, &config, nullptr, &code);
  TMutexLock held(Guard);
  if (status != NATS_OK) {
    Note("STREAM ERROR: cannot create the stream " + Settings.Stream + ": " + StatusText(status) + " (" +
         nats_GetLastError(nullptr) + ")");
    return false;
  }
  jsStreamInfo_Destroy(info);
  Note("STREAM CREATED: " + Settings.Stream + " for " + subjects + ", " + std::to_string(Settings.Replicas) +
       " replicas");
  return true;
}

void TStreamPublisher::Send(std::uint64_t now) {
  std::vector<std::pair<std::string, natsMsg*>> toSend;
  {
    TMutexLock held(Guard);
    if (now < RetryAt) return;
    while (!Ready.empty()) {
      TStreamBatch& batch = *Ready.front();
      const bool fits = FlightRecords == 0 || (FlightRecords + batch.Records <= Settings.WindowMessages &&
                                               FlightBytes + batch.Wire.size() <= Settings.WindowBytes);
      if (!fits) break;
      natsMsg* msg = BuildMessage(batch);
      if (msg == nullptr) break;
      Ready.pop_front();
      ReadyRecords -= batch.Records;
      ReadyBytes -= batch.Wire.size();
      batch.SentAt = now;
      FlightRecords += batch.Records;
      FlightBytes += batch.Wire.size();
      (Settings.BatchSizes ? *Settings.BatchSizes : BatchSizes_).Observe(static_cast<double>(batch.Wire.size()));
      toSend.emplace_back(batch.Id, msg);
    }
  }
  for (std::size_t i = 0; i < toSend.size(); ++i) {
    natsMsg* msg = toSend[i].second;
    const natsStatus status = js_PublishMsgAsync(Js, &msg, nullptr);
    natsMsg_Destroy(msg);  // no effect when the library took it
    if (status == NATS_OK) {
      EverPublished = true;
      Published_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    // Not sent (the link broke): this and the rest go again later, first.
    TMutexLock held(Guard);
    for (std::size_t j = toSend.size(); j-- > i;) {
      if (j > i) natsMsg_Destroy(toSend[j].second);
      const auto found = ById.find(toSend[j].first);
      if (found == ById.end() || found->second->Acknowledged || found->second->SentAt == 0) continue;
      TStreamBatch& batch = *found->second;
      batch.SentAt = 0;
      FlightRecords -= batch.Records;
      FlightBytes -= batch.Wire.size();
      ReadyRecords += batch.Records;
      ReadyBytes += batch.Wire.size();
      Ready.push_front(&batch);
    }
    RetryAt = MonotonicMilliseconds() + kRetryRestMs;
    break;
  }
}

void TStreamPublisher::Trim(bool force) {
  const std::uint64_t now = MonotonicMilliseconds();
  if (!force && now < NextMarkAt) return;
  NextMarkAt = now + kMarkEveryMs;
  // Everything before the oldest record of a batch not yet acknowledged
  // (open, closed and waiting, or kept) is acknowledged.
  TSpoolPosition position = std::min(Batcher.OldestOpen(), Spool.ReadPosition());
  TStreamSpool::TAcknowledged acknowledged;
  {
    TMutexLock held(Guard);
    for (const auto& batch : Live)
      if (!batch->Acknowledged) position = std::min(position, batch->First);
    for (const auto& batch : Kept) position = std::min(position, batch->First);
    // Acknowledged batches whose mark lies after that position: a new
    // start must not send them again (but those kept, once a server has
    // shown it lost them).
    while (!TakenOff.empty() && TakenOff.front().second < position) TakenOff.pop_front();
    for (const auto& [id, mark] : TakenOff) acknowledged.emplace(id, 0);
    for (const auto& batch : Live)
      if (batch->Acknowledged) acknowledged.emplace(batch->Id, 0);
    for (const auto& batch : Kept) acknowledged[batch->Id] = batch->StreamSequence;
  }
  Spool.Release(position);
  if (position == SavedMark && acknowledged.empty()) return;
  if (Spool.SaveMark(position, acknowledged)) SavedMark = position;
}

}  // namespace logserver

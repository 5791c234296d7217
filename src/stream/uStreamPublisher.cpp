#include "stream/uStreamPublisher.h"

#include "platform/uTime.h"

#include <nats/nats.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace logserver {

namespace {

// libnats takes far more stack than the service's own threads need.
constexpr std::size_t kPublisherStack = 512 * 1024;
// After a refused send the publisher rests this long before sending again.
constexpr std::uint64_t kRetryRestMs = 250;
// How long the publisher sleeps when nothing wakes it: the time-outs and
// the link are checked at least this often.
constexpr int kIdleWaitMs = 100;
// The stream's duplicate window, in nanoseconds: a message sent again within
// it is stored once.
constexpr std::int64_t kDuplicateWindowNs = 2LL * 60 * 1000 * 1000 * 1000;

std::string NewInstanceId() {
  std::random_device random;
  const std::uint64_t value = (std::uint64_t{random()} << 32) ^ random();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string StatusText(natsStatus status) { return natsStatus_GetText(status); }

}  // namespace

std::unique_ptr<TStreamPublisher> TStreamPublisher::Create(const TStreamSettings& settings,
                                                           TCaughtFailures& failures) {
  if (SplitServers(settings.Servers).empty())
    throw std::runtime_error("[Stream] Servers names no server");
  std::unique_ptr<TStreamPublisher> publisher(new TStreamPublisher(settings, failures));
  {
    TMutexLock held(publisher->Guard);
    if (!publisher->Spool.Open(settings.SpoolDirectory, settings.SpoolMaxBytes))
      throw std::runtime_error("cannot use the spool directory " + settings.SpoolDirectory + ": " +
                               std::strerror(errno));
    if (!publisher->Spool.Empty())
      publisher->Note("STREAM SPOOL: " + std::to_string(publisher->Spool.Bytes()) +
                      " bytes left by an earlier run are sent first");
  }
  const int started = publisher->Start();
  if (started != 0)
    throw std::runtime_error(std::string("cannot start the stream publisher: ") + std::strerror(started));
  return publisher;
}

TStreamPublisher::TStreamPublisher(const TStreamSettings& settings, TCaughtFailures& failures)
    : TThread("ls-stream", kPublisherStack), Settings(settings), Instance(NewInstanceId()) {
  CountFailuresIn(&failures);
}

TStreamPublisher::~TStreamPublisher() { Close(0); }

void TStreamPublisher::Wake() {
  TMutexLock held(Guard);
  WorkPending = true;
  Work.NotifyAll();
}

void TStreamPublisher::Note(std::string text) {
  // Bounded: an operator reads the first ones; the counts tell the rest.
  if (Notes.size() < 100) Notes.push_back(std::move(text));
}

std::vector<std::string> TStreamPublisher::TakeNotes() {
  TMutexLock held(Guard);
  std::vector<std::string> notes;
  notes.swap(Notes);
  return notes;
}

bool TStreamPublisher::HasRoom(std::size_t bytes) const {
  if (Window.empty()) return true;
  return Window.size() < Settings.WindowMessages && WindowBytes + bytes <= Settings.WindowBytes;
}

void TStreamPublisher::PushWindow(TStreamRecord&& record) {
  WindowBytes += record.Bytes();
  SlotById[record.MessageId] = FrontSlot + Window.size();
  Window.push_back(TPending{std::move(record), 0, false});
}

void TStreamPublisher::PopAcknowledged() {
  bool freed = false;
  while (!Window.empty() && Window.front().Acknowledged) {
    WindowBytes -= Window.front().Record.Bytes();
    SlotById.erase(Window.front().Record.MessageId);
    Window.pop_front();
    ++FrontSlot;
    freed = true;
  }
  if (freed) Room.NotifyAll();
}

void TStreamPublisher::Offer(TStreamRecord&& record, bool mayWait) {
  record.MessageId = Instance + "-" + std::to_string(++Sequence);
  TMutexLock held(Guard);
  if (Closed) return;
  // Once anything is spooled, everything after it is too, until the spool
  // is sent: the order stays.
  if (Spool.Empty()) {
    const std::size_t bytes = record.Bytes();
    if (!HasRoom(bytes) && mayWait && LinkUp.load()) {
      const std::uint64_t until = MonotonicMilliseconds() + kOfferWaitMs;
      while (!HasRoom(bytes) && LinkUp.load() && !Closing) {
        const std::uint64_t now = MonotonicMilliseconds();
        if (now >= until) break;
        Room.WaitFor(Guard, static_cast<int>(until - now));
      }
    }
    if (HasRoom(bytes)) {
      PushWindow(std::move(record));
      return;
    }
    if (!mayWait && LinkUp.load()) {
      DroppedWindowFull_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  Spool.Append(record);
  Spooled_.fetch_add(1, std::memory_order_relaxed);
}

void TStreamPublisher::EndOfBatch() {
  TMutexLock held(Guard);
  Spool.Flush();
  WorkPending = true;
  Work.NotifyAll();
}

TStreamCounts TStreamPublisher::Counts() const {
  TStreamCounts counts;
  counts.Acknowledged = Acknowledged_.load(std::memory_order_relaxed);
  counts.Resent = Resent_.load(std::memory_order_relaxed);
  counts.Spooled = Spooled_.load(std::memory_order_relaxed);
  counts.DroppedWindowFull = DroppedWindowFull_.load(std::memory_order_relaxed);
  counts.LinkUp = LinkUp.load();
  TMutexLock held(Guard);
  counts.DroppedSpoolFull = Spool.Dropped() + Spool.Damaged();
  counts.Window = Window.size();
  counts.SpoolBytes = Spool.Bytes();
  return counts;
}

void TStreamPublisher::OnDisconnected(natsConnection*, void* self) {
  auto* publisher = static_cast<TStreamPublisher*>(self);
  publisher->LinkUp.store(false);
  // Nothing new goes out on the next link before what was in flight on
  // this one: the order stays.
  TMutexLock held(publisher->Guard);
  publisher->ResendAll = true;
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
    const auto found = publisher->SlotById.find(id);
    if (!publisher->Closed && found != publisher->SlotById.end() &&
        found->second >= publisher->FrontSlot) {
      TPending& pending = publisher->Window[found->second - publisher->FrontSlot];
      if (ack != nullptr && !pending.Acknowledged) {
        pending.Acknowledged = true;
        publisher->Acknowledged_.fetch_add(1, std::memory_order_relaxed);
        publisher->PopAcknowledged();
      } else if (ack == nullptr && error != nullptr && !pending.Acknowledged) {
        // Refused (no stream, no quorum): sent again after a rest.
        pending.SentAt = 0;
        publisher->RetryAt = MonotonicMilliseconds() + kRetryRestMs;
      }
    }
  }
  natsMsg_Destroy(msg);
}

natsMsg* TStreamPublisher::BuildMessage(const TStreamRecord& record) const {
  natsMsg* msg = nullptr;
  const std::string subject = RecordSubject(Settings.Subject, record);
  if (natsMsg_Create(&msg, subject.c_str(), nullptr, record.Text.data(),
                     static_cast<int>(record.Text.size())) != NATS_OK)
    return nullptr;
  const bool set =
      natsMsgHeader_Set(msg, kHeaderMessageId, record.MessageId.c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderAddress, EscapeHeaderValue(record.Address).c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderPort, EscapeHeaderValue(record.Port).c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderApplication, EscapeHeaderValue(record.Application).c_str()) ==
          NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderModule, EscapeHeaderValue(record.Module).c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderPrefix, EscapeHeaderValue(record.Prefix).c_str()) == NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderEventTime, FormatStreamTime(record.EventTime).c_str()) ==
          NATS_OK &&
      natsMsgHeader_Set(msg, kHeaderServerTime, FormatStreamTime(record.ServerTime).c_str()) ==
          NATS_OK;
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
    jsStreamInfo_Destroy(info);
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
    Note("STREAM ERROR: cannot create the stream " + Settings.Stream + ": " + StatusText(status) +
         " (" + nats_GetLastError(nullptr) + ")");
    return false;
  }
  jsStreamInfo_Destroy(info);
  Note("STREAM CREATED: " + Settings.Stream + " for " + subjects + ", " +
       std::to_string(Settings.Replicas) + " replicas");
  return true;
}

void TStreamPublisher::Execute() {
  Connect();
  while (!Terminated()) {
    {
      TMutexLock held(Guard);
      if (!WorkPending) Work.WaitFor(Guard, kIdleWaitMs);
      WorkPending = false;
    }
    if (Terminated()) break;
    Step();
  }
}

void TStreamPublisher::Step() {
  if (Connection == nullptr || Js == nullptr) return;
  const bool connected = natsConnection_Status(Connection) == NATS_CONN_STATUS_CONNECTED;
  const std::uint64_t now = MonotonicMilliseconds();
  if (connected && !StreamReady && now >= NextStreamTry) {
    StreamReady = EnsureStream();
    if (!StreamReady) NextStreamTry = now + 1000;
  }
  const bool up = connected && StreamReady;
  if (up != LinkWasUp) {
    TMutexLock held(Guard);
    Note(up ? "STREAM LINK UP: " + Settings.Servers : "STREAM LINK DOWN: " + Settings.Servers);
    LinkWasUp = up;
    if (!up) StreamReady = false;  // checked again at the next link
    ResendAll = ResendAll || up;
    Room.NotifyAll();
  }
  LinkUp.store(up);
  if (!up) return;

  bool takeBack = false;
  {
    TMutexLock held(Guard);
    for (const TPending& pending : Window) {
      if (pending.Acknowledged || pending.SentAt == 0) continue;
      takeBack = now - pending.SentAt >= Settings.AckTimeoutMs;
      break;
    }
    takeBack = takeBack || ResendAll;
    ResendAll = false;
  }
  if (takeBack) {
    // The library forgets what it still waits for; all of it goes again,
    // in order, under the same ids.
    // (libnats 3.4 faults here before its first asynchronous publish.)
    natsMsgList pending{};
    if (EverPublished && js_PublishAsyncGetPendingList(&pending, Js) == NATS_OK)
      natsMsgList_Destroy(&pending);
    TMutexLock held(Guard);
    for (TPending& entry : Window) {
      if (entry.Acknowledged || entry.SentAt == 0) continue;
      entry.SentAt = 0;
      Resent_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  std::vector<std::pair<std::uint64_t, natsMsg*>> toSend;
  {
    TMutexLock held(Guard);
    TStreamRecord record;
    while (!Spool.Empty() && HasRoom(0) && Spool.Take(record)) PushWindow(std::move(record));
    if (now < RetryAt) return;
    for (std::size_t i = 0; i < Window.size(); ++i) {
      TPending& entry = Window[i];
      if (entry.Acknowledged || entry.SentAt != 0) continue;
      natsMsg* msg = BuildMessage(entry.Record);
      if (msg == nullptr) continue;
      entry.SentAt = now;
      toSend.emplace_back(FrontSlot + i, msg);
    }
  }
  for (std::size_t i = 0; i < toSend.size(); ++i) {
    natsMsg* msg = toSend[i].second;
    const natsStatus status = js_PublishMsgAsync(Js, &msg, nullptr);
    natsMsg_Destroy(msg);  // no effect when the library took it
    if (status == NATS_OK) {
      EverPublished = true;
      continue;
    }
    // Not sent (the link broke): this and the rest go again later.
    TMutexLock held(Guard);
    for (std::size_t j = i; j < toSend.size(); ++j) {
      const std::uint64_t slot = toSend[j].first;
      if (slot >= FrontSlot && slot - FrontSlot < Window.size()) Window[slot - FrontSlot].SentAt = 0;
      if (j > i) natsMsg_Destroy(toSend[j].second);
    }
    RetryAt = MonotonicMilliseconds() + kRetryRestMs;
    break;
  }
}

void TStreamPublisher::Close(std::uint32_t waitMs) {
  {
    TMutexLock held(Guard);
    if (Closed) return;
    Closing = true;
    Spool.Flush();
    WorkPending = true;
    Work.NotifyAll();
    Room.NotifyAll();
    const std::uint64_t until = MonotonicMilliseconds() + waitMs;
    while (!Window.empty() && LinkUp.load()) {
      const std::uint64_t now = MonotonicMilliseconds();
      if (now >= until) break;
      Room.WaitFor(Guard, static_cast<int>(std::min<std::uint64_t>(until - now, 100)));
    }
  }
  StopAndWait();
  if (Connection != nullptr) {
    natsConnection_Close(Connection);
    // The library calls back on a thread of its own, also after the close
    // (the link went down): the publisher may go only after its last call.
    TMutexLock held(Guard);
    const std::uint64_t until = MonotonicMilliseconds() + 5000;
    for (std::uint64_t now = MonotonicMilliseconds(); !LinkClosed && now < until; now = MonotonicMilliseconds())
      LinkGone.WaitFor(Guard, static_cast<int>(std::min<std::uint64_t>(until - now, 100)));
  }
  if (Js != nullptr) jsCtx_Destroy(Js);
  if (Connection != nullptr) natsConnection_Destroy(Connection);
  Js = nullptr;
  Connection = nullptr;
  TMutexLock held(Guard);
  Closed = true;
  std::vector<TStreamRecord> left;
  for (TPending& pending : Window)
    if (!pending.Acknowledged) left.push_back(std::move(pending.Record));
  Window.clear();
  SlotById.clear();
  WindowBytes = 0;
  Spool.PutInFront(left);
  LinkUp.store(false);
}

}  // namespace logserver

#include "stream/uStreamPublisher.h"

#include "platform/uProcess.h"
#include "platform/uByteOrder.h"
#include "platform/uTime.h"

#include <nats/nats.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace logserver {

namespace {

// libnats takes far more stack than the service's own threads need.
constexpr std::size_t kPublisherStack = 512 * 1024;
// How long the publisher sleeps when nothing wakes it: the time-outs and
// the link are checked at least this often.
constexpr int kIdleWaitMs = 100;
constexpr std::uint64_t kTimeoutCheckMs = 250;
// Batches closed for waiting while this many are closed and not yet
// acknowledged: beyond, open batches go on filling.
constexpr std::uint64_t kQueuedBatches = 128;
// What one step reads from the spool at most.
constexpr std::uint64_t kReadStepBytes = 4u << 20;

std::string NewInstanceId() {
  std::random_device random;
  const std::uint64_t value = (std::uint64_t{random()} << 32) ^ random();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

std::unique_ptr<TStreamPublisher> TStreamPublisher::Create(const TStreamSettings& settings,
                                                           TCaughtFailures& failures) {
  if (SplitServers(settings.Servers).empty())
    throw std::runtime_error("[Stream] Servers names no server");
  std::unique_ptr<TStreamPublisher> publisher(new TStreamPublisher(settings, failures));
  if (!publisher->Spool.Open(settings.SpoolDirectory, settings.SpoolMaxBytes, settings.FormerSpoolDirectory))
    throw std::runtime_error("cannot use the spool directory " + settings.SpoolDirectory + ": " +
                             ErrorText(errno));
  const std::uint64_t left = publisher->Spool.Bytes();
  if (left > 0) {
    TMutexLock held(publisher->Guard);
    publisher->Note("STREAM SPOOL: " + std::to_string(left) + " bytes left by an earlier run are sent first");
  }
  const int started = publisher->Start();
  if (started != 0)
    throw std::runtime_error(std::string("cannot start the stream publisher: ") + ErrorText(started));
  return publisher;
}

TStreamPublisher::TStreamPublisher(const TStreamSettings& settings, TCaughtFailures& failures)
    : TThread("ls-stream", kPublisherStack), Settings(settings), Instance(NewInstanceId()), Batcher(Instance) {
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

// The owner's side.

void TStreamPublisher::Offer(const TLogMessage& message, bool mayWait) {
  // Consecutive records of one route share a run.
  if (RunRecords == 0 || RunAddress != message.Address || RunApplication != message.Application ||
      RunModule != message.Module) {
    if (RunRecords > 0) EndRun(Runs, RunStart, RunRecords);
    RunStart = BeginRun(Runs, message.Address, message.Application, message.Module);
    RunRecords = 0;
    RunAddress = message.Address;
    RunApplication = message.Application;
    RunModule = message.Module;
  }
  const std::size_t before = Runs.size();
  AppendBatchFrame(Runs, message);
  RunsBytes += Runs.size() - before;
  ++RunRecords;
  ++RunsRecords;
  WaitingRecord = WaitingRecord || mayWait;
}

void TStreamPublisher::WriteAhead() {
  if (RunRecords == 0) return;
  EndRun(Runs, RunStart, RunRecords);
  RunRecords = 0;
  Spool.Append(Runs, RunsRecords);
  Spooled_.fetch_add(RunsRecords, std::memory_order_relaxed);
  SpooledBytes.fetch_add(RunsBytes, std::memory_order_relaxed);
  AppendCount.fetch_add(1, std::memory_order_release);
  Runs.clear();
  RunsRecords = RunsBytes = 0;
}

void TStreamPublisher::EndOfBatch() {
  const bool wrote = RunRecords > 0;
  WriteAhead();
  if (wrote) Wake();
  if (!WaitingRecord) return;
  WaitingRecord = false;
  // Far behind while the stream takes messages: the senders that can wait
  // do, so that the spool does not grow without end.
  const std::uint64_t bound = 2 * Settings.WindowBytes + TStreamBatcher::kMaxOpenBytes;
  if (OwnBacklogBytes() <= bound || !LinkUp.load()) return;
  const std::uint64_t until = MonotonicMilliseconds() + kOfferWaitMs;
  TMutexLock held(Guard);
  while (OwnBacklogBytes() > bound && LinkUp.load() && !Closing) {
    const std::uint64_t now = MonotonicMilliseconds();
    if (now >= until) break;
    Room.WaitFor(Guard, static_cast<int>(until - now));
  }
}

std::uint64_t TStreamPublisher::OwnBacklogBytes() const {
  const std::uint64_t spooled = SpooledBytes.load(std::memory_order_relaxed);
  const std::uint64_t acknowledged = OwnAcknowledgedBytes.load(std::memory_order_relaxed);
  return spooled > acknowledged ? spooled - acknowledged : 0;
}

TStreamCounts TStreamPublisher::Counts() const {
  TStreamCounts counts;
  counts.Acknowledged = Acknowledged_.load(std::memory_order_relaxed);
  counts.Resent = Resent_.load(std::memory_order_relaxed);
  counts.Spooled = Spooled_.load(std::memory_order_relaxed);
  counts.LinkUp = LinkUp.load();
  counts.DroppedSpoolFull = Spool.Dropped() + Spool.Damaged();
  const std::uint64_t taken = counts.Spooled + EarlierRecords.load(std::memory_order_relaxed);
  const std::uint64_t gone = counts.Acknowledged + counts.DroppedSpoolFull;
  counts.Window = taken > gone ? taken - gone : 0;
  counts.SpoolBytes = Spool.Bytes();
  counts.PublishedBatches = Published_.load(std::memory_order_relaxed);
  return counts;
}

// The publisher thread.

void TStreamPublisher::ReadSpool() {
  const TStreamSpool::TAcknowledged& acknowledged = Spool.AcknowledgedAtOpen();
  // What may be read ahead now: beyond twice the window, the batches wait
  // in the spool (looked at once, not per entry).
  std::uint64_t budget = 0;
  {
    TMutexLock held(Guard);
    const std::uint64_t records = ReadyRecords + FlightRecords, bytes = ReadyBytes + FlightBytes;
    if (records >= 2ull * Settings.WindowMessages || bytes >= 2 * Settings.WindowBytes) return;
    // A step reads a few MiB: its batches are sent, and their buffers
    // serve the next step's, before more is read.
    budget = std::min<std::uint64_t>(2 * Settings.WindowBytes - bytes, kReadStepBytes);
  }
  std::uint64_t read = 0;
  for (;;) {
    if (read >= budget) {
      TMutexLock held(Guard);
      WorkPending = true;  // more to read: the next step comes at once
      return;
    }
    const std::uint64_t appended = AppendCount.load(std::memory_order_acquire);
    TSpoolParse kind = TSpoolParse::Invalid;
    TSpoolEntry entry;
    TStreamRecord legacy;
    TSpoolPosition at;
    const bool more = Spool.Next(kind, entry, legacy, at);
    if (!ReadAllEarlier && (!more || at.Segment >= Spool.FirstOwnSegment())) {
      // An earlier run's batches end with its segments: what no mark
      // closed was never published and is batched anew.
      ReadAllEarlier = true;
      Batcher.EndEarlier(MonotonicMicroseconds());
    }
    if (!more) {
      ReadThrough.store(appended, std::memory_order_release);
      return;
    }
    if (!ReadAllEarlier) {
      EarlierRecords.fetch_add(SpoolEntryRecords(kind, entry), std::memory_order_relaxed);
      if (kind == TSpoolParse::Run)
        Batcher.AddEarlier(entry, at);
      else if (kind == TSpoolParse::Close)
        Batcher.CloseEarlier(entry, acknowledged);
      else if (kind == TSpoolParse::Legacy)
        Batcher.AddLegacy(legacy, at, acknowledged);
    } else if (kind == TSpoolParse::Run) {
      // This run's own marks say nothing it does not know.
      const std::uint64_t now = MonotonicMicroseconds();
      Batcher.Add(entry, at, now);
      if (Batcher.OpenBytes() > TStreamBatcher::kMaxOpenBytes) Batcher.CloseWaited(now, 0);
    }
    read += entry.Frames.size() + legacy.Text.size();
  }
}

void TStreamPublisher::TakeClosed() {
  std::vector<std::unique_ptr<TStreamBatch>> closed = Batcher.TakeClosed();
  if (closed.empty()) return;
  // Each batch's mark goes into the spool before the batch is published:
  // a later run resends exactly this batch under this id.
  Marks.clear();
  std::vector<std::size_t> offsets;
  for (const auto& batch : closed) {
    offsets.push_back(Marks.size());
    if (!batch->Marked)
      AppendCloseMark(Marks, batch->Id, batch->Address, batch->Application, batch->Module, batch->Records,
                      batch->First.Segment, batch->First.Offset, batch->FirstIndex, batch->Last.Segment,
                      batch->Last.Offset, batch->LastIndex);
  }
  TSpoolPosition at{};
  if (!Marks.empty()) Spool.Append(Marks, 0, &at);
  for (const auto& batch : closed) {
    batch->FrameBytes = batch->Body.size();
    batch->Compressed = Settings.Compress && Compressor.Compress(batch->Body, batch->Wire);
    if (!batch->Compressed) batch->Wire.swap(batch->Body);
    // Large room goes to the next batches now; a little stays with the
    // batch for when it is reused.
    if (batch->Body.capacity() >= kBatchMaxBytes / 2)
      Batcher.GiveBack(std::move(batch->Body));
    else
      batch->Body.clear();
  }
  TMutexLock held(Guard);
  for (std::size_t i = 0; i < closed.size(); ++i) {
    std::unique_ptr<TStreamBatch>& batch = closed[i];
    batch->Mark = batch->Marked ? batch->First : TSpoolPosition{at.Segment, at.Offset + offsets[i]};
    batch->Marked = true;
    if (batch->Acknowledged) {
      // An earlier run's, acknowledged just before a server went: kept
      // until one is known to have it.
      batch->AcknowledgedAt = MonotonicMilliseconds();
      TakenOff.emplace_back(batch->Id, batch->Mark);
      KeptBytes += batch->Wire.size();
      Kept.push_back(std::move(batch));
      continue;
    }
    if (!ById.emplace(batch->Id, batch.get()).second) continue;  // the same id twice: sent once
    ReadyRecords += batch->Records;
    ReadyBytes += batch->Wire.size();
    ++Unacknowledged;
    Ready.push_back(batch.get());
    Live.push_back(std::move(batch));
  }
}

void TStreamPublisher::Execute() {
  Connect();
  while (!Terminated()) {
    // Asleep until there is work, a batch has waited long enough, or the
    // time-outs and the link are due a look.
    int waitMs = kIdleWaitMs;
    const std::uint64_t due = Batcher.NextCloseUs();
    if (due != 0) {
      const std::uint64_t now = MonotonicMicroseconds();
      waitMs = due <= now ? 1 : static_cast<int>(std::min<std::uint64_t>((due - now + 999) / 1000, kIdleWaitMs));
    }
    {
      TMutexLock held(Guard);
      if (!WorkPending) Work.WaitFor(Guard, waitMs);
      WorkPending = false;
    }
    if (Terminated()) break;
    Step();
  }
}

void TStreamPublisher::Step() {
  {
    std::vector<std::unique_ptr<TStreamBatch>> recycled;
    {
      TMutexLock held(Guard);
      recycled.swap(Recycled);
    }
    Batcher.GiveBack(recycled);
  }
  ReadSpool();
  std::size_t room = 0;
  bool closeAll = false;
  {
    TMutexLock held(Guard);
    room = Unacknowledged < kQueuedBatches ? kQueuedBatches - Unacknowledged : 0;
    closeAll = CloseAllBatches;
  }
  if (closeAll)
    Batcher.CloseAll();
  else
    Batcher.CloseWaited(MonotonicMicroseconds(), room);
  TakeClosed();
  {
    TMutexLock held(Guard);
    Drained = Batcher.OpenBatches() == 0 && ReadThrough.load(std::memory_order_acquire) ==
                                                AppendCount.load(std::memory_order_acquire);
    if (Drained) Room.NotifyAll();
  }
  Trim(false);
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
  if (now >= NextTimeoutCheck) {
    NextTimeoutCheck = now + kTimeoutCheckMs;
    TMutexLock held(Guard);
    for (const auto& batch : Live)
      if (!batch->Acknowledged && batch->SentAt != 0 && now - batch->SentAt >= Settings.AckTimeoutMs) {
        takeBack = true;
        break;
      }
  }
  {
    TMutexLock held(Guard);
    takeBack = takeBack || ResendAll;
    ResendAll = false;
  }
  if (takeBack) {
    // The library forgets what it still waits for; all of it goes again,
    // in order, under the same ids, before what was not sent yet.
    // (libnats 3.4 faults here before its first asynchronous publish.)
    natsMsgList pending{};
    if (EverPublished && js_PublishAsyncGetPendingList(&pending, Js) == NATS_OK) natsMsgList_Destroy(&pending);
    TMutexLock held(Guard);
    std::deque<TStreamBatch*> again;
    for (const auto& batch : Live) {
      if (batch->Acknowledged || batch->SentAt == 0) continue;
      batch->SentAt = 0;
      FlightRecords -= batch->Records;
      FlightBytes -= batch->Wire.size();
      ReadyRecords += batch->Records;
      ReadyBytes += batch->Wire.size();
      Resent_.fetch_add(batch->Records, std::memory_order_relaxed);
      again.push_back(batch.get());
    }
    Ready.insert(Ready.begin(), again.begin(), again.end());
  }
  Send(now);
}

void TStreamPublisher::Close(std::uint32_t waitMs) {
  {
    TMutexLock held(Guard);
    if (Closed || Closing) return;
    Closing = true;
  }
  // Every batch closes now: what it holds is sent within the time given.
  WriteAhead();
  {
    TMutexLock held(Guard);
    CloseAllBatches = true;
    WorkPending = true;
    Work.NotifyAll();
    const std::uint64_t until = MonotonicMilliseconds() + waitMs;
    Drained = false;
    // Everything acknowledged, and long enough ago that the server has
    // written it.
    while (LinkUp.load() && !(Live.empty() && Drained && Kept.empty())) {
      const std::uint64_t now = MonotonicMilliseconds();
      if (now >= until) break;
      Room.WaitFor(Guard, static_cast<int>(std::min<std::uint64_t>(until - now, 20)));
      ForgetKept();
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
  LinkUp.store(false);
  bool allAcknowledged = false;
  {
    TMutexLock held(Guard);
    Closed = true;
    allAcknowledged =
        Live.empty() && Kept.empty() && Batcher.OpenBatches() == 0 && ReadThrough.load() == AppendCount.load();
    // (the publisher thread has stopped: its batcher may be read here)
  }
  // What is left stays for the next start, behind the mark; nothing left,
  // nothing stays.
  if (allAcknowledged)
    Spool.Clear();
  else
    Trim(true);
}

}  // namespace logserver

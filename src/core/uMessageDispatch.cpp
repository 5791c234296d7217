#include "core/uMessageDispatch.h"

#include "core/uServiceText.h"
#include "core/uSyslogHeader.h"
#include "platform/uTime.h"
#include "platform/uUnitRun.h"

namespace logserver {

namespace {

// What the main loop takes from the queue at most in one pop.
constexpr std::size_t kBatchElements = 1024;
constexpr std::size_t kBatchBytes = 1024 * 1024;

// Where every syslog message goes: its names are the same for all.
const std::string kSyslogApplication = "SYSLOG";
const std::string kSyslogModule = "syslog";
const std::string kNoPrefix;

}  // namespace

TMessageDispatch::TMessageDispatch(const TServiceConfig& config, tLogQueue& queue,
                                   tLogProducerHolder& producers, TServiceLog& serviceLog,
                                   const TThreadRole& mainThread)
    : Config(config),
      Queue(queue),
      Producers(producers),
      ServiceLog(serviceLog),
      MainThread(mainThread) {}

void TMessageDispatch::SetStream(TStreamPublisher* stream, bool writeFiles) {
  Stream = stream;
  WriteFiles = writeFiles;
  WriteAheadFirst.Stream = stream;
  Producers.SetWriteObserver(stream != nullptr ? &WriteAheadFirst : nullptr);
}

void TMessageDispatch::DispatchPending() {
  MainThread.AssertCurrent();
  Batch.clear();
  // The loop sleeps only when no sender waits here either; with too much
  // waiting, the queue is left alone until some of it is written.
  if (!Parked.Full()) Queue.PopAll(Batch, kBatchElements, kBatchBytes, /*wait=*/Parked.Empty());
  if (Batch.empty() && Parked.Empty()) return;
  tLogProducerHolder::TWriteBatch written(Producers);
  for (pLogQueueElement& element : Batch) {
    if (Parked.TakeIfWaiting(element)) continue;
    const std::uint64_t began = MonotonicMilliseconds();
    const std::uint64_t pathsBefore = Producers.NewPathsMade();
    Dispatch(*element);
    // A sender whose elements take the writer long making new directories
    // and files waits behind everybody else from now on. (A machine that
    // is merely slow parks nobody.)
    if (Producers.NewPathsMade() != pathsBefore &&
        MonotonicMilliseconds() - began >= TParkedSenders::kSlowElementMs)
      Parked.Hold(*element);
    // The element dies here; a run's buffer goes back to its pool with it.
    element.reset();
  }
  Batch.clear();
  if (!Parked.Empty()) {
    const std::uint64_t sliceEnds = MonotonicMilliseconds() + TParkedSenders::kSliceMs;
    while (MonotonicMilliseconds() < sliceEnds)
      if (pLogQueueElement element = Parked.Next()) DispatchElement(std::move(element)); else break;
  }
  if (Stream) Stream->EndOfBatch();
  // With more queued, lines may wait to be written with later ones of their
  // file; once nothing is left, everything is written before the loop
  // sleeps.
  written.LetWait(Queue.Count() > 0 || !Parked.Empty());
}

void TMessageDispatch::DispatchElement(pLogQueueElement element) {
  if (element) Dispatch(*element);
  // The element dies here; a run's buffer goes back to its pool with it.
}

void TMessageDispatch::Dispatch(const tLogQueueElement& e) {
  MainThread.AssertCurrent();
  Producers.NoteArrival(e.ArrivedAt);
  switch (e.Kind) {
    case lqkClientData:
    case lqkSyslogDatagram:
    case lqkSyslogRun:
      DispatchMessage(e, /*logLines=*/true);
      break;
    case lqkSyslogClosed:
      Producers.RemoveClientProducers(e.ClientAddress, std::to_string(e.ClientPort));
      break;
    case lqkClientConnect:
      ServiceLog.Write(true, "CLIENT CONNECTED: " + PeerText(e.ClientAddress, e.ClientPort));
      break;
    case lqkClientDisconnect:
      Producers.RemoveClientProducers(e.ClientAddress, std::to_string(e.ClientPort));
      ServiceLog.Write(true, "CLIENT DISCONNECTED: " + PeerText(e.ClientAddress, e.ClientPort));
      break;
    default:
      break;
  }
}

void TMessageDispatch::DispatchMessage(const tLogQueueElement& e, bool logLines) {
  const std::string port = std::to_string(e.ClientPort);
  // The messages of one element arrived in one read and are handled within
  // a fraction of a millisecond: one reading of the clock stamps them all.
  ElementTime = Now();
  if (e.Kind == lqkClientData) {
    ForEachUnit(e.Data.View(), [&](const char* payload, std::size_t size) {
      DispatchClientMessage(e, port, std::string_view(payload, size), logLines);
    });
    return;
  }
  if (e.Kind == lqkSyslogRun) {
    ForEachUnit(e.Data.View(), [&](const char* payload, std::size_t size) {
      DispatchSyslogMessage(e, port, std::string_view(payload, size), logLines);
    });
    return;
  }
  DispatchSyslogMessage(e, port, e.Data.View(), logLines);
}

void TMessageDispatch::DispatchSyslogMessage(const tLogQueueElement& e, const std::string& port,
                                             std::string_view message, bool logLines) {
  // Stored as it came, without trailing blanks and line ends.
  while (!message.empty() && static_cast<unsigned char>(message.back()) <= 32) message.remove_suffix(1);
  std::string_view hostname;
  // A relayed message naming the service's own directory as its host goes
  // by its sender instead: nobody writes into the service's log.
  if (Config.SyslogPathByHostname && FindSyslogHostname(message, hostname) && hostname != kServiceLogAddress &&
      hostname != e.ClientAddress) {
    Message.Address.assign(hostname);
    Sender = e.ClientAddress;
  } else {
    Message.Address = e.ClientAddress;
    Sender.clear();
  }
  Message.Port = port;
  Message.Application = kSyslogApplication;
  Message.Module = kSyslogModule;
  Message.Prefix.clear();
  Message.Text.assign(message);
  Message.EventTime = 0.0;
  Deliver(false);
  if (logLines && ServiceLog.Writes(2))
    ServiceLog.Write(true, "NEW MSG: " + PeerText(e.ClientAddress, e.ClientPort) + " \"" + Message.Text + "\"");
}

void TMessageDispatch::DispatchClientMessage(const tLogQueueElement& e, const std::string& port,
                                             std::string_view payload, bool logLines) {
  tClientLogMessage& message = Decoded;
  if (!DecodeClientLogMessage(payload, message)) {
    // Dropped as the service specifies, but counted.
    Invalid_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (message.FilePrefix.empty() && Config.ModuleNameAsFilePrefix)
    message.FilePrefix = message.ModuleName;
  Message.Address = e.ClientAddress;
  Sender.clear();
  Message.Port = port;
  Message.Application.swap(message.ApplicationName);
  Message.Module.swap(message.ModuleName);
  Message.Prefix.swap(message.FilePrefix);
  Message.Text.swap(message.Text);
  Message.EventTime = message.EventTime;
  Deliver(true);
  if (logLines && ServiceLog.Writes(2))
    ServiceLog.Write(true, "NEW MSG: " + PeerText(e.ClientAddress, e.ClientPort) + " \"" + Message.Text + "\"");
}

void TMessageDispatch::Deliver(bool mayWait) {
  Message.ServerTime = ElementTime;
  if (Stream) Stream->Offer(Message, mayWait);
  if (WriteFiles) Producers.AddMessage(Message, Sender);
}

void TMessageDispatch::WriteQueuedMessages() {
  MainThread.AssertCurrent();
  const std::uint64_t deadline = MonotonicMilliseconds() + kStopWriteLimitMs;
  bool timeIsUp = false;
  std::uint64_t unwritten = 0;  // messages, not elements: a run holds many
  pLogQueueElement element;
  const tLogProducerHolder::TWriteBatch written(Producers);
  // Whoever waited here is older than what is still queued of it.
  for (;;) {
    element = Parked.Next();
    if (!element && !Queue.TryPop(element)) break;
    // Connects and disconnects change nothing in the files any more.
    if (element->Kind != lqkClientData && element->Kind != lqkSyslogDatagram &&
        element->Kind != lqkSyslogRun)
      continue;
    timeIsUp = timeIsUp || MonotonicMilliseconds() >= deadline;
    if (timeIsUp) {
      unwritten += element->Units;
      continue;
    }
    DispatchMessage(*element, /*logLines=*/false);
  }
  if (Stream) Stream->EndOfBatch();
  if (unwritten > 0)
    ServiceLog.Write(false, "NOT WRITTEN AT STOP: " + std::to_string(unwritten) +
                                " messages (time limit)");
}

}  // namespace logserver

// tMainThread's message intake: the network handlers, which collect events
// into elements and push them in runs, and the dispatch of popped elements
// on the main thread, with group commit.
#include "core/uMainThread.h"

#include "core/uServiceText.h"
#include "platform/uBufferPool.h"
#include "platform/uTime.h"
#include "platform/uUnitRun.h"

namespace logserver {

namespace {

// The payload bytes one element of consecutive client messages holds at most.
constexpr std::size_t kRunBytes = 64 * 1024;
// What a stop may spend writing the messages still queued.
constexpr std::uint64_t kStopWriteLimitMs = 10000;

pLogQueueElement MakeElement(std::int32_t Kind, TIPConnection& Connection, const char* Data,
                             std::uint32_t Size) {
  auto element = std::make_unique<tLogQueueElement>();
  element->Kind = Kind;
  element->ClientAddress = Connection.ClientAddress;
  element->ClientPort = Connection.ClientPort;
  // The component's buffer is valid only during the call.
  if (Size > 0) element->Data.assign(Data, Size);
  return element;
}

}  // namespace

// The handlers collect; the batch ends hand on what they collected in one
// step (one lock, at most one wake-up of the main loop).

void tMainThread::OnClientData(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize) {
  ReceivedTcp.fetch_add(1, std::memory_order_relaxed);
  // Consecutive messages of one connection share an element, up to a size
  // that keeps the queue's byte bound meaningful.
  if (TcpBatch.empty() || TcpBatch.back()->Kind != lqkClientDataRun || TcpRunSender != &Sender ||
      TcpBatch.back()->Data.size() >= kRunBytes) {
    // Grown as messages come, so a lone message costs no more than before.
    TcpBatch.push_back(MakeElement(lqkClientDataRun, Sender, nullptr, 0));
    TcpRunSender = &Sender;
  }
  AppendUnit(TcpBatch.back()->Data, Packet, PacketSize);
}

void tMainThread::OnClientDataRun(TIPConnection& Sender, std::string& Run) {
  std::uint64_t messages = 0;
  ForEachUnit(Run, [&](const char*, std::size_t) { ++messages; });
  ReceivedTcp.fetch_add(messages, std::memory_order_relaxed);
  // The run's bytes become the element's: nothing is copied.
  pLogQueueElement element = MakeElement(lqkClientDataRun, Sender, nullptr, 0);
  element->Data = std::move(Run);
  TcpBatch.push_back(std::move(element));
  TcpRunSender = nullptr;
}

void tMainThread::OnClientConnect(TIPConnection& Client) {
  TcpBatch.push_back(MakeElement(lqkClientConnect, Client, nullptr, 0));
}

void tMainThread::OnClientDisconnect(TIPConnection& Client) {
  TcpBatch.push_back(MakeElement(lqkClientDisconnect, Client, nullptr, 0));
}

void tMainThread::OnTcpBatchEnd() {
  // Waits while the queue is full, which stops the delivery thread and with
  // it the connections' reading: TCP flow control slows the clients and
  // nothing they sent is dropped. At the stop the queue takes everything.
  if (tLogQueue* queue = LogQueue_.load()) queue->PushManyWaiting(TcpBatch, kLogQueueTcpBytes);
  TcpBatch.clear();
  TcpRunSender = nullptr;
}

void tMainThread::OnSyslogDatagram(TIPConnection& Sender, const char* Packet,
                                   std::uint32_t PacketSize) {
  SyslogBatch.push_back(MakeElement(lqkSyslogDatagram, Sender, Packet, PacketSize));
}

void tMainThread::OnSyslogBatchEnd() {
  ReceivedUdp.fetch_add(SyslogBatch.size(), std::memory_order_relaxed);
  // UDP cannot push back: datagrams that find the queue full are dropped
  // and counted; the main loop reports the count.
  if (tLogQueue* queue = LogQueue_.load()) {
    queue->TryPushMany(SyslogBatch);
    DroppedDatagrams += SyslogBatch.size();
  }
  SyslogBatch.clear();
}

void tMainThread::DispatchBatch(std::vector<pLogQueueElement>& batch) {
  if (batch.empty()) return;
  const TLogFileTable::TBatch written(TLogFileTable::Shared());
  for (pLogQueueElement& element : batch) DispatchElement(std::move(element));
}

void tMainThread::DispatchElement(pLogQueueElement element) {
  if (!element || !Producers_) return;
  const tLogQueueElement& e = *element;
  switch (e.Kind) {
    case lqkClientData:
    case lqkSyslogDatagram:
    case lqkClientDataRun:
      DispatchMessage(e, /*logLines=*/true);
      break;
    case lqkClientConnect:
      WriteServiceLog(true, "CLIENT CONNECTED: " + PeerText(e.ClientAddress, e.ClientPort));
      break;
    case lqkClientDisconnect:
      Producers_->RemoveClientProducers(e.ClientAddress, std::to_string(e.ClientPort));
      WriteServiceLog(true, "CLIENT DISCONNECTED: " + PeerText(e.ClientAddress, e.ClientPort));
      break;
    default:
      break;
  }
  // A run's buffer goes back to the connections for their next read.
  if (e.Kind == lqkClientDataRun) TBufferPool::Shared().Give(std::move(element->Data));
}

void tMainThread::DispatchMessage(const tLogQueueElement& e, bool logLines) {
  const std::string port = std::to_string(e.ClientPort);
  if (e.Kind == lqkClientDataRun) {
    ForEachUnit(e.Data, [&](const char* payload, std::size_t size) {
      DispatchClientMessage(e, port, std::string_view(payload, size), logLines);
    });
  } else if (e.Kind == lqkClientData) {
    DispatchClientMessage(e, port, e.Data, logLines);
  } else {
    std::string text = e.Data;
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.pop_back();
    Producers_->AddMessage(e.ClientAddress, port, "SYSLOG", "syslog", "", text, 0.0);
    if (logLines && Config.LogMode >= 2)
      WriteServiceLog(true, "NEW MSG: " + PeerText(e.ClientAddress, e.ClientPort) + " \"" + text + "\"");
  }
}

void tMainThread::DispatchClientMessage(const tLogQueueElement& e, const std::string& port,
                                        std::string_view payload, bool logLines) {
  tClientLogMessage& message = Decoded;
  if (!DecodeClientLogMessage(payload, message)) return;
  if (message.FilePrefix.empty() && Config.ModuleNameAsFilePrefix)
    message.FilePrefix = message.ModuleName;
  Producers_->AddMessage(e.ClientAddress, port, message.ApplicationName, message.ModuleName,
                         message.FilePrefix, message.Text, message.EventTime);
  if (logLines && Config.LogMode >= 2)
    WriteServiceLog(true, "NEW MSG: " + PeerText(e.ClientAddress, e.ClientPort) + " \"" +
                              message.Text + "\"");
}

void tMainThread::WriteQueuedMessages() {
  tLogQueue* queue = LogQueue_.load();
  if (queue == nullptr || !Producers_) return;
  const std::uint64_t deadline = MonotonicMilliseconds() + kStopWriteLimitMs;
  std::uint64_t unwritten = 0;
  pLogQueueElement element;
  const TLogFileTable::TBatch written(TLogFileTable::Shared());
  while (queue->TryPop(element)) {
    // Connects and disconnects change nothing in the files any more.
    if (element->Kind != lqkClientData && element->Kind != lqkClientDataRun &&
        element->Kind != lqkSyslogDatagram)
      continue;
    if (unwritten > 0 || MonotonicMilliseconds() >= deadline) {
      ++unwritten;
      continue;
    }
    DispatchMessage(*element, /*logLines=*/false);
  }
  if (unwritten > 0)
    WriteServiceLog(false, "NOT WRITTEN AT STOP: " + std::to_string(unwritten) +
                               " messages (time limit)");
}

}  // namespace logserver

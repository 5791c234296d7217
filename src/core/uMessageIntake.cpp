#include "core/uMessageIntake.h"

#include "platform/uTime.h"

namespace logserver {

pLogQueueElement TMessageIntake::MakeElement(std::int32_t kind, const TIPConnection& connection) {
  return MakeElement(kind, connection.ClientAddress, connection.ClientPort);
}

pLogQueueElement TMessageIntake::MakeElement(std::int32_t kind, const std::string& address,
                                             std::uint16_t port) {
  auto element = std::make_unique<tLogQueueElement>();
  element->Kind = kind;
  element->ClientAddress = address;
  element->ClientPort = port;
  element->ArrivedAt = MonotonicMicroseconds();
  return element;
}

void TMessageIntake::OnSyslogStreamOpened(bool tls) {
  TMutexLock lock(SyslogStreamGuard);
  Counts_[tls ? ikSyslogTls : ikSyslogTcp].Connections.fetch_add(1, std::memory_order_relaxed);
}

void TMessageIntake::OnSyslogStreamRun(const std::string& address, std::uint16_t port, TUnitRun& run, bool tls) {
  TMutexLock lock(SyslogStreamGuard);
  Counts_[tls ? ikSyslogTls : ikSyslogTcp].Count(run.Units, run.Bytes.Size() - run.Units * kUnitHeaderBytes);
  pLogQueueElement element = MakeElement(lqkSyslogRun, address, port);
  element->Data = std::move(run.Bytes);
  element->Units = run.Units;
  SyslogStreamBatch.push_back(std::move(element));
}

void TMessageIntake::OnSyslogStreamClosed(const std::string& address, std::uint16_t port, bool tls) {
  TMutexLock lock(SyslogStreamGuard);
  Counts_[tls ? ikSyslogTls : ikSyslogTcp].Connections.fetch_sub(1, std::memory_order_relaxed);
  SyslogStreamBatch.push_back(MakeElement(lqkSyslogClosed, address, port));
}

void TMessageIntake::OnSyslogStreamBatchEnd() {
  TMutexLock lock(SyslogStreamGuard);
  if (SyslogStreamBatch.empty()) return;
  Queue.PushManyWaiting(SyslogStreamBatch, kLogQueueTcpBytes);
  SyslogStreamBatch.clear();
}

void TMessageIntake::OnClientData(TIPConnection& Sender, TUnitRun& Run) {
  TMutexLock lock(TcpGuard);
  // The payloads, without the unit headers.
  Counts_[ikTpkt].Count(Run.Units, Run.Bytes.Size() - Run.Units * kUnitHeaderBytes);
  pLogQueueElement element = MakeElement(lqkClientData, Sender);
  element->Data = std::move(Run.Bytes);
  element->Units = Run.Units;
  TcpBatch.push_back(std::move(element));
}

void TMessageIntake::OnClientConnect(TIPConnection& Client) {
  TMutexLock lock(TcpGuard);
  Counts_[ikTpkt].Connections.fetch_add(1, std::memory_order_relaxed);
  TcpBatch.push_back(MakeElement(lqkClientConnect, Client));
}

void TMessageIntake::OnClientDisconnect(TIPConnection& Client) {
  TMutexLock lock(TcpGuard);
  Counts_[ikTpkt].Connections.fetch_sub(1, std::memory_order_relaxed);
  TcpBatch.push_back(MakeElement(lqkClientDisconnect, Client));
}

void TMessageIntake::OnTcpBatchEnd() {
  TMutexLock lock(TcpGuard);
  // At the stop the queue's bounds are lifted and it takes everything.
  Queue.PushManyWaiting(TcpBatch, kLogQueueTcpBytes);
  TcpBatch.clear();
}

void TMessageIntake::OnSyslogDatagram(TIPConnection& Sender, const char* Packet,
                                      std::uint32_t PacketSize) {
  SyslogThread.AssertCurrent();
  pLogQueueElement element = MakeElement(lqkSyslogDatagram, Sender);
  // The server's buffer is valid only during the call.
  element->Data.Assign(Packet, PacketSize);
  Counts_[ikUdp].Bytes.fetch_add(PacketSize, std::memory_order_relaxed);
  element->Units = 1;
  SyslogBatch.push_back(std::move(element));
}

void TMessageIntake::OnSyslogBatchEnd() {
  SyslogThread.AssertCurrent();
  Counts_[ikUdp].Messages.fetch_add(SyslogBatch.size(), std::memory_order_relaxed);
  Queue.TryPushMany(SyslogBatch);
  DroppedDatagrams_.fetch_add(SyslogBatch.size(), std::memory_order_relaxed);
  SyslogBatch.clear();
}

}  // namespace logserver

// The message intake: network events into log queue elements. The handlers
// the service installs on its server components land here; they only copy
// (or take over) what an event brings, collect the elements of one delivery
// run, and push them onto the log queue in one step when the run ends. They
// never decode, write or wait for anything but room in the queue.
//
// Threading: the TCP handlers run on the TCP component's delivery thread,
// the syslog handlers on the UDP server's thread; each side has its own
// batch, checked by its own thread role. The counters may be read from any
// thread. Ownership: the queue is lent and outlives the intake.
#pragma once

#include "core/uLogQueue.h"
#include "net/uIPServerHeader.h"
#include "platform/uThread.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace logserver {

class TMessageIntake {
 public:
  explicit TMessageIntake(tLogQueue& queue) : Queue(queue) {}
  TMessageIntake(const TMessageIntake&) = delete;
  TMessageIntake& operator=(const TMessageIntake&) = delete;

  // TCP, on the delivery thread. A run's buffer becomes its element's: the
  // messages are not copied.
  void OnClientData(TIPConnection& Sender, TUnitRun& Run);
  void OnClientConnect(TIPConnection& Client);
  void OnClientDisconnect(TIPConnection& Client);
  // Pushes the run's elements; waits while the queue is full (TCP flow
  // control then slows the clients, and nothing they sent is dropped).
  void OnTcpBatchEnd();

  // Syslog, on the UDP server's thread.
  void OnSyslogDatagram(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize);
  // Pushes the run's datagrams; those that find the queue full are dropped
  // and counted (UDP cannot push back).
  void OnSyslogBatchEnd();
  // Syslog over TCP, on that server's thread: a read's messages as a run
  // (taken over, not copied), a closed connection, and the end of a turn,
  // which waits while the queue is full as TCP does.
  void OnSyslogStreamRun(const std::string& address, std::uint16_t port, TUnitRun& run);
  void OnSyslogStreamClosed(const std::string& address, std::uint16_t port);
  void OnSyslogStreamBatchEnd();

  // A new UDP server (a new thread) takes over the syslog handlers; called
  // while no syslog handler runs.
  void SyslogServerReplaced() { SyslogThread.Release(); }

  // Since the start: messages and their bytes taken in per intake,
  // datagrams dropped at a full queue; TCP clients connected now. Any
  // thread.
  std::uint64_t ReceivedTcp() const { return ReceivedTcp_.load(); }
  std::uint64_t ReceivedUdp() const { return ReceivedUdp_.load(); }
  std::uint64_t ReceivedTcpBytes() const { return ReceivedTcpBytes_.load(); }
  std::uint64_t ReceivedUdpBytes() const { return ReceivedUdpBytes_.load(); }
  std::uint64_t DroppedDatagrams() const { return DroppedDatagrams_.load(); }
  std::int64_t TcpConnections() const { return TcpConnections_.load(); }

 private:
  pLogQueueElement MakeElement(std::int32_t kind, const TIPConnection& connection);
  pLogQueueElement MakeElement(std::int32_t kind, const std::string& address, std::uint16_t port);

  tLogQueue& Queue;
  TThreadRole TcpThread;
  TThreadRole SyslogThread;
  TThreadRole SyslogStreamThread;
  std::vector<pLogQueueElement> SyslogStreamBatch GUARDED_BY(SyslogStreamThread);
  std::vector<pLogQueueElement> TcpBatch GUARDED_BY(TcpThread);
  std::vector<pLogQueueElement> SyslogBatch GUARDED_BY(SyslogThread);
  std::atomic<std::uint64_t> ReceivedTcp_{0};
  std::atomic<std::uint64_t> ReceivedUdp_{0};
  std::atomic<std::uint64_t> ReceivedTcpBytes_{0};
  std::atomic<std::uint64_t> ReceivedUdpBytes_{0};
  std::atomic<std::uint64_t> DroppedDatagrams_{0};
  std::atomic<std::int64_t> TcpConnections_{0};
};

}  // namespace logserver

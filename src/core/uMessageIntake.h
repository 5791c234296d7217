// The message intake: network events into log queue elements. The handlers
// the service installs on its server components land here; they only copy
// (or take over) what an event brings, collect the elements of one delivery
// run, and push them onto the log queue in one step when the run ends. They
// never decode, write or wait for anything but room in the queue.
//
// Threading: the TCP and the syslog stream handlers run on the event loops'
// threads, several at once; each of those sides keeps one batch under its
// own lock, so a connection's elements keep their order and a batch end
// pushes everything collected so far. The UDP handlers run on the UDP
// server's thread, checked by a thread role. The counters may be read from
// any thread. Ownership: the queue is lent and outlives the intake.
#pragma once

#include "core/uLogQueue.h"
#include "net/uIPServerHeader.h"
#include "platform/uSync.h"
#include "platform/uThread.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace logserver {

// What one intake took in since the start, and its connections now.
struct TIntakeCounts {
  std::atomic<std::uint64_t> Messages{0};
  std::atomic<std::uint64_t> Bytes{0};  // the messages' own, no framing
  std::atomic<std::int64_t> Connections{0};
  void Count(std::uint64_t messages, std::uint64_t bytes) {
    Messages.fetch_add(messages, std::memory_order_relaxed);
    Bytes.fetch_add(bytes, std::memory_order_relaxed);
  }
};

class TMessageIntake {
 public:
  explicit TMessageIntake(tLogQueue& queue) : Queue(queue) {}
  // The queue its elements go to.
  tLogQueue& QueueOf() const { return Queue; }
  TMessageIntake(const TMessageIntake&) = delete;
  TMessageIntake& operator=(const TMessageIntake&) = delete;

  // TCP, on any event loop. A run's buffer becomes its element's: the
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
  // Syslog over TCP and TLS, on any event loop: a new connection, a
  // read's messages as a run (taken over, not copied), a closed connection,
  // and the end of a turn, which waits while the queue is full as TCP does.
  void OnSyslogStreamOpened(bool tls);
  void OnSyslogStreamRun(const std::string& address, std::uint16_t port, TUnitRun& run, bool tls);
  void OnSyslogStreamClosed(const std::string& address, std::uint16_t port, bool tls);
  void OnSyslogStreamBatchEnd();

  // A new UDP server (a new thread) takes over the syslog handlers; called
  // while no syslog handler runs.
  void SyslogServerReplaced() { SyslogThread.Release(); }

  // Per intake: messages and their bytes taken in since the start,
  // connections now; datagrams dropped at a full queue. Any thread.
  const TIntakeCounts& Counts(TIntakeKind kind) const { return Counts_[kind]; }
  std::uint64_t DroppedDatagrams() const { return DroppedDatagrams_.load(); }

 private:
  pLogQueueElement MakeElement(std::int32_t kind, const TIPConnection& connection);
  pLogQueueElement MakeElement(std::int32_t kind, const std::string& address, std::uint16_t port);

  tLogQueue& Queue;
  TMutex TcpGuard;
  TThreadRole SyslogThread;
  TMutex SyslogStreamGuard;
  std::vector<pLogQueueElement> SyslogStreamBatch GUARDED_BY(SyslogStreamGuard);
  std::vector<pLogQueueElement> TcpBatch GUARDED_BY(TcpGuard);
  std::vector<pLogQueueElement> SyslogBatch GUARDED_BY(SyslogThread);
  TIntakeCounts Counts_[kIntakeKinds];
  std::atomic<std::uint64_t> DroppedDatagrams_{0};
};

}  // namespace logserver

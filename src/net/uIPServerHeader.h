// The vocabulary every network server shares: the peer identity carried by
// each event source, the event kinds, the handler signatures, and the setup
// a component hands the server it starts.
//
// Handlers run on the server's threads (TCP: the event loops, one handler
// call at a time per listener; UDP: the server thread). Packet data handed
// to a handler belongs to the caller and is valid only during the call.
#pragma once

#include "net/uAddressPlaces.h"
#include "platform/uBufferPool.h"
#include "platform/uCaughtFailures.h"
#include "platform/uSync.h"
#include "platform/uUnitRun.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

namespace logserver {

class TEventLoops;
class TUnfinishedBytes;
class TSenderRates;

// The intakes whose messages and connections the service counts.
enum TIntakeKind : std::size_t { ikTpkt, ikUdp, ikSyslogTcp, ikSyslogTls, kIntakeKinds };
// Their names in reports and metrics.
inline constexpr const char* kIntakeNames[kIntakeKinds] = {"tpkt", "udp", "syslog_tcp", "syslog_tls"};

// What raises events for one peer (a TCP connection) or for the peer of the
// event just raised (the UDP server).
class TIPConnection {
 public:
  virtual ~TIPConnection() = default;
  TIPConnection(const TIPConnection&) = delete;
  TIPConnection& operator=(const TIPConnection&) = delete;

  // TCP: the connection's number in its listener. UDP: the peer's slot.
  std::uint16_t ClientID = 0;
  // Peer address as text: a dotted quad, or an IPv6 address.
  std::string ClientAddress;
  // Peer port, host byte order.
  std::uint16_t ClientPort = 0;

  // setsockopt on the peer's socket: 0 on success, -1 on failure.
  virtual int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) = 0;

 protected:
  TIPConnection() = default;
};

enum TConnectionEvent : std::uint8_t {
  ceConnect = 0,
  ceDisconnect = 1,
  ceReceiveData = 2,
  ceSendData = 3,
};

// An empty std::function is an unset handler: its events are dropped.
using tNotifyTCPEvent = std::function<void(TIPConnection& Client)>;
using tNotifyDataTCPEvent =
    std::function<void(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize)>;

// The units one read of a TCP connection completed, as a run (uUnitRun). The
// handler may take the run (move from it); what it leaves goes back to its
// pool.
using TNotifyRunTCPEvent = std::function<void(TIPConnection& Sender, TUnitRun& Run)>;

// Raised on a server's thread after a run of events (a loop's turn, a UDP
// read), before it waits for more: a handler that collects what the events
// bring can hand it on in one step here.
using TNotifyBatchEndEvent = std::function<void()>;

// What a server counts for its owner, beside the events it raises: read by
// other threads (statistics, metrics) at any time. The owner lends it
// through the setup; it outlives the server.
struct TServerCounters {
  // TCP: bytes that belonged to no frame and were skipped, and the peer that
  // sent the last of them ("address:port").
  std::atomic<std::uint64_t> UnframedBytes{0};
  void NoteUnframed(std::uint64_t bytes, const std::string& peer) EXCLUDES(PeerGuard) {
    UnframedBytes.fetch_add(bytes, std::memory_order_relaxed);
    TMutexLock lock(PeerGuard);
    LastUnframedPeer = peer;
  }
  std::string UnframedPeer() EXCLUDES(PeerGuard) {
    TMutexLock lock(PeerGuard);
    return LastUnframedPeer;
  }
  // UDP: datagrams the kernel dropped because the socket's buffer was full,
  // and the buffer's size in bytes.
  std::atomic<std::uint64_t> KernelDrops{0};
  std::atomic<int> ReceiveBufferBytes{0};
  // TCP: connections closed at once because their address held its share
  // (TServerSetup::PerAddress), and connections closed idle.
  std::atomic<std::uint64_t> RefusedPerAddress{0};
  std::atomic<std::uint64_t> ClosedIdle{0};

 private:
  TMutex PeerGuard;
  std::string LastUnframedPeer GUARDED_BY(PeerGuard);
};

// What a component hands the server it starts, and the component's own
// storage of it: the handlers, the address (dotted quad or host name) and
// port to bind, and what the owner lends the server.
//
// TCP data reaches OnReceiveRun, a run per read; a TCP owner that sets only
// OnReceive gets each unit of the run through it instead. UDP raises
// OnReceive per datagram.
struct TServerSetup {
  tNotifyDataTCPEvent OnReceive;
  tNotifyDataTCPEvent OnSend;
  tNotifyTCPEvent OnDisconnect;
  tNotifyTCPEvent OnConnect;
  TNotifyBatchEndEvent OnBatchEnd;
  TNotifyRunTCPEvent OnReceiveRun;
  std::string IPAddress;
  std::uint16_t IPPort = 0;
  // Borrowed, may be null: where read buffers come from (null: each read
  // allocates), where errors caught in handlers and server threads are
  // counted (null: they go to stderr), where the server counts what it saw
  // (null: not counted), the event loops that serve TCP connections (null:
  // a listener runs loops of its own). They must outlive the server and
  // everything it hands on.
  TBufferPool* Buffers = nullptr;
  TCaughtFailures* Failures = nullptr;
  TServerCounters* Counters = nullptr;
  TEventLoops* Loops = nullptr;
  // TCP: what one address may hold at once (no cap by default), and how
  // long a connection may send nothing before CloseIdle ends it (0: for
  // ever).
  TAddressCaps PerAddress;
  std::uint32_t IdleSeconds = 0;
  // TCP, borrowed, may be null: where the bytes of frames not yet whole
  // are held (uUnfinishedBytes).
  TUnfinishedBytes* Unfinished = nullptr;
  // TCP and UDP, borrowed, may be null: the per-sender allowances
  // (uSenderRates).
  TSenderRates* Rates = nullptr;
};

// Waits on `semaphore` for at most `Milliseconds` (see TSemaphore::TimedWait).
inline bool TimedWait(TSemaphore& semaphore, int Milliseconds) {
  return semaphore.TimedWait(Milliseconds);
}

// A server's start wait: true once `started` was posted (Code 0); otherwise
// Code is the server's last error, read after the wait since a failing start
// sets it meanwhile, or else the errno of the wait that ran out.
inline bool WaitForStartSignal(TSemaphore& started, int Milliseconds,
                               const std::atomic<int>& lastError, int& Code) {
  if (TimedWait(started, Milliseconds)) {
    Code = 0;
    return true;
  }
  const int waitError = errno;
  const int last = lastError.load();
  Code = last != 0 ? last : waitError;
  return false;
}

}  // namespace logserver

// The vocabulary every network server shares: the peer identity carried by
// each event source, the event kinds, the handler signatures and the record
// that carries one TCP event to the delivery thread.
//
// Handlers run on the server's delivery thread (TCP: the receive manager;
// UDP: the server thread). Packet data handed to a handler belongs to the
// caller and is valid only during the call.
#pragma once

#include "platform/uSync.h"
#include "platform/uThread.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

namespace logserver {

// A thread that raises events for one peer (a TCP connection) or for the
// peer of the event just raised (the UDP server).
class TIPConnection : public TThread {
 public:
  // TCP: the connection's number in its listener. UDP: the peer's slot.
  std::uint16_t ClientID = 0;
  // Peer IPv4 address, dotted quad.
  std::string ClientAddress;
  // Peer port, host byte order.
  std::uint16_t ClientPort = 0;

  // setsockopt on the peer's socket: 0 on success, -1 on failure.
  virtual int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) = 0;

 protected:
  using TThread::TThread;
};

enum TConnectionEvent : std::uint8_t {
  ceConnect = 0,
  ceDisconnect = 1,
  ceReceiveData = 2,
  ceSendData = 3,
  ceShutDown = 4,  // internal: wakes the delivery thread; never reaches a handler
};

// An empty std::function is an unset handler: its events are dropped.
using tNotifyTCPEvent = std::function<void(TIPConnection& Client)>;
using tNotifyDataTCPEvent =
    std::function<void(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize)>;

// The units of one read at once (a run, see uUnitRun), for a handler that
// would otherwise copy each: it may take the bytes of `Run` (move from it).
// When it is set, OnReceive is not raised for those units.
using tNotifyRunTCPEvent = std::function<void(TIPConnection& Sender, std::string& Run)>;

// Raised on a server's delivery thread after a run of events, before it
// waits for more: a handler that collects what the events bring can hand it
// on in one step here.
using tNotifyBatchEndEvent = std::function<void()>;

// The handlers of a server; they travel together from a component to the
// server it starts.
struct tServerEvents {
  tNotifyDataTCPEvent OnReceive;
  tNotifyDataTCPEvent OnSend;
  tNotifyTCPEvent OnDisconnect;
  tNotifyTCPEvent OnConnect;
  tNotifyBatchEndEvent OnBatchEnd;
  tNotifyRunTCPEvent OnReceiveRun;
};

// Everything a component hands the server it starts: the handlers, and the
// IPv4 address (dotted quad or host name) and port to bind.
struct tServerSetup {
  tServerEvents Events;
  std::string IPAddress;
  std::uint16_t IPPort = 0;
};

class TCustomTCPConnection;

// One TCP event on its way to the delivery thread; Data is the record's own
// copy (its size is the event's Size). A Packed ceReceiveData record carries
// the units of one read as a run (uUnitRun): each is delivered as its own
// ceReceiveData, in order.
struct tReceiveMSG {
  TConnectionEvent Event = ceShutDown;
  TCustomTCPConnection* Connection = nullptr;
  std::string Data;
  bool Packed = false;
};

// Calls an event handler; no error a handler raises leaves the server's
// thread.
template <class F>
void CallHandlerSafely(const F& call) {
  try {
    call();
  } catch (...) {
  }
}

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

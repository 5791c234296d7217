// UDP server: one thread that owns one datagram socket, reads every datagram
// (a run at a time, with one call, polling only once the socket is empty),
// keeps the table of peers it has seen, raises the events, and carries out
// the send commands other threads queue for it. This header gathers the
// UDP parts:
//
//   uUDPClientList  the peer table
//   uSendQueue      the send commands and their queue
//
// Threading: every socket call and every event runs on the server thread.
// The send operations may be called from any thread; they only queue a
// command, under StateGuard, which also orders them against the server
// thread opening and freeing its socket, send queue and peer list, so they
// never reach freed objects. The server thread itself uses those through a
// TServing it takes once they are open.
#pragma once

#include "net/uIPServerHeader.h"
#include "net/uSendQueue.h"
#include "net/uSenderRates.h"
#include "net/uUDPClientList.h"
#include "platform/uDescriptor.h"
#include "platform/uSocket.h"
#include "platform/uThread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logserver {

class tUDPServer : public TThread, public TIPConnection {
 public:
  static constexpr int kBufferSize = 8192;

  // Builds the server and starts its thread; the socket is opened there,
  // or `bound` (from Bind) is served instead.
  static std::unique_ptr<tUDPServer> Create(const TServerSetup& Setup, TDescriptor bound = {});
  // A datagram socket bound to `address` and `port` (invalid, `error` set,
  // when it cannot be), for a server to take over: bound before the server
  // in use stops, datagrams to it wait in its buffer meanwhile.
  static TDescriptor Bind(const std::string& address, std::uint16_t port, int& error);
  // Stops serving after the datagrams already in the socket's buffer are
  // read and handed on (a moved port: they were sent before it moved), then
  // joins the thread.
  void DrainAndStop();
  ~tUDPServer() override;

  // True once serving began (the signal is used up); else ErrorCode is
  // LastError, or the errno of the timed-out wait.
  bool WaitStarted(int TimeoutMs, int& ErrorCode);
  // 1 without touching the socket once terminated.
  int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) override
      EXCLUDES(StateGuard);

  // Send operations: queue a command and return at once; nothing happens
  // while the server is stopping or not serving.
  void SendToClient(std::uint16_t ClientID, const char* Data, int Size);
  void SendToIP(const std::string& Address, std::uint16_t Port, const char* Data, int Size);
  void SendToAll(const char* Data, int Size) EXCLUDES(StateGuard);
  void DisconnectClient(std::uint16_t ClientID);
  // "address:port" of the peer in that slot, or empty.
  std::string GetClientText(std::uint16_t ClientID) EXCLUDES(StateGuard);
  // The socket's granted receive buffer in bytes, -1 while not serving.
  int ReceiveBufferSize() EXCLUDES(StateGuard);

  int LastError() const { return LastError_.load(); }
  // True once the server could not open its socket, or stopped serving
  // after a failure; LastError says why. The thread has ended then.
  bool Failed() const { return Failed_.load(); }
  // The port bound (0 before serving); for tests that bind port 0.
  std::uint16_t BoundPort() const { return BoundPort_.load(); }

  // The handlers, address (IPAddress) and port (IPPort) given at creation.
  const TServerSetup Setup;

 protected:
  void Execute() override;
  void Wake() override { WakeUp.Signal(); }

 private:
  // What the server thread serves with while it serves: the socket, peer
  // list and send queue it opened (they stay until it frees them).
  struct TServing {
    int Socket = -1;
    TUDPClintList* Clients = nullptr;
    TSendQueue* Queue = nullptr;
  };

  tUDPServer(const TServerSetup& setup, TDescriptor bound);
  // Reads what waits in the socket, a bounded number of batches.
  void Drain(TServing& serving);

  bool OpenSocket(TServing& serving) EXCLUDES(StateGuard);
  void ServeLoop(TServing& serving);
  void CloseSocket() EXCLUDES(StateGuard);
  // Raises the events of the i-th datagram of the last read.
  void HandleDatagram(TServing& serving, int i);
  // Carries out queued commands while the socket takes them; false on a
  // failure that ends serving.
  bool SendQueued(TServing& serving);
  void SendPending(TServing& serving);
  // Queues a command if the server is serving.
  void PushCommand(pSendMSG Msg) EXCLUDES(StateGuard);
  void SetPeer(std::uint16_t id, const std::string& address, std::uint16_t port);
  void RaiseEvent(const tNotifyTCPEvent& event);

  TMutex StateGuard;
  TDescriptor Socket GUARDED_BY(StateGuard);
  std::unique_ptr<TUDPClintList> Clients GUARDED_BY(StateGuard);
  std::unique_ptr<TSendQueue> SendQueue GUARDED_BY(StateGuard);

  std::atomic<int> LastError_{0};
  std::atomic<bool> Failed_{false};
  std::atomic<std::uint16_t> BoundPort_{0};
  std::atomic<bool> DrainAtStop{false};
  TDescriptor Bound;  // given at creation, taken by OpenSocket
  // Server thread only: the datagrams of one read, and the last sender.
  TDatagramBatch Datagrams;
  TSocketAddress CachedAddress;
  std::string CachedAddressText;
  std::shared_ptr<TSenderRate> CachedRate;  // its allowance, null: not limited
  std::uint64_t CachedRateGeneration = 0;   // of the limits it was found under
  std::uint16_t CachedPort = 0;
  std::uint16_t CachedSlot = 0;
  bool CachedSlotValid = false;
  TWakeEvent WakeUp;  // send commands and the stop
  TSemaphore ServingStarted{0};
};

}  // namespace logserver

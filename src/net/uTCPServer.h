// TCP server: the listener that accepts clients and owns them. This header
// gathers the TCP parts:
//
//   uTPKTFilter      receive filters and TPKT framing
//   uReceiveManager  the queue and thread that deliver every event of a listener
//   uTCPConnection   one thread per accepted client
//
// Lock order: a listener's ListLock before a connection's SendLock, never
// the reverse; connection threads never take ListLock. No handler is called
// while a queue lock is held.
//
// Ownership: the listener owns its connections and its receive manager; a
// connection owns its socket and its filter. Shutdown (CloseAllConnections)
// asks every connection to end, stops the delivery thread, and only then
// destroys the connections, so no handler ever sees a destroyed connection.
#pragma once

#include "net/uIPServerHeader.h"
#include "net/uReceiveManager.h"
#include "net/uTCPConnection.h"
#include "net/uTPKTFilter.h"
#include "platform/uDescriptor.h"
#include "platform/uSocket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace logserver {

// Owns one listening socket, accepts clients and keeps the live connections.
// It never gives up: any failure of socket, bind, listen or accept is kept in
// LastError and a new cycle starts (after 50 ms when socket set-up failed).
class TCustomTCPServer : public TThread {
 public:
  ~TCustomTCPServer() override;

  // Component's stop sequence: Terminate, CloseListenSocket, WaitFor, destroy.
  // Wakes a listener blocked on its socket; safe from any thread.
  void CloseListenSocket();

  // True once the loop has begun a cycle; else Code = LastError, or the errno
  // of the timed-out wait.
  bool WaitStarted(int Milliseconds, int& Code);

  TIPConnection* GetConnection(std::uint16_t ID);
  bool ClientExists(std::uint16_t ID);
  // Terminates the connection's thread; it then closes itself.
  bool TerminateConnection(std::uint16_t ID);
  // -2 when there is no such connection.
  int SetConnectionOption(std::uint16_t ID, int Level, int OptName, const void* OptVal, int OptLen);
  void SendToConnection(TIPConnection* Connection, const char* Data, int Size);
  void SendToID(std::uint16_t ID, const char* Data, int Size);
  void SendToAll(const char* Data, int Size);
  std::size_t ConnectionCount();

  // Connections and the receive manager.
  void RemoveConnection(std::uint16_t ID);
  // Hands `message` to the receive manager; see TReceiveManagerQueue::Push.
  bool PostEvent(tReceiveMSG message, const TThread* canceller);

  // The errno of the last failed step; 0 while a cycle runs without failure.
  int LastError() const { return LastError_.load(); }
  // The errno of the last failed attempt to listen, 0 once listening: unlike
  // LastError it does not flicker to 0 at the start of every failing cycle.
  int ListenFailure() const { return ListenFailure_.load(); }
  // The port actually listened on (0 while not listening).
  std::uint16_t ListeningPort() const { return ListeningPort_.load(); }

  // Copies of the handlers given at construction.
  const tNotifyDataTCPEvent OnReceive;
  const tNotifyDataTCPEvent OnSend;
  const tNotifyTCPEvent OnDisconnect;
  const tNotifyTCPEvent OnConnect;
  const tNotifyBatchEndEvent OnBatchEnd;
  const tNotifyRunTCPEvent OnReceiveRun;
  const std::uint16_t IPPort;
  const std::string& IPAddress() const { return IPAddress_; }

  // Builds a suspended listener; the class factories (CreateAs) start it.
  explicit TCustomTCPServer(const tServerSetup& setup);

 protected:
  // Builds a listener of class T and starts it (the class reference's
  // virtual constructor).
  template <class T>
  static std::unique_ptr<TCustomTCPServer> CreateAs(const tServerSetup& setup) {
    std::unique_ptr<TCustomTCPServer> server(new T(setup));
    server->Start();
    return server;
  }

  void Execute() override;
  // Registers a connection for an accepted socket, which it owns from here
  // on; returns its ID or -1.
  virtual int CreateConnection(TDescriptor Socket, const TSocketAddress& Peer);
  int AddConnection(TDescriptor Socket, const TSocketAddress& Peer, tReceiveFilterType FilterClass);

 private:
  void SetIPAddress(const std::string& text);
  void AcceptLoop(int listenSocket);
  void CloseOwnListenSocket();
  void CloseAllConnections();
  TCustomTCPConnection* Find(std::uint16_t ID);

  std::string IPAddress_;

  // The listening socket is closed only by the listener thread; other
  // threads may shut it down to wake the thread. ListenGuard orders both.
  std::mutex ListenGuard;
  TDescriptor ListenSocket;  // guarded by ListenGuard

  TRecursiveLock ListLock;
  // In order of registration; guarded by ListLock.
  std::vector<std::pair<std::uint16_t, std::unique_ptr<TCustomTCPConnection>>> Connections;

  std::atomic<TReceiveManager*> ReceiveManager{nullptr};
  std::unique_ptr<TReceiveManager> ReceiveManagerOwner;
  std::atomic<int> LastError_{0};
  std::atomic<int> ListenFailure_{0};
  std::atomic<std::uint16_t> ListeningPort_{0};
  TSemaphore Started{0};
};

// Class reference with virtual constructor for listeners.
using TTCPServerType = std::unique_ptr<TCustomTCPServer> (*)(const tServerSetup& Setup);

}  // namespace logserver

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
//
// Dependencies run one way: the listener knows its connections and its
// receive manager; they know nothing of it and reach it only through the
// callbacks it gives them (posting an event, a connection that ended).
#pragma once

#include "net/uIPServerHeader.h"
#include "net/uReceiveManager.h"
#include "net/uTCPConnection.h"
#include "net/uTPKTFilter.h"
#include "platform/uDescriptor.h"
#include "platform/uSocket.h"
#include "platform/uSync.h"
#include "platform/uWakeEvent.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace logserver {

// Owns one listening socket, accepts clients and keeps the live connections.
// It never gives up: any failure of socket, bind, listen or accept is kept in
// LastError and a new cycle starts (after 50 ms when socket set-up failed).
// While it waits for clients it sleeps until one comes or it is stopped.
class TCustomTCPServer : public TThread {
 public:
  ~TCustomTCPServer() override;

  // Component's stop sequence: Terminate, CloseListenSocket, WaitFor, destroy.
  // Wakes a listener blocked on its socket; safe from any thread.
  void CloseListenSocket();

  // True once the loop has begun a cycle; else Code = LastError, or the errno
  // of the timed-out wait.
  bool WaitStarted(int Milliseconds, int& Code);

  TIPConnection* GetConnection(std::uint16_t ID) EXCLUDES(ListLock);
  bool ClientExists(std::uint16_t ID) EXCLUDES(ListLock);
  // Terminates the connection's thread; it then closes itself.
  bool TerminateConnection(std::uint16_t ID) EXCLUDES(ListLock);
  // -2 when there is no such connection.
  int SetConnectionOption(std::uint16_t ID, int Level, int OptName, const void* OptVal, int OptLen)
      EXCLUDES(ListLock);
  void SendToConnection(TIPConnection* Connection, const char* Data, int Size) EXCLUDES(ListLock);
  void SendToID(std::uint16_t ID, const char* Data, int Size) EXCLUDES(ListLock);
  void SendToAll(const char* Data, int Size) EXCLUDES(ListLock);
  std::size_t ConnectionCount() EXCLUDES(ListLock);

  // The receive manager's thread, after a disconnect was delivered.
  void RemoveConnection(std::uint16_t ID) EXCLUDES(ListLock);
  // The connections' threads: hands `message` to the receive manager (see
  // TReceiveManagerQueue::Push).
  bool PostEvent(tReceiveMSG& message, const TThread* canceller);

  // The errno of the last failed step; 0 while a cycle runs without failure.
  int LastError() const { return LastError_.load(); }
  // The errno of the last failed attempt to listen, 0 once listening: unlike
  // LastError it does not flicker to 0 at the start of every failing cycle.
  int ListenFailure() const { return ListenFailure_.load(); }
  // The port actually listened on (0 while not listening).
  std::uint16_t ListeningPort() const { return ListeningPort_.load(); }

  // The handlers, address and port given at construction: the listener's
  // one copy, which its receive manager reads too.
  const TServerSetup Setup;
  // The address bound: Setup's, with a host name resolved.
  const std::string& IPAddress() const { return ResolvedAddress; }

  // Builds a suspended listener; the class factories (CreateAs) start it.
  explicit TCustomTCPServer(const TServerSetup& setup);

 protected:
  // Builds a listener of class T and starts it (the class reference's
  // virtual constructor).
  template <class T>
  static std::unique_ptr<TCustomTCPServer> CreateAs(const TServerSetup& setup) {
    std::unique_ptr<TCustomTCPServer> server(new T(setup));
    server->Start();
    return server;
  }

  void Execute() override;
  void Wake() override { WakeUp.Signal(); }
  // Registers a connection for an accepted socket, which it owns from here
  // on; returns its ID or -1.
  virtual int CreateConnection(TDescriptor Socket, const TSocketAddress& Peer);
  int AddConnection(TDescriptor Socket, const TSocketAddress& Peer, tReceiveFilterType FilterClass)
      EXCLUDES(ListLock);

 private:
  void SetIPAddress(const std::string& text);
  void AcceptLoop(int listenSocket);
  void CloseOwnListenSocket() EXCLUDES(ListenGuard);
  void CloseAllConnections() EXCLUDES(ListLock);
  TCustomTCPConnection* Find(std::uint16_t ID) REQUIRES(ListLock);

  std::string ResolvedAddress;

  // The listening socket is closed only by the listener thread; other
  // threads may shut it down to wake the thread. ListenGuard orders both.
  TMutex ListenGuard;
  TDescriptor ListenSocket GUARDED_BY(ListenGuard);
  // Wakes the accept wait when the listener is stopped.
  TWakeEvent WakeUp;

  TRecursiveLock ListLock;
  // In order of registration.
  std::vector<std::pair<std::uint16_t, std::unique_ptr<TCustomTCPConnection>>> Connections
      GUARDED_BY(ListLock);

  std::atomic<TReceiveManager*> ReceiveManager{nullptr};
  std::unique_ptr<TReceiveManager> ReceiveManagerOwner;
  std::atomic<int> LastError_{0};
  std::atomic<int> ListenFailure_{0};
  std::atomic<std::uint16_t> ListeningPort_{0};
  TSemaphore CycleStarted{0};
};

// Class reference with virtual constructor for listeners.
using TTCPServerType = std::unique_ptr<TCustomTCPServer> (*)(const TServerSetup& Setup);

}  // namespace logserver

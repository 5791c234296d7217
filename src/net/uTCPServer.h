// TCP server: the listener that accepts clients onto the event loops and
// owns them. This header gathers the TCP parts:
//
//   uTPKTFilter     receive filters and TPKT framing
//   uListener       the listening socket: bind, retry, accept, rest
//   uTCPConnection  one accepted client, driven by its loop
//
// Handlers: every event of a connection is raised on its loop, in the
// connection's order; HandlerGuard lets one handler call of a listener run
// at a time, whichever loop raises it, so an owner's handlers need no lock
// of their own. OnBatchEnd follows every loop turn that raised something.
//
// Lock order: HandlerGuard, then ListLock, then a connection's SendLock;
// never the reverse. No handler is called while ListLock is held.
//
// Ownership: the listener owns its connections and its listening socket,
// and its loops when the setup lends none. Stop stops accepting, shuts every
// connection on its own loop, and only then frees them, so no handler ever
// sees a freed connection and none runs once Stop returned.
#pragma once

#include "net/uEventLoop.h"
#include "net/uIPServerHeader.h"
#include "net/uListener.h"
#include "net/uTCPConnection.h"
#include "net/uTPKTFilter.h"
#include "platform/uDescriptor.h"
#include "platform/uSocket.h"
#include "platform/uSync.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace logserver {

// Listens on one port and keeps the live connections. It never gives up: a
// port that cannot be bound is tried again (see TListener) and the failure
// kept in ListenFailure.
class TCustomTCPServer : private TConnectionOwner, private TTurnEnd {
 public:
  virtual ~TCustomTCPServer();
  TCustomTCPServer(const TCustomTCPServer&) = delete;
  TCustomTCPServer& operator=(const TCustomTCPServer&) = delete;

  // Stops accepting and ends every connection without raising anything;
  // once it returns no handler runs. Not from a handler.
  void Stop() EXCLUDES(ListLock);

  // The listener binds as it is created: true, Code 0.
  bool WaitStarted(int Milliseconds, int& Code);

  TIPConnection* GetConnection(std::uint16_t ID) EXCLUDES(ListLock);
  bool ClientExists(std::uint16_t ID) EXCLUDES(ListLock);
  // Ends the connection on its loop; it raises its disconnect there.
  bool TerminateConnection(std::uint16_t ID) EXCLUDES(ListLock);
  // -2 when there is no such connection.
  int SetConnectionOption(std::uint16_t ID, int Level, int OptName, const void* OptVal, int OptLen)
      EXCLUDES(ListLock);
  void SendToConnection(TIPConnection* Connection, const char* Data, int Size) EXCLUDES(ListLock);
  void SendToID(std::uint16_t ID, const char* Data, int Size) EXCLUDES(ListLock);
  void SendToAll(const char* Data, int Size) EXCLUDES(ListLock);
  std::size_t ConnectionCount() EXCLUDES(ListLock);
  // Ends every connection that sent nothing for IdleSeconds (none when it
  // is 0); returns how many. Any thread but a loop's.
  std::size_t CloseIdle() EXCLUDES(ListLock);
  // A reload's caps per address and idle time, for the connections to come
  // and the next idle check; no open connection is closed for them.
  void SetLimits(TAddressCaps caps, std::uint32_t idleSeconds) EXCLUDES(ListLock);
  // A reload's address and port, on the owner's thread: ListenerFor binds
  // them beside the listener in use (null, `error` set, when they cannot
  // listen); TakeListener then puts it in place of the one in use, which
  // stops. The connections made on the old port go on.
  std::unique_ptr<TListener> ListenerFor(const std::string& address, std::uint16_t port, int& error);
  void TakeListener(std::unique_ptr<TListener> listener);

  // The errno of the last failed step (accepts included); 0 while all goes well.
  int LastError() const;
  // The errno of the last failed attempt to listen, 0 once listening.
  int ListenFailure() const;
  // The port actually listened on (0 while not listening).
  std::uint16_t ListeningPort() const;
  // How often accepting rested for want of descriptors or memory.
  std::uint64_t AcceptRests() const;

  // The handlers, address and port given at construction.
  const TServerSetup Setup;
  // The address bound: Setup's, with a host name resolved.
  const std::string& IPAddress() const { return ResolvedAddress; }

  explicit TCustomTCPServer(const TServerSetup& setup);

 protected:
  // Builds a listener of class T and starts it (the class reference's
  // virtual constructor).
  template <class T>
  static std::unique_ptr<TCustomTCPServer> CreateAs(const TServerSetup& setup) {
    std::unique_ptr<TCustomTCPServer> server = std::make_unique<T>(setup);
    server->Start();
    return server;
  }

  // Registers a connection for an accepted socket, which it owns from here
  // on; returns its ID or -1. On the listener's loop.
  virtual int CreateConnection(TDescriptor Socket, const TSocketAddress& Peer);
  int AddConnection(TDescriptor Socket, const TSocketAddress& Peer, tReceiveFilterType FilterClass)
      EXCLUDES(ListLock);

 private:
  void Start();
  std::unique_ptr<TListener> MakeListener(const std::string& address, std::uint16_t port);
  void SetIPAddress(const std::string& text);
  TCustomTCPConnection* Find(std::uint16_t ID) REQUIRES(ListLock);
  void Raise(TCustomTCPConnection& connection, TConnectionEvent event, TUnitRun* run,
             const char* data, int size) override EXCLUDES(HandlerGuard);
  void Ended(TCustomTCPConnection& connection) override EXCLUDES(ListLock);
  void OnTurnEnd() override EXCLUDES(HandlerGuard);

  std::string ResolvedAddress;
  std::unique_ptr<TEventLoops> OwnLoops;
  TEventLoops* Loops = nullptr;
  std::unique_ptr<TListener> Listener;
  std::atomic<bool> Stopping{false};
  std::atomic<std::uint32_t> IdleSeconds;

  TMutex HandlerGuard;
  TRecursiveLock ListLock;
  // In order of registration.
  std::vector<std::pair<std::uint16_t, std::unique_ptr<TCustomTCPConnection>>> Connections
      GUARDED_BY(ListLock);
  TAddressPlaces Places GUARDED_BY(ListLock);
};

// Class reference with virtual constructor for listeners.
using TTCPServerType = std::unique_ptr<TCustomTCPServer> (*)(const TServerSetup& Setup);

}  // namespace logserver

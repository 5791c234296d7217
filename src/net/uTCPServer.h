// TCP server: receive filters with TPKT framing, the receive manager that
// delivers every event of a listener on one thread, one thread per accepted
// connection, and the listener that accepts clients and owns them.
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
#include "platform/uSocket.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace logserver {

// ---------------------------------------------------------------------------
// Receive filters. Used by one connection thread only; no locks.

// Pass-through: units are the socket's read boundaries; chunks go out as they are.
class tEmptyReceiveFilter {
 public:
  static std::unique_ptr<tEmptyReceiveFilter> Create();
  virtual ~tEmptyReceiveFilter() = default;

  // How many more bytes the pending unit needs.
  virtual int BytesNeeded();
  // The bytes to write for one outgoing chunk.
  virtual std::string Encode(const char* Data, int Size);
  // Takes newly received bytes (or none) and returns at most one unit,
  // possibly empty. More asks to be called again with no data.
  virtual std::string Decode(const char* Data, int Size, bool& More);

 protected:
  tEmptyReceiveFilter() = default;
  std::string Buffer;
};

// Class reference with virtual constructor for filters.
using tReceiveFilterType = std::unique_ptr<tEmptyReceiveFilter> (*)();

// TPKT (RFC 1006): 03 00, a big-endian length of 4 to 65535 that counts the
// 4-byte header, then the payload. Bytes that start no frame (another
// version, or a length below 4) are discarded two at a time.
class tTPKTReceiveFilter : public tEmptyReceiveFilter {
 public:
  static constexpr int kMaxFrame = 65535;
  static std::unique_ptr<tEmptyReceiveFilter> Create();

  int BytesNeeded() override;
  // Empty when Size < 0 or the frame would exceed 65535 bytes; Size 0 gives
  // the header-only frame 03 00 00 04.
  std::string Encode(const char* Data, int Size) override;
  std::string Decode(const char* Data, int Size, bool& More) override;

  // Bytes held for frames not yet complete.
  std::size_t Buffered() const { return Buffer.size() - Start; }

  const std::uint16_t Header = 3;

 private:
  tTPKTReceiveFilter() = default;
  std::string ExtractFrame(bool& More);

  // Buffer[Start..] are the bytes not yet returned; the consumed prefix is
  // dropped once per append, so a read of many small frames costs one move.
  std::size_t Start = 0;
};

// The frame that carries one client log message.
std::string BuildTpktFrame(const std::string& payload);

// ---------------------------------------------------------------------------
// Receive manager

class TCustomTCPServer;

// The queue between the connection threads and the delivery thread. At
// MaxCount messages, or MaxBytes of data, a push waits for room (TCP flow
// control then slows the client) until its canceller is terminated; nothing
// is dropped otherwise. A message always fits into an empty queue.
class TReceiveManagerQueue {
 public:
  static constexpr int MaxCount = 10000;
  static constexpr std::size_t MaxBytes = 16u * 1024 * 1024;

  ~TReceiveManagerQueue() { Clear(); }

  // Appends `message`. With a canceller the push waits while the queue is
  // full and gives up (false) once the canceller is terminated; without one
  // a full queue drops the message (false).
  bool Push(tReceiveMSG message, const TThread* canceller);
  bool Pop(tReceiveMSG& message);
  void Clear();
  std::size_t Count();

  TSemaphore Signal{0};  // one count per message pushed

 private:
  TRecursiveLock QueueLock;
  std::deque<tReceiveMSG> Items;  // guarded by QueueLock
  std::size_t Bytes = 0;           // guarded by QueueLock
  TSemaphore Room{0};              // posted by Pop while pushers wait
  std::atomic<int> Waiting{0};
};

// Delivers every event of one listener, in posting order, on its own thread.
class TReceiveManager : public TThread {
 public:
  // Creates the manager and starts its thread.
  static std::unique_ptr<TReceiveManager> Create(TCustomTCPServer* Owner);
  ~TReceiveManager() override { StopAndWait(); }

  TCustomTCPServer* const Owner;
  TReceiveManagerQueue Queue;

 protected:
  void Execute() override;

 private:
  explicit TReceiveManager(TCustomTCPServer* owner) : Owner(owner) {}
};

// ---------------------------------------------------------------------------
// TCP connection

// One accepted client on a thread of its own: reads, decodes, reports, and
// writes the chunks other threads queue. It never calls a handler itself.
class TCustomTCPConnection : public TIPConnection {
 public:
  static constexpr int kMaxChunk = 65533;

  // Builds the connection; the caller starts it. The socket is owned from
  // here on, also when the thread never starts.
  static std::unique_ptr<TCustomTCPConnection> Create(int Socket, std::uint16_t ID,
                                                      TCustomTCPServer* Server,
                                                      const std::string& Address,
                                                      std::uint16_t Port,
                                                      tReceiveFilterType FilterClass);
  ~TCustomTCPConnection() override;

  // Queues data in chunks of at most 65533 bytes; Size <= 0 queues the empty
  // chunk. Any thread; a multi-chunk send is never interleaved with another.
  void Send(const char* Data, int Size);
  int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) override;

  std::size_t QueuedChunks();

  // Cleared by the listener during its shutdown, so nothing more is posted.
  std::atomic<TCustomTCPServer*> Server;

 protected:
  void Execute() override;

 private:
  TCustomTCPConnection(int socket, std::uint16_t id, TCustomTCPServer* server,
                       const std::string& address, std::uint16_t port,
                       tReceiveFilterType filterClass);

  int TakeSendChunk(std::string& chunk);
  void ClearSendList();
  void Notify(TConnectionEvent Event, const char* Data, int Size);
  void Post(TConnectionEvent Event, std::string Data);
  // Writes what is pending, taking the next chunk when nothing is; false
  // when the socket failed.
  bool WriteStep();

  const int Socket;
  TRecursiveLock SendLock;
  std::deque<std::string> SendList;  // guarded by SendLock
  std::unique_ptr<tEmptyReceiveFilter> Filter;
  TSemaphore SendSignal{0};

  // Connection thread only: the encoded chunk being written and how much of
  // it has gone out. A chunk the socket takes in part, or refuses with
  // EAGAIN, is finished before the next one, so no frame is ever torn.
  std::string Pending;
  std::size_t PendingOffset = 0;
  std::vector<char> ReceiveBuffer;
};

// ---------------------------------------------------------------------------
// TCP listener

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
  const std::uint16_t IPPort;
  const std::string& IPAddress() const { return IPAddress_; }

 public:
  // Builds a suspended listener; the class factories (CreateAs) start it.
  TCustomTCPServer(tNotifyDataTCPEvent onReceive, tNotifyDataTCPEvent onSend,
                   tNotifyTCPEvent onDisconnect, tNotifyTCPEvent onConnect,
                   const std::string& ipAddress, std::uint16_t ipPort);

 protected:
  // Builds a listener of class T and starts it (the class reference's
  // virtual constructor).
  template <class T>
  static std::unique_ptr<TCustomTCPServer> CreateAs(tNotifyDataTCPEvent onReceive,
                                                    tNotifyDataTCPEvent onSend,
                                                    tNotifyTCPEvent onDisconnect,
                                                    tNotifyTCPEvent onConnect,
                                                    const std::string& ipAddress,
                                                    std::uint16_t ipPort) {
    std::unique_ptr<TCustomTCPServer> server(
        new T(std::move(onReceive), std::move(onSend), std::move(onDisconnect),
              std::move(onConnect), ipAddress, ipPort));
    server->Start();
    return server;
  }

  void Execute() override;
  // Registers a connection for an accepted socket; returns its ID or -1.
  virtual int CreateConnection(int Socket, const TSocketAddress& Peer);
  int AddConnection(int Socket, const TSocketAddress& Peer, tReceiveFilterType FilterClass);

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
  int ListenSocket = -1;  // guarded by ListenGuard

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
using TTCPServerType = std::unique_ptr<TCustomTCPServer> (*)(
    tNotifyDataTCPEvent OnReceive, tNotifyDataTCPEvent OnSend, tNotifyTCPEvent OnDisconnect,
    tNotifyTCPEvent OnConnect, const std::string& IPAddress, std::uint16_t IPPort);

}  // namespace logserver

#include "net/uTCPServer.h"

#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr int kListenBacklog = 256;
constexpr int kSetupRetryMs = 50;
constexpr int kAcceptWaitMs = 200;
constexpr int kResourceRetryMs = 50;

// accept() failures that concern one pending connection only: go on.
bool IsTransientAcceptError(int e) {
  return e == EINTR || e == ECONNABORTED || e == EPROTO || e == ENETDOWN || e == ENOPROTOOPT ||
         e == EHOSTDOWN || e == ENONET || e == EHOSTUNREACH || e == EOPNOTSUPP ||
         e == ENETUNREACH || e == EPERM;
}

// accept() failures from exhausted resources: the pending clients stay in
// the backlog and are taken once descriptors or memory are free again.
bool IsResourceAcceptError(int e) {
  return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM;
}

}  // namespace

TCustomTCPServer::TCustomTCPServer(const tServerSetup& setup)
    : TThread("ls-tcp-listen"),
      OnReceive(setup.Events.OnReceive),
      OnSend(setup.Events.OnSend),
      OnDisconnect(setup.Events.OnDisconnect),
      OnConnect(setup.Events.OnConnect),
      OnBatchEnd(setup.Events.OnBatchEnd),
      OnReceiveRun(setup.Events.OnReceiveRun),
      IPPort(setup.IPPort) {
  ReceiveManagerOwner = TReceiveManager::Create(this);
  ReceiveManager.store(ReceiveManagerOwner.get());
  SetIPAddress(setup.IPAddress);
  // An address that cannot be resolved stays empty and every cycle then
  // fails at bind, which LastError shows.
  LastError_.store(0);
}

TCustomTCPServer::~TCustomTCPServer() {
  Terminate();
  CloseListenSocket();
  WaitFor();
  // A listener that never ran still owns its receive manager.
  CloseAllConnections();
}

void TCustomTCPServer::SetIPAddress(const std::string& text) {
  if (ParseIPv4(text) != kInvalidAddress) {
    IPAddress_ = text;
    return;
  }
  std::uint32_t address = 0;
  if (!ResolveIPv4(text, address)) {
    LastError_.store(EINVAL);
    return;
  }
  IPAddress_ = FormatIPv4(address);
  if (IPAddress_.empty()) LastError_.store(EINVAL);
}

void TCustomTCPServer::CloseListenSocket() {
  // Only the listener thread closes the descriptor (a close here could hand
  // its number to another socket while the thread still waits on it);
  // shutting it down wakes the thread at once.
  std::lock_guard<std::mutex> guard(ListenGuard);
  if (ListenSocket) SocketShutdown(ListenSocket.Get());
}

void TCustomTCPServer::CloseOwnListenSocket() {
  std::lock_guard<std::mutex> guard(ListenGuard);
  if (!ListenSocket) return;
  ListenSocket.Reset();
  ListeningPort_.store(0);
}

bool TCustomTCPServer::WaitStarted(int Milliseconds, int& Code) {
  return WaitForStartSignal(Started, Milliseconds, LastError_, Code);
}

void TCustomTCPServer::Execute() {
  while (!Terminated()) {
    LastError_.store(0);
    Started.Post();
    TDescriptor created = SocketCreateStream();
    if (!created) {
      LastError_.store(errno);
      ListenFailure_.store(errno);
      if (Terminated()) break;
      SleepMilliseconds(kSetupRetryMs);
      continue;
    }
    // The thread keeps using the number; the descriptor itself belongs to
    // ListenSocket, where CloseListenSocket can reach it.
    const int fd = created.Get();
    {
      std::lock_guard<std::mutex> guard(ListenGuard);
      ListenSocket = std::move(created);
    }
    SocketSetNonBlocking(fd);
    SocketSetReuseAddress(fd);
    if (SocketBind(fd, ParseIPv4(IPAddress_), IPPort) != 0 || SocketListen(fd, kListenBacklog) != 0) {
      const int error = errno;
      LastError_.store(error);
      ListenFailure_.store(error);
      CloseOwnListenSocket();
      if (Terminated()) break;
      SleepMilliseconds(kSetupRetryMs);
      continue;
    }
    ListenFailure_.store(0);
    ListeningPort_.store(SocketLocalAddress(fd).port);
    AcceptLoop(fd);
    CloseOwnListenSocket();
  }
  {
    std::lock_guard<std::mutex> guard(ListenGuard);
    if (ListenSocket) SocketShutdown(ListenSocket.Get());
  }
  CloseOwnListenSocket();
  CloseAllConnections();
}

void TCustomTCPServer::AcceptLoop(int listenSocket) {
  while (!Terminated()) {
    TSocketAddress peer;
    TDescriptor client = SocketAccept(listenSocket, peer);
    if (client) {
      SocketSetNonBlocking(client.Get());
      CreateConnection(std::move(client), peer);
      continue;
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      LastError_.store(0);
      bool readable = false, writable = false;
      if (SocketWait(listenSocket, true, false, kAcceptWaitMs, readable, writable) < 0 &&
          errno != EINTR) {
        LastError_.store(errno);
        return;
      }
      LastError_.store(0);
    } else if (IsTransientAcceptError(error)) {
      continue;
    } else if (IsResourceAcceptError(error)) {
      LastError_.store(error);
      SleepMilliseconds(kResourceRetryMs);
    } else {
      LastError_.store(error);  // EINVAL after CloseListenSocket, EBADF, ...
      return;
    }
  }
}

int TCustomTCPServer::CreateConnection(TDescriptor Socket, const TSocketAddress& Peer) {
  return AddConnection(std::move(Socket), Peer, nullptr);
}

int TCustomTCPServer::AddConnection(TDescriptor Socket, const TSocketAddress& Peer,
                                    tReceiveFilterType FilterClass) {
  TLockGuard guard(ListLock);
  // The smallest ID not in use; IDs are reused after removal.
  std::vector<bool> used(Connections.size() + 1, false);
  for (const auto& entry : Connections)
    if (entry.first < used.size()) used[entry.first] = true;
  std::size_t id = 0;
  while (used[id]) ++id;
  if (id > 0xFFFF) return -1;  // the socket closes with its owner
  Connections.emplace_back(
      static_cast<std::uint16_t>(id),
      TCustomTCPConnection::Create(std::move(Socket), static_cast<std::uint16_t>(id), this,
                                   FormatIPv4(Peer.address), Peer.port, FilterClass));
  // Started under ListLock: an early disconnect that reaches RemoveConnection
  // waits for the lock and therefore finds the entry.
  const int rc = Connections.back().second->Start();
  if (rc != 0) {
    // No thread: the connection (and with it the socket) goes, the listener
    // keeps accepting.
    LastError_.store(rc);
    Connections.pop_back();
    return -1;
  }
  return static_cast<int>(id);
}

TCustomTCPConnection* TCustomTCPServer::Find(std::uint16_t ID) {
  for (auto& entry : Connections)
    if (entry.first == ID) return entry.second.get();
  return nullptr;
}

TIPConnection* TCustomTCPServer::GetConnection(std::uint16_t ID) {
  TLockGuard guard(ListLock);
  return Find(ID);
}

bool TCustomTCPServer::ClientExists(std::uint16_t ID) {
  TLockGuard guard(ListLock);
  return Find(ID) != nullptr;
}

bool TCustomTCPServer::TerminateConnection(std::uint16_t ID) {
  TReceiveManager* manager = nullptr;
  {
    TLockGuard guard(ListLock);
    TCustomTCPConnection* connection = Find(ID);
    if (connection == nullptr) return false;
    connection->Terminate();
    manager = ReceiveManager.load();
  }
  // It may be waiting for room in the delivery queue: let it see the flag.
  if (manager) manager->Queue.WakeWaiters();
  return true;
}

int TCustomTCPServer::SetConnectionOption(std::uint16_t ID, int Level, int OptName,
                                          const void* OptVal, int OptLen) {
  TLockGuard guard(ListLock);
  TCustomTCPConnection* connection = Find(ID);
  return connection ? connection->SetSocketOption(Level, OptName, OptVal, OptLen) : -2;
}

void TCustomTCPServer::SendToConnection(TIPConnection* Connection, const char* Data, int Size) {
  TLockGuard guard(ListLock);
  for (auto& entry : Connections) {
    if (entry.second.get() == Connection) {
      entry.second->Send(Data, Size);
      return;
    }
  }
}

void TCustomTCPServer::SendToID(std::uint16_t ID, const char* Data, int Size) {
  TLockGuard guard(ListLock);
  if (TCustomTCPConnection* connection = Find(ID)) connection->Send(Data, Size);
}

void TCustomTCPServer::SendToAll(const char* Data, int Size) {
  TLockGuard guard(ListLock);
  for (auto& entry : Connections) entry.second->Send(Data, Size);
}

std::size_t TCustomTCPServer::ConnectionCount() {
  TLockGuard guard(ListLock);
  return Connections.size();
}

void TCustomTCPServer::RemoveConnection(std::uint16_t ID) {
  std::unique_ptr<TCustomTCPConnection> connection;
  {
    TLockGuard guard(ListLock);
    for (auto it = Connections.begin(); it != Connections.end(); ++it) {
      if (it->first == ID) {
        connection = std::move(it->second);
        Connections.erase(it);
        break;
      }
    }
  }
  if (connection) {
    connection->Terminate();
    connection->WaitFor();
  }
}

bool TCustomTCPServer::PostEvent(tReceiveMSG message, const TThread* canceller) {
  TReceiveManager* manager = ReceiveManager.load();
  return manager != nullptr && manager->Queue.Push(std::move(message), canceller);
}

void TCustomTCPServer::CloseAllConnections() {
  // 1. Take every connection out (newest first), cut it off from posting and
  //    ask it to end; all wind down at once instead of one after another.
  std::vector<std::unique_ptr<TCustomTCPConnection>> stopping;
  {
    TLockGuard guard(ListLock);
    while (!Connections.empty()) {
      std::unique_ptr<TCustomTCPConnection> connection = std::move(Connections.back().second);
      Connections.pop_back();
      connection->Server.store(nullptr);
      connection->Terminate();
      stopping.push_back(std::move(connection));
    }
  }
  // Connections waiting for room in the delivery queue give up now.
  if (ReceiveManagerOwner) ReceiveManagerOwner->Queue.WakeWaiters();
  // 2. Stop delivery while every connection still exists, so no handler can
  //    be called with a destroyed one. Not under ListLock: a handler in
  //    RemoveConnection needs it.
  std::unique_ptr<TReceiveManager> manager = std::move(ReceiveManagerOwner);
  if (manager) {
    tReceiveMSG shutdown;
    shutdown.Event = ceShutDown;
    // Terminated first, so the wake-up finds the flag set; the manager then
    // delivers what it holds and ends.
    manager->Terminate();
    manager->Queue.Push(std::move(shutdown), nullptr);
    manager->WaitFor();
  }
  // 3. Join and destroy the connections, newest first.
  for (auto& connection : stopping) {
    connection->WaitFor();
    connection.reset();
  }
  // 4. A connection may still have been inside PostEvent until it ended;
  //    only now can the queue go. What is queued is freed undelivered.
  ReceiveManager.store(nullptr);
  manager.reset();
}

}  // namespace logserver

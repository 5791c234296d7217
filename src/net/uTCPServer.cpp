#include "net/uTCPServer.h"

#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr int kListenBacklog = 256;
constexpr int kSetupRetryMs = 50;
// Only when the wake-up descriptor could not be made (out of descriptors):
// the accept wait then looks at the terminate flag this often.
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

TCustomTCPServer::TCustomTCPServer(const TServerSetup& setup)
    : TThread("ls-tcp-listen"), Setup(setup) {
  CountFailuresIn(Setup.Failures);
  ReceiveManagerOwner = TReceiveManager::Create(
      Setup, [this](std::uint16_t id) { RemoveConnection(id); });
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
  if (ParseIPv4(text) != kInvalidAddress || IsIPv6Literal(text)) {
    ResolvedAddress = text;
    return;
  }
  std::uint32_t address = 0;
  if (!ResolveIPv4(text, address)) {
    LastError_.store(EINVAL);
    return;
  }
  ResolvedAddress = FormatIPv4(address);
  if (ResolvedAddress.empty()) LastError_.store(EINVAL);
}

void TCustomTCPServer::CloseListenSocket() {
  // Only the listener thread closes the descriptor (a close here could hand
  // its number to another socket while the thread still waits on it);
  // shutting it down wakes the thread at once.
  TMutexLock guard(ListenGuard);
  // Fails only for a socket that is not listening yet, which has no
  // waiter to wake.
  if (ListenSocket) SocketShutdown(ListenSocket.Get());
}

void TCustomTCPServer::CloseOwnListenSocket() {
  TMutexLock guard(ListenGuard);
  if (!ListenSocket) return;
  ListenSocket.Reset();
  ListeningPort_.store(0);
}

bool TCustomTCPServer::WaitStarted(int Milliseconds, int& Code) {
  return WaitForStartSignal(CycleStarted, Milliseconds, LastError_, Code);
}

void TCustomTCPServer::Execute() {
  while (!Terminated()) {
    LastError_.store(0);
    CycleStarted.Post();
    TDescriptor created = SocketCreateStreamFor(ResolvedAddress);
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
      TMutexLock guard(ListenGuard);
      ListenSocket = std::move(created);
    }
    // Without SO_REUSEADDR a restart may find the port held by connections
    // in TIME_WAIT; bind then fails and says so, and the cycle repeats.
    SocketSetReuseAddress(fd);
    if (SocketSetNonBlocking(fd) != 0 || SocketBindTo(fd, ResolvedAddress, Setup.IPPort) != 0 ||
        SocketListen(fd, kListenBacklog) != 0) {
      const int error = errno;
      LastError_.store(error);
      ListenFailure_.store(error);
      CloseOwnListenSocket();
      if (Terminated()) break;
      SleepMilliseconds(kSetupRetryMs);
      continue;
    }
    ListenFailure_.store(0);
    ListeningPort_.store(SocketLocalAddress(fd).Port);
    AcceptLoop(fd);
    CloseOwnListenSocket();
  }
  {
    TMutexLock guard(ListenGuard);
    // A socket that never listened has nothing to shut down; the close
    // below is what matters.
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
      // A client whose socket cannot be made non-blocking is let go (its
      // socket closes here); the listener goes on.
      if (SocketSetNonBlocking(client.Get()) == 0) CreateConnection(std::move(client), peer);
      continue;
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      LastError_.store(0);
      // Sleeps until a client comes or the listener is stopped (Wake, or
      // CloseListenSocket's shutdown).
      bool readable = false, writable = false, woken = false;
      if (SocketWaitOrWake(listenSocket, true, false, WakeUp, WakeUp.Valid() ? -1 : kAcceptWaitMs,
                           readable, writable, woken) < 0 &&
          errno != EINTR) {
        LastError_.store(errno);
        return;
      }
      if (woken) WakeUp.Clear();
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
  TConnectionCallbacks callbacks;
  callbacks.Post = [this](tReceiveMSG& message, const TThread& canceller) {
    return PostEvent(message, &canceller);
  };
  callbacks.NotifySends = static_cast<bool>(Setup.OnSend);
  callbacks.Buffers = Setup.Buffers;
  callbacks.Counters = Setup.Counters;
  auto connection =
      TCustomTCPConnection::Create(std::move(Socket), static_cast<std::uint16_t>(id),
                                   std::move(callbacks), FormatAddress(Peer), Peer.Port,
                                   FilterClass);
  if (!connection->CanStart()) {
    // Out of descriptors: the client goes (its socket closes with it).
    LastError_.store(connection->StartError());
    return -1;
  }
  connection->CountFailuresIn(Setup.Failures);
  Connections.emplace_back(static_cast<std::uint16_t>(id), std::move(connection));
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

bool TCustomTCPServer::PostEvent(tReceiveMSG& message, const TThread* canceller) {
  TReceiveManager* manager = ReceiveManager.load();
  return manager != nullptr && manager->Queue.Push(message, canceller);
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
      connection->StopPosting();
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
    // Terminate wakes the manager (its Wake releases the queue) after setting
    // the flag; it then delivers what it holds and ends.
    manager->Terminate();
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

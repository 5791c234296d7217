#include "net/uTCPServer.h"

#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr int kListenBacklog = 256;
constexpr int kSetupRetryMs = 50;
constexpr int kAcceptWaitMs = 200;
constexpr int kResourceRetryMs = 50;
constexpr int kDeliveryWaitMs = 50;
constexpr int kRoomWaitMs = 10;
// A connection with output pending waits up to this long for its socket.
constexpr int kBusyWaitMs = 100;
// An idle connection wakes this often to look for queued chunks and its
// terminate flag; received data wakes it at once.
constexpr int kIdleWaitMs = 50;

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

// ---------------------------------------------------------------------------
// Filters

std::unique_ptr<tEmptyReceiveFilter> tEmptyReceiveFilter::Create() {
  return std::unique_ptr<tEmptyReceiveFilter>(new tEmptyReceiveFilter());
}

int tEmptyReceiveFilter::BytesNeeded() { return TCustomTCPConnection::kMaxChunk; }

std::string tEmptyReceiveFilter::Encode(const char* Data, int Size) {
  return Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string();
}

std::string tEmptyReceiveFilter::Decode(const char* Data, int Size, bool& More) {
  More = false;
  return Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string();
}

std::unique_ptr<tEmptyReceiveFilter> tTPKTReceiveFilter::Create() {
  return std::unique_ptr<tEmptyReceiveFilter>(new tTPKTReceiveFilter());
}

int tTPKTReceiveFilter::BytesNeeded() {
  const std::size_t held = Buffered();
  if (held < 4) return static_cast<int>(4 - held);
  const int length = (static_cast<unsigned char>(Buffer[Start + 2]) << 8) |
                     static_cast<unsigned char>(Buffer[Start + 3]);
  const int missing = length - static_cast<int>(held);
  return missing <= 0 ? 4 : missing;
}

std::string tTPKTReceiveFilter::Encode(const char* Data, int Size) {
  if (Size < 0 || Size + 4 > kMaxFrame) return std::string();
  const int length = Size + 4;
  std::string frame;
  frame.reserve(static_cast<std::size_t>(length));
  frame += static_cast<char>(3);
  frame += static_cast<char>(0);
  frame += static_cast<char>(length >> 8);
  frame += static_cast<char>(length & 0xFF);
  if (Size > 0) frame.append(Data, static_cast<std::size_t>(Size));
  return frame;
}

std::string tTPKTReceiveFilter::Decode(const char* Data, int Size, bool& More) {
  if (Size > 0) {
    if (Start > 0) {
      Buffer.erase(0, Start);
      Start = 0;
    }
    Buffer.append(Data, static_cast<std::size_t>(Size));
  }
  return ExtractFrame(More);
}

std::string tTPKTReceiveFilter::ExtractFrame(bool& More) {
  More = false;
  std::string unit;
  while (Buffered() >= 4) {
    const unsigned char version = static_cast<unsigned char>(Buffer[Start]);
    const unsigned char reserved = static_cast<unsigned char>(Buffer[Start + 1]);
    const std::size_t length = (static_cast<std::size_t>(static_cast<unsigned char>(Buffer[Start + 2])) << 8) |
                               static_cast<unsigned char>(Buffer[Start + 3]);
    // A wrong start, or a length that cannot even hold the header, is no
    // frame: skip two bytes and look again, so every call makes progress.
    if (version != Header || reserved != 0 || length < 4) {
      Start += 2;
      continue;
    }
    if (Buffered() < length) break;
    unit.assign(Buffer, Start + 4, length - 4);
    Start += length;
    More = Buffered() >= 4;
    break;
  }
  if (Start == Buffer.size()) {
    Buffer.clear();
    Start = 0;
  }
  return unit;
}

std::string BuildTpktFrame(const std::string& payload) {
  auto filter = tTPKTReceiveFilter::Create();
  return filter->Encode(payload.data(), static_cast<int>(payload.size()));
}

// ---------------------------------------------------------------------------
// Receive manager

bool TReceiveManagerQueue::Push(tReceiveMSG message, const TThread* canceller) {
  for (;;) {
    {
      TLockGuard guard(QueueLock);
      const bool room = static_cast<int>(Items.size()) < MaxCount &&
                        (Items.empty() || Bytes + message.Data.size() <= MaxBytes);
      if (room) {
        Bytes += message.Data.size();
        Items.push_back(std::move(message));
        Signal.Post();
        return true;
      }
    }
    if (canceller == nullptr || canceller->Terminated()) return false;
    ++Waiting;
    Room.TimedWait(kRoomWaitMs);
    --Waiting;
  }
}

bool TReceiveManagerQueue::Pop(tReceiveMSG& message) {
  TLockGuard guard(QueueLock);
  if (Items.empty()) return false;
  message = std::move(Items.front());
  Items.pop_front();
  Bytes -= message.Data.size();
  if (Waiting.load() > 0) Room.Post();
  return true;
}

void TReceiveManagerQueue::Clear() {
  TLockGuard guard(QueueLock);
  Items.clear();
  Bytes = 0;
  while (Signal.TryWait()) {
  }
}

std::size_t TReceiveManagerQueue::Count() {
  TLockGuard guard(QueueLock);
  return Items.size();
}

std::unique_ptr<TReceiveManager> TReceiveManager::Create(TCustomTCPServer* Owner) {
  std::unique_ptr<TReceiveManager> manager(new TReceiveManager(Owner));
  manager->Start();
  return manager;
}

void TReceiveManager::Execute() {
  while (!Terminated()) {
    if (!TimedWait(Queue.Signal, kDeliveryWaitMs)) continue;
    tReceiveMSG m;
    if (!Queue.Pop(m)) continue;
    if (m.Connection == nullptr) continue;
    TIPConnection& connection = *m.Connection;
    const auto size = static_cast<std::uint32_t>(m.Data.size());
    const char* data = m.Data.empty() ? nullptr : m.Data.data();
    switch (m.Event) {
      case ceConnect:
        if (Owner->OnConnect) CallHandlerSafely([&] { Owner->OnConnect(connection); });
        break;
      case ceDisconnect:
        if (Owner->OnDisconnect) {
          CallHandlerSafely([&] { Owner->OnDisconnect(connection); });
          Owner->RemoveConnection(connection.ClientID);
        }
        break;
      case ceReceiveData:
        if (Owner->OnReceive) CallHandlerSafely([&] { Owner->OnReceive(connection, data, size); });
        break;
      case ceSendData:
        if (Owner->OnSend) CallHandlerSafely([&] { Owner->OnSend(connection, data, size); });
        break;
      default:
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Connection

TCustomTCPConnection::TCustomTCPConnection(int socket, std::uint16_t id, TCustomTCPServer* server,
                                           const std::string& address, std::uint16_t port,
                                           tReceiveFilterType filterClass)
    : Server(server),
      Socket(socket),
      Filter(filterClass ? filterClass() : tEmptyReceiveFilter::Create()),
      ReceiveBuffer(65536) {
  ClientID = id;
  ClientAddress = address;
  ClientPort = port;
}

std::unique_ptr<TCustomTCPConnection> TCustomTCPConnection::Create(
    int Socket, std::uint16_t ID, TCustomTCPServer* Server, const std::string& Address,
    std::uint16_t Port, tReceiveFilterType FilterClass) {
  return std::unique_ptr<TCustomTCPConnection>(
      new TCustomTCPConnection(Socket, ID, Server, Address, Port, FilterClass));
}

TCustomTCPConnection::~TCustomTCPConnection() {
  StopAndWait();
  // The body closes the socket on its way out; one that never ran cannot.
  if (!Started()) SocketClose(Socket);
  ClearSendList();
}

void TCustomTCPConnection::Send(const char* Data, int Size) {
  TLockGuard guard(SendLock);
  if (Size <= 0) {
    SendList.emplace_back();
    SendSignal.Post();
    return;
  }
  for (int offset = 0; offset < Size; offset += kMaxChunk) {
    const int length = Size - offset < kMaxChunk ? Size - offset : kMaxChunk;
    SendList.emplace_back(Data + offset, static_cast<std::size_t>(length));
    SendSignal.Post();
  }
}

int TCustomTCPConnection::SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) {
  return SocketSetOption(Socket, Level, OptName, OptVal, OptLen);
}

std::size_t TCustomTCPConnection::QueuedChunks() {
  TLockGuard guard(SendLock);
  return SendList.size();
}

int TCustomTCPConnection::TakeSendChunk(std::string& chunk) {
  TLockGuard guard(SendLock);
  if (SendList.empty()) return -1;
  chunk = std::move(SendList.front());
  SendList.pop_front();
  return static_cast<int>(chunk.size());
}

void TCustomTCPConnection::ClearSendList() {
  TLockGuard guard(SendLock);
  SendList.clear();
}

void TCustomTCPConnection::Post(TConnectionEvent Event, std::string Data) {
  TCustomTCPServer* server = Server.load();
  if (server == nullptr) return;
  tReceiveMSG m;
  m.Event = Event;
  m.Connection = this;
  m.Data = std::move(Data);
  // Waits while the delivery queue is full; gives up only when this
  // connection is being stopped.
  server->PostEvent(std::move(m), this);
}

void TCustomTCPConnection::Notify(TConnectionEvent Event, const char* Data, int Size) {
  // A connection being stopped raises no events.
  if (Terminated()) return;
  switch (Event) {
    case ceConnect:
    case ceDisconnect:
      Post(Event, std::string());
      break;
    case ceReceiveData: {
      bool more = false;
      std::string unit = Filter->Decode(Data, Size, more);
      if (!unit.empty()) Post(ceReceiveData, std::move(unit));
      while (more && !Terminated()) {
        unit = Filter->Decode(nullptr, 0, more);
        if (!unit.empty()) Post(ceReceiveData, std::move(unit));
      }
      break;
    }
    case ceSendData:
      Post(ceSendData, Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string());
      break;
    default:
      break;
  }
}

bool TCustomTCPConnection::WriteStep() {
  if (Pending.empty()) {
    std::string chunk;
    const int k = TakeSendChunk(chunk);
    if (k < 0) return true;
    Notify(ceSendData, chunk.data(), k);
    Pending = Filter->Encode(chunk.data(), k);
    PendingOffset = 0;
    if (Pending.empty()) return true;
  }
  const long w = SocketWrite(Socket, Pending.data() + PendingOffset, Pending.size() - PendingOffset);
  if (w < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  PendingOffset += static_cast<std::size_t>(w);
  if (PendingOffset >= Pending.size()) {
    Pending.clear();
    PendingOffset = 0;
  }
  return true;
}

void TCustomTCPConnection::Execute() {
  SocketSetNonBlocking(Socket);
  Notify(ceConnect, nullptr, 0);
  while (!Terminated()) {
    const long n = SocketRead(Socket, ReceiveBuffer.data(), kMaxChunk);
    if (n > 0) {
      Notify(ceReceiveData, ReceiveBuffer.data(), static_cast<int>(n));
    } else if (n == 0) {
      break;  // end of stream
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      break;
    }
    if (!WriteStep()) break;

    bool readable = false, writable = false;
    if (!Pending.empty()) {
      SocketWait(Socket, true, true, kBusyWaitMs, readable, writable);
    } else if (!SendSignal.TryWait()) {
      SocketWait(Socket, true, false, kIdleWaitMs, readable, writable);
    }
  }
  Notify(ceDisconnect, nullptr, 0);
  SocketShutdown(Socket);
  SocketClose(Socket);
}

// ---------------------------------------------------------------------------
// Listener

TCustomTCPServer::TCustomTCPServer(tNotifyDataTCPEvent onReceive, tNotifyDataTCPEvent onSend,
                                   tNotifyTCPEvent onDisconnect, tNotifyTCPEvent onConnect,
                                   const std::string& ipAddress, std::uint16_t ipPort)
    : OnReceive(std::move(onReceive)),
      OnSend(std::move(onSend)),
      OnDisconnect(std::move(onDisconnect)),
      OnConnect(std::move(onConnect)),
      IPPort(ipPort) {
  ReceiveManagerOwner = TReceiveManager::Create(this);
  ReceiveManager.store(ReceiveManagerOwner.get());
  SetIPAddress(ipAddress);
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
  if (ListenSocket != -1) SocketShutdown(ListenSocket);
}

void TCustomTCPServer::CloseOwnListenSocket() {
  std::lock_guard<std::mutex> guard(ListenGuard);
  if (ListenSocket == -1) return;
  SocketClose(ListenSocket);
  ListenSocket = -1;
  ListeningPort_.store(0);
}

bool TCustomTCPServer::WaitStarted(int Milliseconds, int& Code) {
  return WaitForStartSignal(Started, Milliseconds, LastError_, Code);
}

void TCustomTCPServer::Execute() {
  while (!Terminated()) {
    LastError_.store(0);
    Started.Post();
    const int fd = SocketCreateStream();
    if (fd < 0) {
      LastError_.store(errno);
      ListenFailure_.store(errno);
      if (Terminated()) break;
      SleepMilliseconds(kSetupRetryMs);
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(ListenGuard);
      ListenSocket = fd;
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
    if (ListenSocket != -1) SocketShutdown(ListenSocket);
  }
  CloseOwnListenSocket();
  CloseAllConnections();
}

void TCustomTCPServer::AcceptLoop(int listenSocket) {
  while (!Terminated()) {
    TSocketAddress peer;
    const int client = SocketAccept(listenSocket, peer);
    if (client >= 0) {
      SocketSetNonBlocking(client);
      CreateConnection(client, peer);
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

int TCustomTCPServer::CreateConnection(int Socket, const TSocketAddress& Peer) {
  return AddConnection(Socket, Peer, nullptr);
}

int TCustomTCPServer::AddConnection(int Socket, const TSocketAddress& Peer,
                                    tReceiveFilterType FilterClass) {
  TLockGuard guard(ListLock);
  // The smallest ID not in use; IDs are reused after removal.
  std::vector<bool> used(Connections.size() + 1, false);
  for (const auto& entry : Connections)
    if (entry.first < used.size()) used[entry.first] = true;
  std::size_t id = 0;
  while (used[id]) ++id;
  if (id > 0xFFFF) {
    SocketClose(Socket);
    return -1;
  }
  Connections.emplace_back(
      static_cast<std::uint16_t>(id),
      TCustomTCPConnection::Create(Socket, static_cast<std::uint16_t>(id), this,
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
  TLockGuard guard(ListLock);
  TCustomTCPConnection* connection = Find(ID);
  if (connection == nullptr) return false;
  connection->Terminate();
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
  // 2. Stop delivery while every connection still exists, so no handler can
  //    be called with a destroyed one. Not under ListLock: a handler in
  //    RemoveConnection needs it.
  std::unique_ptr<TReceiveManager> manager = std::move(ReceiveManagerOwner);
  if (manager) {
    tReceiveMSG shutdown;
    shutdown.Event = ceShutDown;
    manager->Queue.Push(std::move(shutdown), nullptr);
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

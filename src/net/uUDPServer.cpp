#include "net/uUDPServer.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr int kReadWaitMs = 10;
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// A datagram socket that stays unwritable this long gives the command back
// for a later pass instead of stalling the thread.
constexpr int kWriteWaitMs = 1000;
constexpr int kBitReceive = 1;
constexpr int kBitSend = 2;
constexpr int kBitFailure = 4;

}  // namespace

// ---------------------------------------------------------------------------
// Peer list

bool TUDPClintList::FindClient(const std::string& Address, std::uint16_t Port,
                               std::uint16_t& Index) {
  TLockGuard guard(Guard);
  for (int i = 0; i < kSlots; ++i) {
    const pUDPClient& c = Slots[static_cast<std::size_t>(i)];
    if (c && c->Port == Port && c->Address == Address) {
      Index = static_cast<std::uint16_t>(i);
      return true;
    }
  }
  return false;
}

std::uint16_t TUDPClintList::AddClient(const tUDPClient& Client) {
  TLockGuard guard(Guard);
  for (int i = 0; i < kSlots; ++i) {
    pUDPClient& c = Slots[static_cast<std::size_t>(i)];
    if (!c) {
      c = std::make_unique<tUDPClient>(Client);
      return static_cast<std::uint16_t>(i);
    }
  }
  return kFullSlot;
}

bool TUDPClintList::GetClient(int Index, tUDPClient& Client) {
  TLockGuard guard(Guard);
  if (Index < 0 || Index >= kSlots || !Slots[static_cast<std::size_t>(Index)]) return false;
  Client = *Slots[static_cast<std::size_t>(Index)];
  return true;
}

bool TUDPClintList::RemoveClient(std::uint16_t Index) {
  TLockGuard guard(Guard);
  if (Index >= kSlots || !Slots[Index]) return false;
  Slots[Index].reset();
  return true;
}

void TUDPClintList::Clear() {
  TLockGuard guard(Guard);
  for (pUDPClient& c : Slots) c.reset();
}

// ---------------------------------------------------------------------------
// Send queue

void TSendQueue::Push(pSendMSG Msg) {
  TLockGuard guard(Guard);
  if (static_cast<int>(Items.size()) >= MaxCount) return;  // dropped with its data
  Items.push_back(std::move(Msg));
  Pending.Post();
}

pSendMSG TSendQueue::Pop() {
  TLockGuard guard(Guard);
  pSendMSG msg;
  if (!Items.empty()) {
    msg = std::move(Items.front());
    Items.pop_front();
  }
  if (Items.empty()) {
    while (Pending.TryWait()) {
    }
  }
  return msg;
}

void TSendQueue::Clear() {
  TLockGuard guard(Guard);
  while (Pop()) {
  }
  while (Pending.TryWait()) {
  }
}

std::size_t TSendQueue::Count() {
  TLockGuard guard(Guard);
  return Items.size();
}

// ---------------------------------------------------------------------------
// Server

tUDPServer::tUDPServer(tNotifyDataTCPEvent onReceive, tNotifyDataTCPEvent onSend,
                       tNotifyTCPEvent onDisconnect, tNotifyTCPEvent onConnect,
                       std::string address, std::uint16_t port)
    : OnReceive(std::move(onReceive)),
      OnSend(std::move(onSend)),
      OnDisconnect(std::move(onDisconnect)),
      OnConnect(std::move(onConnect)),
      Address(std::move(address)),
      Port(port),
      Buffer(kBufferSize) {}

std::unique_ptr<tUDPServer> tUDPServer::Create(tNotifyDataTCPEvent OnReceive,
                                               tNotifyDataTCPEvent OnSend,
                                               tNotifyTCPEvent OnDisconnect,
                                               tNotifyTCPEvent OnConnect,
                                               const std::string& Address, std::uint16_t Port) {
  std::unique_ptr<tUDPServer> server(new tUDPServer(std::move(OnReceive), std::move(OnSend),
                                                    std::move(OnDisconnect), std::move(OnConnect),
                                                    Address, Port));
  server->Start();
  return server;
}

tUDPServer::~tUDPServer() { StopAndWait(); }

bool tUDPServer::WaitStarted(int TimeoutMs, int& ErrorCode) {
  return WaitForStartSignal(Started, TimeoutMs, LastError_, ErrorCode);
}

int tUDPServer::SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) {
  if (Terminated()) return 1;
  std::lock_guard<std::mutex> guard(StateGuard);
  return SocketSetOption(Socket, Level, OptName, OptVal, OptLen);
}

void tUDPServer::Execute() {
  if (!OpenSocket()) return;
  ServeLoop();
  CloseSocket();
}

bool tUDPServer::OpenSocket() {
  LastError_.store(0);
  const int fd = SocketCreateDatagram();
  if (fd < 0) {
    LastError_.store(errno);
    return false;
  }
  SocketSetNonBlocking(fd);
  SocketSetReuseAddress(fd);
  // A large receive buffer absorbs bursts while this thread is busy in a
  // handler; less is granted without privileges, which is no error.
  SocketSetReceiveBuffer(fd, kReceiveBufferBytes);
  // An empty or malformed text reads as the all-ones address, which a
  // datagram socket could bind: refuse it as the stream socket's bind does.
  const std::uint32_t address = ParseIPv4(Address);
  const bool malformed = address == kInvalidAddress && Address != "255.255.255.255";
  if (malformed || SocketBind(fd, address, Port) != 0) {
    LastError_.store(malformed ? EADDRNOTAVAIL : errno);
    SocketClose(fd);
    return false;
  }
  BoundPort_.store(SocketLocalAddress(fd).port);
  std::lock_guard<std::mutex> guard(StateGuard);
  Socket = fd;
  SendQueue = std::make_unique<TSendQueue>();
  Clients = std::make_unique<TUDPClintList>();
  return true;
}

void tUDPServer::CloseSocket() {
  std::unique_ptr<TSendQueue> queue;
  std::unique_ptr<TUDPClintList> clients;
  {
    std::lock_guard<std::mutex> guard(StateGuard);
    SocketClose(Socket);
    Socket = -1;
    queue = std::move(SendQueue);
    clients = std::move(Clients);
  }
  // Freed outside the guard: commands still queued go without events.
}

void tUDPServer::ServeLoop() {
  Started.Post();
  while (!Terminated()) {
    const int bits = WaitForEvents();
    if (bits & kBitReceive) ReceiveDatagram();
    if (bits & kBitSend) SendPending();
    if (bits & kBitFailure) break;
  }
  Started.TryWait();
}

int tUDPServer::WaitForEvents() {
  int bits = 0;
  bool readable = false, writable = false;
  if (SocketWait(Socket, true, false, kReadWaitMs, readable, writable) < 0) {
    // A signal that interrupts the wait is a pass with nothing ready; only a
    // real failure ends serving.
    if (errno == EINTR) return 0;
    LastError_.store(errno);
    return kBitFailure;
  }
  if (readable) bits |= kBitReceive;
  if (!SendQueue->Pending.TryWait()) return bits;
  const int rc = SocketWait(Socket, false, true, kWriteWaitMs, readable, writable);
  if (rc < 0 && errno != EINTR) {
    LastError_.store(errno);
    return kBitFailure;
  }
  if (writable) {
    bits |= kBitSend;
  } else {
    SendQueue->Pending.Post();  // try again on a later pass
  }
  return bits;
}

void tUDPServer::SetPeer(std::uint16_t id, const std::string& address, std::uint16_t port) {
  ClientID = id;
  ClientAddress = address;
  ClientPort = port;
}

void tUDPServer::ReceiveDatagram() {
  TSocketAddress from;
  const long n = SocketReceiveFrom(Socket, Buffer.data(), Buffer.size(), from);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) LastError_.store(errno);
    return;
  }
  if (n == 0) return;  // an empty datagram: no peer, no event
  ClientPort = from.port;
  ClientAddress = FormatIPv4(from.address);
  std::uint16_t id = ClientID;
  if (Clients->FindClient(ClientAddress, ClientPort, id)) {
    ClientID = id;
  } else {
    ClientID = Clients->AddClient(tUDPClient{ClientAddress, ClientPort});
    if (OnConnect) CallHandlerSafely([&] { OnConnect(*this); });
  }
  if (OnReceive) CallHandlerSafely([&] { OnReceive(*this, Buffer.data(), static_cast<std::uint32_t>(n)); });
}

void tUDPServer::SendPending() {
  pSendMSG msg = SendQueue->Pop();
  if (!msg) return;
  if (msg->Data.empty() && msg->Command != cmdSendDisconnect) return;
  bool isNew = true;
  switch (msg->Command) {
    case cmdSendToClient: {
      tUDPClient peer;
      if (!Clients->GetClient(msg->ClientID, peer)) {
        if (OnDisconnect) {
          SetPeer(msg->ClientID, "0.0.0.0", 0);
          CallHandlerSafely([&] { OnDisconnect(*this); });
        }
        return;
      }
      SetPeer(msg->ClientID, peer.Address, peer.Port);
      isNew = false;
      break;
    }
    case cmdSendToIP: {
      const std::string address = msg->Address.substr(0, msg->Address.find('\0'));
      std::uint16_t found = 0;
      if (Clients->FindClient(address, msg->Port, found)) {
        msg->ClientID = found;
        isNew = false;
      }
      ClientAddress = address;
      ClientPort = msg->Port;
      ClientID = isNew ? Clients->AddClient(tUDPClient{address, msg->Port}) : found;
      break;
    }
    case cmdSendDisconnect: {
      tUDPClient peer;
      if (Clients->GetClient(msg->ClientID, peer)) {
        SetPeer(msg->ClientID, peer.Address, peer.Port);
        if (Clients->RemoveClient(msg->ClientID) && OnDisconnect) CallHandlerSafely([&] { OnDisconnect(*this); });
      }
      return;
    }
  }
  TSocketAddress to;
  to.address = ParseIPv4(ClientAddress);
  to.port = ClientPort;
  if (SocketSendTo(Socket, msg->Data.data(), msg->Data.size(), to) != -1) {
    if (isNew && OnConnect) CallHandlerSafely([&] { OnConnect(*this); });
    LastError_.store(0);
    if (OnSend)
      CallHandlerSafely([&] { OnSend(*this, msg->Data.data(), static_cast<std::uint32_t>(msg->Data.size())); });
  } else {
    LastError_.store(errno);
    if (OnDisconnect) CallHandlerSafely([&] { OnDisconnect(*this); });
  }
}

void tUDPServer::PushCommand(pSendMSG Msg) {
  if (Terminated()) return;
  std::lock_guard<std::mutex> guard(StateGuard);
  if (SendQueue) SendQueue->Push(std::move(Msg));
}

void tUDPServer::SendToClient(std::uint16_t ClientID_, const char* Data, int Size) {
  auto msg = std::make_unique<tSendMSG>();
  msg->Command = cmdSendToClient;
  msg->ClientID = ClientID_;
  if (Size > 0) msg->Data.assign(Data, static_cast<std::size_t>(Size));
  PushCommand(std::move(msg));
}

void tUDPServer::SendToIP(const std::string& Address_, std::uint16_t Port_, const char* Data,
                          int Size) {
  auto msg = std::make_unique<tSendMSG>();
  msg->Command = cmdSendToIP;
  msg->Address = Address_.substr(0, 15);
  msg->Port = Port_;
  if (Size > 0) msg->Data.assign(Data, static_cast<std::size_t>(Size));
  PushCommand(std::move(msg));
}

void tUDPServer::SendToAll(const char* Data, int Size) {
  if (Terminated()) return;
  std::lock_guard<std::mutex> guard(StateGuard);
  if (!SendQueue || !Clients) return;
  for (int slot = 0; slot < TUDPClintList::kSlots; ++slot) {
    tUDPClient peer;
    if (!Clients->GetClient(slot, peer)) continue;
    auto msg = std::make_unique<tSendMSG>();
    msg->Command = cmdSendToClient;
    msg->ClientID = static_cast<std::uint16_t>(slot);
    if (Size > 0) msg->Data.assign(Data, static_cast<std::size_t>(Size));
    SendQueue->Push(std::move(msg));
  }
}

void tUDPServer::DisconnectClient(std::uint16_t ClientID_) {
  auto msg = std::make_unique<tSendMSG>();
  msg->Command = cmdSendDisconnect;
  msg->ClientID = ClientID_;
  PushCommand(std::move(msg));
}

std::string tUDPServer::GetClientText(std::uint16_t ClientID_) {
  std::lock_guard<std::mutex> guard(StateGuard);
  tUDPClient peer;
  if (!Clients || !Clients->GetClient(ClientID_, peer)) return std::string();
  return peer.Address + ":" + std::to_string(peer.Port);
}

int tUDPServer::ReceiveBufferSize() {
  std::lock_guard<std::mutex> guard(StateGuard);
  return Socket < 0 ? -1 : SocketReceiveBuffer(Socket);
}

}  // namespace logserver

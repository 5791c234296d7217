#include "net/uUDPServer.h"

#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

// Bursts wait in the kernel while this thread hands a run of datagrams on.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
// After a read that did not fill the batch, a pause this long lets the next
// read take a longer run: under load a wake-up then serves dozens of
// datagrams instead of one or two, which is what keeps up at high rates on
// few cores. An idle socket is not affected: the thread then sleeps in poll.
constexpr int kCoalesceMicroseconds = 200;

}  // namespace

tUDPServer::tUDPServer(const tServerSetup& setup)
    : TIPConnection("ls-udp"),
      OnReceive(setup.Events.OnReceive),
      OnSend(setup.Events.OnSend),
      OnDisconnect(setup.Events.OnDisconnect),
      OnConnect(setup.Events.OnConnect),
      OnBatchEnd(setup.Events.OnBatchEnd),
      Address(setup.IPAddress),
      Port(setup.IPPort),
      Datagrams(kBufferSize) {}

std::unique_ptr<tUDPServer> tUDPServer::Create(const tServerSetup& Setup) {
  std::unique_ptr<tUDPServer> server(new tUDPServer(Setup));
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
  return SocketSetOption(Socket.Get(), Level, OptName, OptVal, OptLen);
}

void tUDPServer::Execute() {
  if (!OpenSocket()) {
    Failed_.store(true);
    return;
  }
  ServeLoop();
  CloseSocket();
}

bool tUDPServer::OpenSocket() {
  LastError_.store(0);
  TDescriptor fd = SocketCreateDatagram();
  if (!fd) {
    LastError_.store(errno);
    return false;
  }
  SocketSetNonBlocking(fd.Get());
  // No SO_REUSEADDR: with it another socket could bind the same port and
  // take every datagram from then on. The port is this server's alone.
  // A large receive buffer absorbs bursts while this thread is busy in a
  // handler; less is granted without privileges, which is no error.
  SocketSetReceiveBuffer(fd.Get(), kReceiveBufferBytes);
  // An empty or malformed text reads as the all-ones address, which a
  // datagram socket could bind: refuse it as the stream socket's bind does.
  const std::uint32_t address = ParseIPv4(Address);
  const bool malformed = address == kInvalidAddress && Address != "255.255.255.255";
  if (malformed || SocketBind(fd.Get(), address, Port) != 0) {
    LastError_.store(malformed ? EADDRNOTAVAIL : errno);
    return false;
  }
  BoundPort_.store(SocketLocalAddress(fd.Get()).port);
  std::lock_guard<std::mutex> guard(StateGuard);
  Socket = std::move(fd);
  SendQueue = std::make_unique<TSendQueue>();
  Clients = std::make_unique<TUDPClintList>();
  return true;
}

void tUDPServer::CloseSocket() {
  std::unique_ptr<TSendQueue> queue;
  std::unique_ptr<TUDPClintList> clients;
  {
    std::lock_guard<std::mutex> guard(StateGuard);
    Socket.Reset();
    queue = std::move(SendQueue);
    clients = std::move(Clients);
  }
  // Freed outside the guard: commands still queued go without events.
}

void tUDPServer::ServeLoop() {
  Started.Post();
  while (!Terminated()) {
    const int received = SocketReceiveMany(Socket.Get(), Datagrams);
    if (received > 0) {
      // Read on while datagrams wait; poll only once the socket is empty.
      for (int i = 0; i < received; ++i) HandleDatagram(i);
      if (OnBatchEnd) CallHandlerSafely([&] { OnBatchEnd(); });
      if (received < TDatagramBatch::kCapacity) SleepMicroseconds(kCoalesceMicroseconds);
      if (!SendQueued()) {
        Failed_.store(true);
        break;
      }
      continue;
    }
    if (received < 0) LastError_.store(errno);
    if (!SendQueued()) {
      Failed_.store(true);
      break;
    }
    // Sleeps until a datagram, a send command, room to send, or the stop.
    bool readable = false, writable = false, woken = false;
    const bool sending = SendQueue->Count() > 0;
    if (SocketWaitOrWake(Socket.Get(), true, sending, WakeUp, -1, readable, writable, woken) < 0 &&
        errno != EINTR) {
      LastError_.store(errno);
      Failed_.store(true);
      break;
    }
    if (woken) WakeUp.Clear();
  }
  Started.TryWait();
}

void tUDPServer::SetPeer(std::uint16_t id, const std::string& address, std::uint16_t port) {
  ClientID = id;
  ClientAddress = address;
  ClientPort = port;
}

void tUDPServer::HandleDatagram(int i) {
  const std::size_t n = Datagrams.Size(i);
  if (n == 0) return;  // an empty datagram: no peer, no event
  const TSocketAddress from = Datagrams.From(i);
  ClientPort = from.port;
  // Senders repeat: the last one's text and slot are kept (the slot until
  // a command of this thread removes a peer).
  if (from.address != CachedAddress || CachedAddressText.empty()) {
    CachedAddressText = FormatIPv4(from.address);
    CachedAddress = from.address;
    CachedSlotValid = false;
  }
  // The send commands set the peer fields too: they are set anew each time.
  ClientAddress = CachedAddressText;
  std::uint16_t id = ClientID;
  if (CachedSlotValid && from.port == CachedPort) {
    ClientID = CachedSlot;
  } else if (Clients->FindClient(ClientAddress, ClientPort, id)) {
    ClientID = id;
    CachedSlotValid = true;
  } else {
    ClientID = Clients->AddClient(tUDPClient{ClientAddress, ClientPort});
    // 255 is also "full": only a slot known to hold the peer is kept.
    CachedSlotValid = ClientID != TUDPClintList::kFullSlot;
    if (OnConnect) CallHandlerSafely([&] { OnConnect(*this); });
  }
  CachedSlot = ClientID;
  CachedPort = from.port;
  if (OnReceive)
    CallHandlerSafely([&] { OnReceive(*this, Datagrams.Data(i), static_cast<std::uint32_t>(n)); });
}

bool tUDPServer::SendQueued() {
  while (SendQueue->Count() > 0 && !Terminated()) {
    bool readable = false, writable = false;
    if (SocketWait(Socket.Get(), false, true, 0, readable, writable) < 0) {
      if (errno == EINTR) continue;
      LastError_.store(errno);
      return false;
    }
    // Unwritable: the commands wait, and the sleep watches for room.
    if (!writable) return true;
    SendPending();
  }
  return true;
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
        CachedSlotValid = false;
        if (Clients->RemoveClient(msg->ClientID) && OnDisconnect) CallHandlerSafely([&] { OnDisconnect(*this); });
      }
      return;
    }
  }
  TSocketAddress to;
  to.address = ParseIPv4(ClientAddress);
  to.port = ClientPort;
  if (SocketSendTo(Socket.Get(), msg->Data.data(), msg->Data.size(), to) != -1) {
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
  {
    std::lock_guard<std::mutex> guard(StateGuard);
    if (SendQueue) SendQueue->Push(std::move(Msg));
  }
  WakeUp.Signal();
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
  {
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
  WakeUp.Signal();
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
  return Socket ? SocketReceiveBuffer(Socket.Get()) : -1;
}

}  // namespace logserver

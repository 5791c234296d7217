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

constexpr const char* kHandlerFailure = "ls-udp handler";

}  // namespace

tUDPServer::tUDPServer(const TServerSetup& setup, TDescriptor bound)
    : TThread("ls-udp"), Setup(setup), Bound(std::move(bound)), Datagrams(kBufferSize) {
  CountFailuresIn(Setup.Failures);
}

std::unique_ptr<tUDPServer> tUDPServer::Create(const TServerSetup& Setup, TDescriptor bound) {
  std::unique_ptr<tUDPServer> server(new tUDPServer(Setup, std::move(bound)));
  server->Start();
  return server;
}

TDescriptor tUDPServer::Bind(const std::string& address, std::uint16_t port, int& error) {
  error = 0;
  TDescriptor fd = SocketCreateDatagramFor(address);
  if (!fd || SocketSetNonBlocking(fd.Get()) != 0) {
    error = errno;
    return TDescriptor();
  }
  // No SO_REUSEADDR: with it another socket could bind the same port and
  // take every datagram from then on. The port is this server's alone.
  // A large receive buffer absorbs bursts while the server thread is busy
  // in a handler (or, for a socket bound at a reload, not started yet);
  // less is granted without privileges, which is no error.
  SocketSetReceiveBuffer(fd.Get(), kReceiveBufferBytes);
  // The kernel's drops are counted with each read; without them (an old
  // kernel) the count stays 0, which the metrics then show.
  SocketReportDrops(fd.Get());
  // An empty or malformed text reads as the all-ones address, which a
  // datagram socket could bind: refuse it as the stream socket's bind does.
  if (SocketBindTo(fd.Get(), address, port) != 0) {
    error = errno == EINVAL ? EADDRNOTAVAIL : errno;
    return TDescriptor();
  }
  return fd;
}

void tUDPServer::DrainAndStop() {
  DrainAtStop.store(true);
  StopAndWait();
}

void tUDPServer::Drain(TServing& serving) {
  // A flood into the old port could keep it readable for ever: at most
  // what its buffer can hold is read (the kernel charges a few hundred
  // bytes for the smallest datagram).
  const int granted = SocketReceiveBuffer(serving.Socket);
  const int batches = (granted > 0 ? granted : kReceiveBufferBytes) / (TDatagramBatch::kCapacity * 256) + 1;
  for (int b = 0; b < batches; ++b) {
    const int received = SocketReceiveMany(serving.Socket, Datagrams);
    if (received <= 0) return;
    for (int i = 0; i < received; ++i) HandleDatagram(serving, i);
    if (Setup.OnBatchEnd)
      CallRecordingFailures(FailureCounter(), kHandlerFailure, [&] { Setup.OnBatchEnd(); });
  }
}

tUDPServer::~tUDPServer() { StopAndWait(); }

bool tUDPServer::WaitStarted(int TimeoutMs, int& ErrorCode) {
  return WaitForStartSignal(ServingStarted, TimeoutMs, LastError_, ErrorCode);
}

int tUDPServer::SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) {
  if (Terminated()) return 1;
  TMutexLock guard(StateGuard);
  return SocketSetOption(Socket.Get(), Level, OptName, OptVal, OptLen);
}

void tUDPServer::Execute() {
  TServing serving;
  if (!OpenSocket(serving)) {
    Failed_.store(true);
    return;
  }
  ServeLoop(serving);
  CloseSocket();
}

bool tUDPServer::OpenSocket(TServing& serving) {
  LastError_.store(0);
  // Without its wake-up the thread could not be stopped while it waits.
  if (!WakeUp.Valid()) {
    LastError_.store(WakeUp.CreateError());
    return false;
  }
  int error = 0;
  TDescriptor fd = Bound ? std::move(Bound) : Bind(Setup.IPAddress, Setup.IPPort, error);
  if (!fd) {
    LastError_.store(error);
    return false;
  }
  if (Setup.Counters != nullptr)
    Setup.Counters->ReceiveBufferBytes.store(SocketReceiveBuffer(fd.Get()));
  BoundPort_.store(SocketLocalAddress(fd.Get()).Port);
  TMutexLock guard(StateGuard);
  Socket = std::move(fd);
  SendQueue = std::make_unique<TSendQueue>();
  Clients = std::make_unique<TUDPClintList>();
  serving.Socket = Socket.Get();
  serving.Queue = SendQueue.get();
  serving.Clients = Clients.get();
  return true;
}

void tUDPServer::CloseSocket() {
  std::unique_ptr<TSendQueue> queue;
  std::unique_ptr<TUDPClintList> clients;
  {
    TMutexLock guard(StateGuard);
    Socket.Reset();
    queue = std::move(SendQueue);
    clients = std::move(Clients);
  }
  // Freed outside the guard: commands still queued go without events.
}

void tUDPServer::ServeLoop(TServing& serving) {
  ServingStarted.Post();
  while (!Terminated()) {
    const int received = SocketReceiveMany(serving.Socket, Datagrams);
    if (received > 0) {
      std::uint32_t drops = 0;
      if (Setup.Counters != nullptr && Datagrams.KernelDrops(drops))
        Setup.Counters->KernelDrops.store(drops, std::memory_order_relaxed);
      // Read on while datagrams wait; poll only once the socket is empty.
      for (int i = 0; i < received; ++i) HandleDatagram(serving, i);
      if (Setup.OnBatchEnd)
        CallRecordingFailures(FailureCounter(), kHandlerFailure, [&] { Setup.OnBatchEnd(); });
      if (received < TDatagramBatch::kCapacity) SleepMicroseconds(kCoalesceMicroseconds);
      if (!SendQueued(serving)) {
        Failed_.store(true);
        break;
      }
      continue;
    }
    if (received < 0) LastError_.store(errno);
    if (!SendQueued(serving)) {
      Failed_.store(true);
      break;
    }
    // Sleeps until a datagram, a send command, room to send, or the stop.
    bool readable = false, writable = false, woken = false;
    const bool sending = serving.Queue->Count() > 0;
    if (SocketWaitOrWake(serving.Socket, true, sending, WakeUp, -1, readable, writable, woken) < 0 &&
        errno != EINTR) {
      LastError_.store(errno);
      Failed_.store(true);
      break;
    }
    if (woken) WakeUp.Clear();
  }
  if (DrainAtStop.load() && !Failed_.load()) Drain(serving);
  // A start signal nobody waited for is taken back: serving has ended.
  ServingStarted.TryWait();
}

void tUDPServer::SetPeer(std::uint16_t id, const std::string& address, std::uint16_t port) {
  ClientID = id;
  ClientAddress = address;
  ClientPort = port;
}

void tUDPServer::RaiseEvent(const tNotifyTCPEvent& event) {
  if (event) CallRecordingFailures(FailureCounter(), kHandlerFailure, [&] { event(*this); });
}

void tUDPServer::HandleDatagram(TServing& serving, int i) {
  const std::size_t n = Datagrams.Size(i);
  if (n == 0) return;  // an empty datagram: no peer, no event
  const TSocketAddress from = Datagrams.From(i);
  ClientPort = from.Port;
  // Senders repeat: the last one's text and slot are kept (the slot until
  // a command of this thread removes a peer).
  if (!from.SameHost(CachedAddress) || CachedAddressText.empty()) {
    CachedAddressText = FormatAddress(from);
    CachedAddress = from;
    CachedSlotValid = false;
    CachedRateGeneration = 0;
  }
  if (Setup.Rates && Setup.Rates->Generation() != CachedRateGeneration) {
    CachedRateGeneration = Setup.Rates->Generation();
    CachedRate = Setup.Rates->For(CachedAddressText, from);
  }
  // Beyond its sender's allowance a datagram is dropped (and counted).
  if (CachedRate && !CachedRate->Admit(n, MonotonicMilliseconds())) return;
  // The send commands set the peer fields too: they are set anew each time.
  ClientAddress = CachedAddressText;
  std::uint16_t id = ClientID;
  if (CachedSlotValid && from.Port == CachedPort) {
    ClientID = CachedSlot;
  } else if (serving.Clients->FindClient(ClientAddress, ClientPort, id)) {
    ClientID = id;
    CachedSlotValid = true;
  } else {
    ClientID = serving.Clients->AddClient(tUDPClient{ClientAddress, ClientPort});
    // 255 is also "full": only a slot known to hold the peer is kept.
    CachedSlotValid = ClientID != TUDPClintList::kFullSlot;
    RaiseEvent(Setup.OnConnect);
  }
  CachedSlot = ClientID;
  CachedPort = from.Port;
  if (Setup.OnReceive)
    CallRecordingFailures(FailureCounter(), kHandlerFailure, [&] {
      Setup.OnReceive(*this, Datagrams.Data(i), static_cast<std::uint32_t>(n));
    });
}

bool tUDPServer::SendQueued(TServing& serving) {
  while (serving.Queue->Count() > 0 && !Terminated()) {
    bool readable = false, writable = false;
    if (SocketWait(serving.Socket, false, true, 0, readable, writable) < 0) {
      if (errno == EINTR) continue;
      LastError_.store(errno);
      return false;
    }
    // Unwritable: the commands wait, and the sleep watches for room.
    if (!writable) return true;
    SendPending(serving);
  }
  return true;
}

void tUDPServer::SendPending(TServing& serving) {
  pSendMSG msg = serving.Queue->Pop();
  if (!msg) return;
  if (msg->Data.empty() && msg->Command != cmdSendDisconnect) return;
  TUDPClintList& clients = *serving.Clients;
  bool isNew = true;
  switch (msg->Command) {
    case cmdSendToClient: {
      tUDPClient peer;
      if (!clients.GetClient(msg->ClientID, peer)) {
        if (Setup.OnDisconnect) {
          SetPeer(msg->ClientID, "0.0.0.0", 0);
          RaiseEvent(Setup.OnDisconnect);
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
      if (clients.FindClient(address, msg->Port, found)) {
        msg->ClientID = found;
        isNew = false;
      }
      ClientAddress = address;
      ClientPort = msg->Port;
      ClientID = isNew ? clients.AddClient(tUDPClient{address, msg->Port}) : found;
      break;
    }
    case cmdSendDisconnect: {
      tUDPClient peer;
      if (clients.GetClient(msg->ClientID, peer)) {
        SetPeer(msg->ClientID, peer.Address, peer.Port);
        CachedSlotValid = false;
        if (clients.RemoveClient(msg->ClientID)) RaiseEvent(Setup.OnDisconnect);
      }
      return;
    }
  }
  TSocketAddress to;
  if (!ParseAddress(ClientAddress, to)) to.Address = kInvalidAddress;
  to.Port = ClientPort;
  if (SocketSendTo(serving.Socket, msg->Data.data(), msg->Data.size(), to) != -1) {
    if (isNew) RaiseEvent(Setup.OnConnect);
    LastError_.store(0);
    if (Setup.OnSend)
      CallRecordingFailures(FailureCounter(), kHandlerFailure, [&] {
        Setup.OnSend(*this, msg->Data.data(), static_cast<std::uint32_t>(msg->Data.size()));
      });
  } else {
    LastError_.store(errno);
    RaiseEvent(Setup.OnDisconnect);
  }
}

void tUDPServer::PushCommand(pSendMSG Msg) {
  if (Terminated()) return;
  {
    TMutexLock guard(StateGuard);
    if (SendQueue) SendQueue->Push(std::move(Msg));
  }
  WakeUp.Signal();
}

void tUDPServer::SendToClient(std::uint16_t clientID, const char* Data, int Size) {
  auto msg = std::make_unique<tSendMSG>();
  msg->Command = cmdSendToClient;
  msg->ClientID = clientID;
  if (Size > 0) msg->Data.assign(Data, static_cast<std::size_t>(Size));
  PushCommand(std::move(msg));
}

void tUDPServer::SendToIP(const std::string& address, std::uint16_t port, const char* Data,
                          int Size) {
  auto msg = std::make_unique<tSendMSG>();
  msg->Command = cmdSendToIP;
  msg->Address = address.substr(0, 45);  // the longest IPv6 text
  msg->Port = port;
  if (Size > 0) msg->Data.assign(Data, static_cast<std::size_t>(Size));
  PushCommand(std::move(msg));
}

void tUDPServer::SendToAll(const char* Data, int Size) {
  if (Terminated()) return;
  {
    TMutexLock guard(StateGuard);
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

void tUDPServer::DisconnectClient(std::uint16_t clientID) {
  auto msg = std::make_unique<tSendMSG>();
  msg->Command = cmdSendDisconnect;
  msg->ClientID = clientID;
  PushCommand(std::move(msg));
}

std::string tUDPServer::GetClientText(std::uint16_t clientID) {
  TMutexLock guard(StateGuard);
  tUDPClient peer;
  if (!Clients || !Clients->GetClient(clientID, peer)) return std::string();
  return peer.Address + ":" + std::to_string(peer.Port);
}

int tUDPServer::ReceiveBufferSize() {
  TMutexLock guard(StateGuard);
  return Socket ? SocketReceiveBuffer(Socket.Get()) : -1;
}

}  // namespace logserver

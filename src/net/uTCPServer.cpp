#include "net/uTCPServer.h"

#include "platform/uTime.h"

namespace logserver {

namespace {

constexpr const char* kHandlerFailure = "tcp handler";

}  // namespace

TCustomTCPServer::TCustomTCPServer(const TServerSetup& setup)
    : Setup(setup), IdleSeconds(setup.IdleSeconds), Places(setup.PerAddress) {
  SetIPAddress(setup.IPAddress);
  Loops = Setup.Loops;
  if (Loops == nullptr) {
    OwnLoops = std::make_unique<TEventLoops>(0, Setup.Failures);
    Loops = OwnLoops.get();
  }
}

TCustomTCPServer::~TCustomTCPServer() { Stop(); }

void TCustomTCPServer::SetIPAddress(const std::string& text) {
  if (ParseIPv4(text) != kInvalidAddress || IsIPv6Literal(text)) {
    ResolvedAddress = text;
    return;
  }
  // A name that cannot be resolved stays empty: every attempt to listen
  // then fails at bind, which ListenFailure shows.
  std::uint32_t address = 0;
  if (ResolveIPv4(text, address)) ResolvedAddress = FormatIPv4(address);
}

std::unique_ptr<TListener> TCustomTCPServer::MakeListener(const std::string& address, std::uint16_t port) {
  return std::make_unique<TListener>(
      Loops->Next(), address, port,
      [this](TDescriptor socket, const TSocketAddress& peer) { CreateConnection(std::move(socket), peer); });
}

void TCustomTCPServer::Start() {
  Listener = MakeListener(ResolvedAddress, Setup.IPPort);
  Listener->Start();
}

std::unique_ptr<TListener> TCustomTCPServer::ListenerFor(const std::string& address, std::uint16_t port,
                                                         int& error) {
  std::unique_ptr<TListener> listener = MakeListener(address, port);
  if (listener->Start()) return listener;
  error = listener->Failure();
  listener->Stop();
  return nullptr;
}

void TCustomTCPServer::TakeListener(std::unique_ptr<TListener> listener) {
  if (Listener) Listener->Stop();
  Listener = std::move(listener);
}

void TCustomTCPServer::SetLimits(TAddressCaps caps, std::uint32_t idleSeconds) {
  IdleSeconds.store(idleSeconds);
  TLockGuard guard(ListLock);
  Places.SetCaps(std::move(caps));
}

void TCustomTCPServer::Stop() {
  Stopping.store(true);
  // No new client from here on: the listener's loop has run every accept,
  // and each accepted client's Open was posted to its loop before this.
  if (Listener) Listener->Stop();
  // Each loop shuts its own connections, after the Opens posted to it.
  for (std::size_t i = 0; i < Loops->Count(); ++i) {
    TEventLoop& loop = Loops->At(i);
    loop.RunAndWait([&] {
      TLockGuard guard(ListLock);
      for (auto& entry : Connections)
        if (entry.second->Loop() == &loop) entry.second->Shut();
      // What they handed on this turn is pushed before the server goes.
      if (loop.TakeTurnEnd(*this)) OnTurnEnd();
    });
  }
  // No loop serves them any more: they go, newest first, their sockets
  // closing with them.
  std::vector<std::pair<std::uint16_t, std::unique_ptr<TCustomTCPConnection>>> stopping;
  {
    TLockGuard guard(ListLock);
    stopping.swap(Connections);
    Places.Clear();
  }
  while (!stopping.empty()) stopping.pop_back();
}

bool TCustomTCPServer::WaitStarted(int, int& Code) {
  Code = 0;
  return true;
}

int TCustomTCPServer::LastError() const { return Listener ? Listener->LastError() : 0; }
int TCustomTCPServer::ListenFailure() const { return Listener ? Listener->Failure() : 0; }
std::uint16_t TCustomTCPServer::ListeningPort() const { return Listener ? Listener->BoundPort() : 0; }
std::uint64_t TCustomTCPServer::AcceptRests() const { return Listener ? Listener->Rests() : 0; }

int TCustomTCPServer::CreateConnection(TDescriptor Socket, const TSocketAddress& Peer) {
  return AddConnection(std::move(Socket), Peer, nullptr);
}

int TCustomTCPServer::AddConnection(TDescriptor Socket, const TSocketAddress& Peer,
                                    tReceiveFilterType FilterClass) {
  TCustomTCPConnection* connection = nullptr;
  const std::string address = FormatAddress(Peer);
  {
    TLockGuard guard(ListLock);
    // The smallest ID not in use; IDs are reused after removal.
    std::vector<bool> used(Connections.size() + 1, false);
    for (const auto& entry : Connections)
      if (entry.first < used.size()) used[entry.first] = true;
    std::size_t id = 0;
    while (used[id]) ++id;
    if (id > 0xFFFF) return -1;  // the socket closes with its owner
    if (!Places.Take(address, Peer, false)) {
      if (Setup.Counters) Setup.Counters->RefusedPerAddress.fetch_add(1, std::memory_order_relaxed);
      return -1;
    }
    TConnectionSettings settings;
    settings.NotifySends = static_cast<bool>(Setup.OnSend);
    settings.Buffers = Setup.Buffers;
    settings.Counters = Setup.Counters;
    settings.Unfinished = Setup.Unfinished;
    settings.Rates = Setup.Rates;
    Connections.emplace_back(static_cast<std::uint16_t>(id),
                             TCustomTCPConnection::Create(std::move(Socket), static_cast<std::uint16_t>(id),
                                                          *this, settings, address, Peer.Port, FilterClass));
    connection = Connections.back().second.get();
    connection->Assign(Loops->Next());
  }
  // Registered first, so that an early end finds it in the list; the loop
  // frees it only through Ended, or Stop after this Open ran. It may be
  // gone once posted: its ID is taken before.
  const int id = connection->ClientID;
  connection->Loop()->Post([connection] { connection->Open(); });
  return id;
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
  connection->Close();
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

std::size_t TCustomTCPServer::CloseIdle() {
  const std::uint32_t idleSeconds = IdleSeconds.load();
  if (idleSeconds == 0) return 0;
  const std::uint64_t now = MonotonicMilliseconds();
  const std::uint64_t idleMs = idleSeconds * 1000ull;
  std::size_t closed = 0;
  TLockGuard guard(ListLock);
  for (auto& entry : Connections) {
    const std::uint64_t last = entry.second->LastActivity();
    if (now <= last || now - last < idleMs) continue;
    entry.second->Close();  // its loop ends it and raises the disconnect
    ++closed;
  }
  if (closed > 0 && Setup.Counters) Setup.Counters->ClosedIdle.fetch_add(closed, std::memory_order_relaxed);
  return closed;
}

void TCustomTCPServer::Raise(TCustomTCPConnection& connection, TConnectionEvent event, TUnitRun* run,
                             const char* data, int size) {
  // What was read before the stop reached this connection's loop is still
  // handed on; a stopped connection's end is not news to anybody.
  if (event == ceDisconnect && Stopping.load()) return;
  if (TEventLoop* loop = connection.Loop()) loop->AtTurnEnd(*this);
  TCaughtFailures* failures = Setup.Failures;
  TMutexLock guard(HandlerGuard);
  switch (event) {
    case ceConnect:
      if (Setup.OnConnect)
        CallRecordingFailures(failures, kHandlerFailure, [&] { Setup.OnConnect(connection); });
      break;
    case ceDisconnect:
      if (Setup.OnDisconnect)
        CallRecordingFailures(failures, kHandlerFailure, [&] { Setup.OnDisconnect(connection); });
      break;
    case ceReceiveData:
      if (Setup.OnReceiveRun) {
        CallRecordingFailures(failures, kHandlerFailure, [&] { Setup.OnReceiveRun(connection, *run); });
      } else if (Setup.OnReceive) {
        // An owner without a run handler sees each unit on its own.
        run->ForEach([&](const char* unit, std::size_t length) {
          CallRecordingFailures(failures, kHandlerFailure, [&] {
            Setup.OnReceive(connection, unit, static_cast<std::uint32_t>(length));
          });
        });
      }
      break;
    case ceSendData:
      if (Setup.OnSend)
        CallRecordingFailures(failures, kHandlerFailure, [&] {
          Setup.OnSend(connection, size > 0 ? data : nullptr, static_cast<std::uint32_t>(size));
        });
      break;
  }
}

void TCustomTCPServer::Ended(TCustomTCPConnection& connection) {
  // Without a disconnect handler nobody hears of the end, and the
  // connection stays registered (closed) until the listener stops.
  if (!Setup.OnDisconnect && !Stopping.load()) return;
  std::unique_ptr<TCustomTCPConnection> ended;
  {
    TLockGuard guard(ListLock);
    for (auto it = Connections.begin(); it != Connections.end(); ++it) {
      if (it->second.get() == &connection) {
        Places.Give(connection.ClientAddress, true, false);
        ended = std::move(it->second);
        Connections.erase(it);
        break;
      }
    }
  }
}

void TCustomTCPServer::OnTurnEnd() {
  if (!Setup.OnBatchEnd) return;
  TMutexLock guard(HandlerGuard);
  CallRecordingFailures(Setup.Failures, kHandlerFailure, [&] { Setup.OnBatchEnd(); });
}

}  // namespace logserver

#include "net/uSyslogStreamServer.h"

#include "platform/uSocket.h"
#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;
// Reads of one TLS connection in one turn, so that one busy sender cannot
// keep the others waiting.
constexpr int kTlsReadsPerTurn = 4;
constexpr const char* kSyslogHandlerFailure = "syslog TCP handler";

}  // namespace

// One accepted sender: its state, served by its loop.
class TSyslogStreamServer::TConnection final : public TLoopClient, public TUnfinishedHolder {
 public:
  explicit TConnection(TSyslogStreamServer& server)
      : TUnfinishedHolder(server.Setup.Unfinished), Server(server) {}
  void OnReady(bool, bool) override {
    if (Evicted() || !Server.Serve(*this)) Server.Close(*this);
  }
  void OnTimer() override { Server.OnTimer(*this); }
  void OnWake() override {
    if (Evicted()) Server.Close(*this);
  }

  TSyslogStreamServer& Server;
  TDescriptor Socket;
  std::string Address;
  std::uint16_t Port = 0;
  TSyslogFramer Framer;
  std::unique_ptr<TTlsSession> Tls;
  bool Handshaking = false;
  std::uint64_t HandshakeDeadline = 0;  // monotonic ms
  // The last byte read, and when the idle check is due next (monotonic ms).
  std::uint64_t LastActivity = 0;
  std::uint64_t IdleCheckAt = 0;
  TReadPace Pace;
  // Its loop and its token there (0 before Open and once closed).
  TEventLoop* Loop = nullptr;
  std::uint64_t Token = 0;
};

std::unique_ptr<TSyslogStreamServer> TSyslogStreamServer::Create(const TSetup& setup,
                                                                 std::shared_ptr<TTlsContext> tls) {
  std::unique_ptr<TSyslogStreamServer> server(new TSyslogStreamServer(setup));
  if (setup.Counters) setup.Counters->On.store(true);
  if (server->Ports[0] != 0) server->StartListener(false);
  if (tls) server->SetTlsContext(std::move(tls));
  return server;
}

TSyslogStreamServer::TSyslogStreamServer(const TSetup& setup)
    : Setup(setup),
      Address(setup.Address),
      Ports{setup.TcpPort, setup.TlsPort},
      IdleSeconds(setup.IdleSeconds),
      MaxConnections(setup.MaxConnections),
      Places(setup.PerAddress) {}

TSyslogStreamServer::~TSyslogStreamServer() {
  Stopping.store(true);
  for (auto& listener : Listeners)
    if (listener) listener->Stop();
  // Each loop lets go of its connections, after the Opens posted to it.
  for (std::size_t i = 0; i < Setup.Loops->Count(); ++i) {
    TEventLoop& loop = Setup.Loops->At(i);
    loop.RunAndWait([&] {
      TMutexLock lock(ListGuard);
      for (auto& entry : Connections) {
        TConnection& connection = *entry.second;
        if (connection.Loop != &loop || connection.Token == 0) continue;
        loop.Deregister(connection.Token);
        connection.Token = 0;
      }
      if (loop.TakeTurnEnd(*this)) OnTurnEnd();
    });
  }
  TMutexLock lock(ListGuard);
  Connections.clear();
  Places.Clear();
}

void TSyslogStreamServer::SetTlsContext(std::shared_ptr<TTlsContext> context) {
  {
    TMutexLock lock(TlsGuard);
    Tls = std::move(context);
  }
  // A TLS port not bound for want of a certificate is bound now.
  if (Ports[1] != 0 && !Listeners[1]) StartListener(true);
}

bool TSyslogStreamServer::HasTls() {
  TMutexLock lock(TlsGuard);
  return Tls != nullptr;
}

std::unique_ptr<TListener> TSyslogStreamServer::MakeListener(bool tls, const std::string& address,
                                                             std::uint16_t port) {
  return std::make_unique<TListener>(
      Setup.Loops->Next(), address, port,
      [this, tls](TDescriptor socket, const TSocketAddress& peer) { Accept(tls, std::move(socket), peer); });
}

void TSyslogStreamServer::StartListener(bool tls) {
  Listeners[tls] = MakeListener(tls, Address, Ports[tls]);
  Listeners[tls]->Start();
}

std::unique_ptr<TListener> TSyslogStreamServer::ListenerFor(bool tls, const std::string& address,
                                                            std::uint16_t port, int& error) {
  error = 0;
  if (port == 0) return nullptr;
  std::unique_ptr<TListener> listener = MakeListener(tls, address, port);
  if (listener->Start()) return listener;
  error = listener->Failure();
  listener->Stop();
  return nullptr;
}

void TSyslogStreamServer::TakeListener(bool tls, const std::string& address, std::uint16_t port,
                                       std::unique_ptr<TListener> listener) {
  std::unique_ptr<TListener> old = std::move(Listeners[tls]);
  Listeners[tls] = std::move(listener);
  Ports[tls] = port;
  Address = address;
  // Its connections go on; only new ones come to the new port.
  if (old) old->Stop();
}

void TSyslogStreamServer::SetLimits(std::size_t maxConnections, TAddressCaps caps, std::uint32_t idleSeconds) {
  IdleSeconds.store(idleSeconds);
  TMutexLock lock(ListGuard);
  MaxConnections = maxConnections;
  Places.SetCaps(std::move(caps));
}

void TSyslogStreamServer::Accept(bool tls, TDescriptor socket, const TSocketAddress& peer) {
  std::shared_ptr<TTlsContext> context;
  if (tls) {
    TMutexLock lock(TlsGuard);
    context = Tls;
  }
  auto refuse = [&] {
    if (Setup.Counters) Setup.Counters->Refused.fetch_add(1, std::memory_order_relaxed);
  };
  auto connection = std::make_unique<TConnection>(*this);
  if (tls) {
    if (context) connection->Tls = std::make_unique<TTlsSession>(context, socket.Get());
    if (!connection->Tls || !connection->Tls->Valid()) return refuse();  // closed as it goes
    connection->Handshaking = true;
  }
  connection->Socket = std::move(socket);
  connection->Address = FormatAddress(peer);
  connection->Port = peer.Port;
  connection->Pace.Follow(Setup.Rates, &connection->Address, tls ? ikSyslogTls : ikSyslogTcp);
  TEventLoop& loop = Setup.Loops->Next();
  connection->Loop = &loop;
  TConnection* opened = connection.get();
  {
    TMutexLock lock(ListGuard);
    if (Connections.size() >= MaxConnections) return refuse();
    if (!Places.Take(opened->Address, peer, opened->Tls != nullptr)) {
      if (Setup.Counters) Setup.Counters->RefusedPerAddress.fetch_add(1, std::memory_order_relaxed);
      return;  // closed as it goes
    }
    Connections.emplace(opened, std::move(connection));
  }
  loop.Post([this, opened, &loop] {
    opened->Token = loop.Register(*opened, opened->Socket.Get());
    if (opened->Token == 0) {
      if (Setup.Counters) Setup.Counters->Refused.fetch_add(1, std::memory_order_relaxed);
      TMutexLock lock(ListGuard);
      Places.Give(opened->Address, true, opened->Handshaking);
      Connections.erase(opened);
      return;
    }
    opened->WakeOnEviction(loop, opened->Token);
    const std::uint64_t now = MonotonicMilliseconds();
    opened->LastActivity = now;
    if (opened->Tls) {
      opened->HandshakeDeadline = now + kHandshakeSeconds * 1000;
      loop.SetTimer(opened->Token, opened->HandshakeDeadline);
    }
    if (const std::uint32_t idleSeconds = IdleSeconds.load(); idleSeconds != 0) {
      opened->IdleCheckAt = now + idleSeconds * 1000ull;
      loop.SetTimer(opened->Token, opened->IdleCheckAt);
    }
    if (Setup.OnOpened)
      CallRecordingFailures(Setup.Failures, kSyslogHandlerFailure,
                            [&] { Setup.OnOpened(opened->Tls != nullptr); });
  });
}

bool TSyslogStreamServer::Serve(TConnection& connection) {
  if (!connection.Tls) return ReadPlain(connection);
  // A refused change of interest leaves the old one: the connection is
  // then served when it is readable, which a TLS peer waiting for our
  // bytes will not be until the handshake's deadline drops it.
  if (connection.Handshaking) {
    switch (connection.Tls->Handshake()) {
      case TTlsSession::TStatus::Done: {
        connection.Handshaking = false;
        {
          TMutexLock lock(ListGuard);
          Places.Give(connection.Address, false, true);
        }
        connection.Loop->WatchWrite(connection.Token, false);
        break;
      }
      case TTlsSession::TStatus::WantRead:
        connection.Loop->WatchWrite(connection.Token, false);
        return true;
      case TTlsSession::TStatus::WantWrite:
        connection.Loop->WatchWrite(connection.Token, true);
        return true;
      case TTlsSession::TStatus::Closed:
      case TTlsSession::TStatus::Failed:
        if (Setup.Counters)
          Setup.Counters->NoteFailedHandshake(connection.Address + ":" + std::to_string(connection.Port) +
                                              ": " + connection.Tls->LastError());
        return false;
    }
  }
  return ReadTls(connection);
}

bool TSyslogStreamServer::ReadPlain(TConnection& connection) {
  TPooledBuffer buffer = TBufferPool::TakeFrom(Setup.Buffers);
  buffer.Resize(kReadBytes);
  const long got = SocketRead(connection.Socket.Get(), buffer.Data(), kReadBytes);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (got > 0) connection.LastActivity = MonotonicMilliseconds();
  TUnitRun run;
  run.Bytes = TBufferPool::TakeFrom(Setup.Buffers);
  // The end of the stream (or a reset) ends a last line without its LF.
  const bool framed = Feed(connection, buffer.Data(), got > 0 ? static_cast<std::size_t>(got) : 0,
                           got <= 0, run);
  const std::size_t units = run.Units;
  // What came before a framing error is whole, and kept.
  Deliver(connection, run);
  if (got > 0 && framed) connection.Pace.Charge(*connection.Loop, connection.Token, units, static_cast<std::size_t>(got));
  return got > 0 && framed;
}

bool TSyslogStreamServer::ReadTls(TConnection& connection) {
  TPooledBuffer buffer = TBufferPool::TakeFrom(Setup.Buffers);
  buffer.Resize(kReadBytes);
  TUnitRun run;
  run.Bytes = TBufferPool::TakeFrom(Setup.Buffers);
  bool open = true;
  std::size_t read = 0;
  for (int i = 0; open && i < kTlsReadsPerTurn; ++i) {
    std::size_t got = 0;
    const TTlsSession::TStatus status = connection.Tls->Read(buffer.Data(), kReadBytes, got);
    if (status == TTlsSession::TStatus::Done) {
      read += got;
      connection.LastActivity = MonotonicMilliseconds();
      open = Feed(connection, buffer.Data(), got, false, run);
      continue;
    }
    if (status == TTlsSession::TStatus::WantRead || status == TTlsSession::TStatus::WantWrite) {
      connection.Loop->WatchWrite(connection.Token, status == TTlsSession::TStatus::WantWrite);
      break;
    }
    Feed(connection, nullptr, 0, true, run);
    open = false;
  }
  const std::size_t units = run.Units;
  Deliver(connection, run);
  if (!open) return false;
  // Decrypted bytes the socket will not announce: served again at once, or
  // when a pause ends.
  if (!connection.Pace.Charge(*connection.Loop, connection.Token, units, read) && connection.Tls->HasPending())
    connection.Loop->ServeAgain(connection.Token);
  return true;
}

bool TSyslogStreamServer::Feed(TConnection& connection, const char* data, std::size_t size, bool end,
                               TUnitRun& run) {
  const std::uint64_t cutBefore = connection.Framer.CutMessages();
  const std::size_t unitsBefore = run.Units;
  const bool framed = end ? connection.Framer.Finish(run) : connection.Framer.Feed(data, size, run);
  connection.HoldUnfinished(connection.Framer.Unfinished(), run.Units > unitsBefore);
  if (Setup.Counters) {
    Setup.Counters->CutMessages.fetch_add(connection.Framer.CutMessages() - cutBefore,
                                          std::memory_order_relaxed);
    if (!framed) Setup.Counters->NoteFramingError(connection.Address + ":" + std::to_string(connection.Port));
  }
  return framed;
}

void TSyslogStreamServer::Deliver(TConnection& connection, TUnitRun& run) {
  if (run.Units == 0) return;
  connection.Loop->AtTurnEnd(*this);
  if (Setup.OnMessages)
    CallRecordingFailures(Setup.Failures, kSyslogHandlerFailure, [&] {
      Setup.OnMessages(connection.Address, connection.Port, run, connection.Tls != nullptr);
    });
}

void TSyslogStreamServer::OnTurnEnd() {
  if (Setup.OnBatchEnd) CallRecordingFailures(Setup.Failures, kSyslogHandlerFailure, Setup.OnBatchEnd);
}

void TSyslogStreamServer::HandshakeLate(TConnection& connection) {
  if (!connection.Handshaking) return;
  if (Setup.Counters)
    Setup.Counters->NoteFailedHandshake(connection.Address + ":" + std::to_string(connection.Port) +
                                        ": no handshake within " + std::to_string(kHandshakeSeconds) +
                                        " s");
  Close(connection);
}

void TSyslogStreamServer::OnTimer(TConnection& connection) {
  connection.Pace.OnTimer(*connection.Loop, connection.Token);
  const std::uint64_t now = MonotonicMilliseconds();
  if (connection.Handshaking && now >= connection.HandshakeDeadline) {
    HandshakeLate(connection);
    return;
  }
  // Only the idle check's own timer goes on; the handshake's leaves it be.
  const std::uint32_t idleSeconds = IdleSeconds.load();
  if (idleSeconds == 0 || now < connection.IdleCheckAt) return;
  const std::uint64_t idleMs = idleSeconds * 1000ull;
  if (now - connection.LastActivity >= idleMs) {
    if (Setup.Counters) Setup.Counters->ClosedIdle.fetch_add(1, std::memory_order_relaxed);
    Close(connection);
    return;
  }
  connection.IdleCheckAt = connection.LastActivity + idleMs;
  connection.Loop->SetTimer(connection.Token, connection.IdleCheckAt);
}

void TSyslogStreamServer::Close(TConnection& connection) {
  connection.ForgetUnfinished();
  connection.Loop->Deregister(connection.Token);
  connection.Token = 0;
  if (Setup.OnClosed && !Stopping.load())
    CallRecordingFailures(Setup.Failures, kSyslogHandlerFailure, [&] {
      Setup.OnClosed(connection.Address, connection.Port, connection.Tls != nullptr);
    });
  // Freed here, on its loop; nothing touches it after this.
  std::unique_ptr<TConnection> closed;
  TMutexLock lock(ListGuard);
  Places.Give(connection.Address, true, connection.Handshaking);
  const auto found = Connections.find(&connection);
  if (found != Connections.end()) {
    closed = std::move(found->second);
    Connections.erase(found);
  }
}

}  // namespace logserver

#include "net/uSyslogStreamServer.h"

#include "platform/uSocket.h"
#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr int kBindRetryMs = 3000;
constexpr int kHandshakeLookMs = 1000;
constexpr int kListenerRestMs = 1000;
constexpr std::size_t kReadBytes = 64 * 1024;
// Reads of one TLS connection in one turn, so that one busy sender cannot
// keep the others waiting.
constexpr int kTlsReadsPerTurn = 4;
constexpr int kMaxEvents = 256;
constexpr const char* kSyslogHandlerFailure = "syslog TCP handler";

}  // namespace

std::unique_ptr<TSyslogStreamServer> TSyslogStreamServer::Create(const TSetup& setup,
                                                                 std::shared_ptr<TTlsContext> tls) {
  std::unique_ptr<TSyslogStreamServer> server(new TSyslogStreamServer(setup));
  server->CountFailuresIn(setup.Failures);
  if (tls) server->SetTlsContext(std::move(tls));
  server->BindMissing();
  if (const int error = server->Start(); error != 0) {
    for (TListener& listener : server->Listeners) {
      listener.Error.store(error);
      listener.Listening.store(false);
    }
  }
  return server;
}

TSyslogStreamServer::TSyslogStreamServer(const TSetup& setup)
    : TThread("ls-syslog-tcp"), Setup(setup), ReadBuffer(TBufferPool::TakeFrom(nullptr)) {}

TSyslogStreamServer::~TSyslogStreamServer() { StopAndWait(); }

void TSyslogStreamServer::SetTlsContext(std::shared_ptr<TTlsContext> context) {
  {
    TMutexLock lock(TlsGuard);
    Tls = std::move(context);
  }
  // A TLS port not bound for want of a certificate is bound now.
  WakeUp.Signal();
}

void TSyslogStreamServer::BindMissing() {
  bool haveTls = false;
  {
    TMutexLock lock(TlsGuard);
    haveTls = Tls != nullptr;
  }
  if (Setup.TcpPort != 0 && !Listeners[0].Socket) Bind(false);
  if (Setup.TlsPort != 0 && haveTls && !Listeners[1].Socket) Bind(true);
}

bool TSyslogStreamServer::Bind(bool tls) {
  TListener& listener = Listeners[tls ? 1 : 0];
  if (!Poller.Valid() || !WakeUp.Valid()) {
    listener.Error.store(Poller.Valid() ? WakeUp.CreateError() : Poller.CreateError());
    return false;
  }
  TDescriptor socket = SocketCreateStreamFor(Setup.Address);
  if (!socket || SocketSetReuseAddress(socket.Get()) != 0 ||
      SocketBindTo(socket.Get(), Setup.Address, tls ? Setup.TlsPort : Setup.TcpPort) != 0 ||
      SocketListen(socket.Get(), 1024) != 0 || SocketSetNonBlocking(socket.Get()) != 0 ||
      Poller.Add(socket.Get(), tls ? 1 : 0) != 0) {
    listener.Error.store(errno);
    return false;
  }
  listener.Bound.store(SocketLocalAddress(socket.Get()).Port);
  listener.Socket = std::move(socket);
  listener.Error.store(0);
  listener.Listening.store(true);
  return true;
}

void TSyslogStreamServer::Execute() {
  if (!Poller.Valid() || !WakeUp.Valid() || Poller.Add(WakeUp.Descriptor(), kWakeToken) != 0) return;
  std::vector<std::uint64_t> ready;
  std::vector<std::uint64_t> again;
  while (!Terminated()) {
    const bool unbound = (Setup.TcpPort != 0 && !Listeners[0].Socket) ||
                         (Setup.TlsPort != 0 && !Listeners[1].Socket);
    const bool resting = Listeners[0].RestingUntil != 0 || Listeners[1].RestingUntil != 0;
    int timeout = -1;
    if (!Again.empty())
      timeout = 0;
    else if (Handshakes > 0 || resting)
      timeout = kHandshakeLookMs;
    else if (unbound)
      timeout = kBindRetryMs;
    const int count = Poller.Wait(ready, kMaxEvents, timeout);
    if (count < 0 && errno != EINTR) break;
    if (unbound && !Terminated()) BindMissing();
    if (resting) WakeRestingListeners();
    again.swap(Again);
    Again.clear();
    for (const std::uint64_t token : ready) {
      if (token == kWakeToken) {
        WakeUp.Clear();
      } else if (token <= 1) {
        AcceptAll(token == 1);
      } else {
        const auto found = Connections.find(token);
        if (found != Connections.end() && !Serve(token, *found->second)) Close(token);
      }
    }
    for (const std::uint64_t token : again) {
      const auto found = Connections.find(token);
      if (found != Connections.end() && !Serve(token, *found->second)) Close(token);
    }
    if (Handshakes > 0) DropLateHandshakes();
    if (Setup.OnBatchEnd) CallRecordingFailures(FailureCounter(), kSyslogHandlerFailure, Setup.OnBatchEnd);
  }
}

void TSyslogStreamServer::AcceptAll(bool tls) {
  TListener& listener = Listeners[tls ? 1 : 0];
  std::shared_ptr<TTlsContext> context;
  if (tls) {
    TMutexLock lock(TlsGuard);
    context = Tls;
  }
  for (;;) {
    TSocketAddress peer;
    TDescriptor socket = SocketAccept(listener.Socket.Get(), peer);
    if (!socket) {
      // Out of descriptors or memory, the listener would stay readable and
      // the loop spin: it rests for a second, the connections wait in the
      // backlog meanwhile.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED &&
          Poller.Remove(listener.Socket.Get()) == 0)
        listener.RestingUntil = MonotonicMilliseconds() + kListenerRestMs;
      return;
    }
    if (Connections.size() >= Setup.MaxConnections || (tls && !context)) {
      if (Setup.Counters) Setup.Counters->Refused.fetch_add(1, std::memory_order_relaxed);
      continue;  // closed as it goes
    }
    const std::uint64_t token = NextToken++;
    auto connection = std::make_unique<TConnection>();
    if (tls) {
      connection->Tls = std::make_unique<TTlsSession>(context, socket.Get());
      connection->Handshaking = true;
      connection->HandshakeDeadline = MonotonicMilliseconds() + kHandshakeSeconds * 1000;
    }
    if ((tls && !connection->Tls->Valid()) || SocketSetNonBlocking(socket.Get()) != 0 ||
        Poller.Add(socket.Get(), token) != 0) {
      if (Setup.Counters) Setup.Counters->Refused.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    connection->Socket = std::move(socket);
    connection->Address = FormatAddress(peer);
    connection->Port = peer.Port;
    if (tls) ++Handshakes;
    Connections.emplace(token, std::move(connection));
    if (Setup.OnOpened) CallRecordingFailures(FailureCounter(), kSyslogHandlerFailure, [&] { Setup.OnOpened(tls); });
  }
}

bool TSyslogStreamServer::Serve(std::uint64_t token, TConnection& connection) {
  if (!connection.Tls) return ReadPlain(connection);
  if (connection.Handshaking) {
    switch (connection.Tls->Handshake()) {
      case TTlsSession::TStatus::Done:
        connection.Handshaking = false;
        --Handshakes;
        WatchWrite(token, connection, false);
        break;
      case TTlsSession::TStatus::WantRead:
        WatchWrite(token, connection, false);
        return true;
      case TTlsSession::TStatus::WantWrite:
        WatchWrite(token, connection, true);
        return true;
      case TTlsSession::TStatus::Closed:
      case TTlsSession::TStatus::Failed:
        if (Setup.Counters)
          Setup.Counters->NoteFailedHandshake(connection.Address + ":" + std::to_string(connection.Port) +
                                              ": " + connection.Tls->LastError());
        return false;
    }
  }
  return ReadTls(token, connection);
}

void TSyslogStreamServer::WatchWrite(std::uint64_t token, TConnection& connection, bool write) {
  if (connection.WatchingWrite == write) return;
  // A refusal leaves the old interest: the connection is then served when
  // it is readable, which a TLS peer waiting for our bytes will not be
  // until the handshake's deadline drops it.
  if (Poller.WatchWrite(connection.Socket.Get(), token, write) == 0) connection.WatchingWrite = write;
}

bool TSyslogStreamServer::ReadPlain(TConnection& connection) {
  ReadBuffer.Resize(kReadBytes);
  const long got = SocketRead(connection.Socket.Get(), ReadBuffer.Data(), kReadBytes);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  TUnitRun run;
  run.Bytes = TBufferPool::TakeFrom(Setup.Buffers);
  // The end of the stream (or a reset) ends a last line without its LF.
  const bool framed = Feed(connection, ReadBuffer.Data(), got > 0 ? static_cast<std::size_t>(got) : 0,
                           got <= 0, run);
  // What came before a framing error is whole, and kept.
  Deliver(connection, run);
  return got > 0 && framed;
}

bool TSyslogStreamServer::ReadTls(std::uint64_t token, TConnection& connection) {
  ReadBuffer.Resize(kReadBytes);
  TUnitRun run;
  run.Bytes = TBufferPool::TakeFrom(Setup.Buffers);
  bool open = true;
  for (int i = 0; open && i < kTlsReadsPerTurn; ++i) {
    std::size_t got = 0;
    const TTlsSession::TStatus status = connection.Tls->Read(ReadBuffer.Data(), kReadBytes, got);
    if (status == TTlsSession::TStatus::Done) {
      open = Feed(connection, ReadBuffer.Data(), got, false, run);
      continue;
    }
    if (status == TTlsSession::TStatus::WantRead || status == TTlsSession::TStatus::WantWrite) {
      WatchWrite(token, connection, status == TTlsSession::TStatus::WantWrite);
      break;
    }
    Feed(connection, nullptr, 0, true, run);
    open = false;
  }
  if (open && connection.Tls->HasPending()) Again.push_back(token);
  Deliver(connection, run);
  return open;
}

bool TSyslogStreamServer::Feed(TConnection& connection, const char* data, std::size_t size, bool end,
                               TUnitRun& run) {
  const std::uint64_t cutBefore = connection.Framer.CutMessages();
  const bool framed = end ? connection.Framer.Finish(run) : connection.Framer.Feed(data, size, run);
  if (Setup.Counters) {
    Setup.Counters->CutMessages.fetch_add(connection.Framer.CutMessages() - cutBefore,
                                          std::memory_order_relaxed);
    if (!framed) Setup.Counters->NoteFramingError(connection.Address + ":" + std::to_string(connection.Port));
  }
  return framed;
}

void TSyslogStreamServer::Deliver(TConnection& connection, TUnitRun& run) {
  if (run.Units == 0) return;
  if (Setup.OnMessages)
    CallRecordingFailures(FailureCounter(), kSyslogHandlerFailure, [&] {
      Setup.OnMessages(connection.Address, connection.Port, run, connection.Tls != nullptr);
    });
}

void TSyslogStreamServer::WakeRestingListeners() {
  const std::uint64_t now = MonotonicMilliseconds();
  for (int tls = 0; tls < 2; ++tls) {
    TListener& listener = Listeners[tls];
    if (listener.RestingUntil == 0 || now < listener.RestingUntil) continue;
    // Watched again; should that fail, it rests another second.
    listener.RestingUntil = Poller.Add(listener.Socket.Get(), static_cast<std::uint64_t>(tls)) == 0
                                ? 0
                                : now + kListenerRestMs;
  }
}

void TSyslogStreamServer::DropLateHandshakes() {
  const std::uint64_t now = MonotonicMilliseconds();
  if (now < NextHandshakeLook) return;
  NextHandshakeLook = now + kHandshakeLookMs;
  std::vector<std::uint64_t> late;
  for (const auto& [token, connection] : Connections)
    if (connection->Handshaking && now >= connection->HandshakeDeadline) late.push_back(token);
  for (const std::uint64_t token : late) {
    TConnection& connection = *Connections.find(token)->second;
    if (Setup.Counters)
      Setup.Counters->NoteFailedHandshake(connection.Address + ":" + std::to_string(connection.Port) +
                                          ": no handshake within " + std::to_string(kHandshakeSeconds) +
                                          " s");
    Close(token);
  }
}

void TSyslogStreamServer::Close(std::uint64_t token) {
  const auto found = Connections.find(token);
  if (found == Connections.end()) return;
  std::unique_ptr<TConnection> connection = std::move(found->second);
  Connections.erase(found);
  if (connection->Handshaking) --Handshakes;
  // Closing the socket below takes it out of the poller too, should this fail.
  if (Poller.Remove(connection->Socket.Get()) != 0) errno = 0;
  if (Setup.OnClosed)
    CallRecordingFailures(FailureCounter(), kSyslogHandlerFailure, [&] {
      Setup.OnClosed(connection->Address, connection->Port, connection->Tls != nullptr);
    });
}

}  // namespace logserver

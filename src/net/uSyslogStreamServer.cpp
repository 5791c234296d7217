#include "net/uSyslogStreamServer.h"

#include "platform/uSocket.h"

#include <cerrno>
#include <vector>

namespace logserver {

namespace {

constexpr int kBindRetryMs = 3000;
constexpr std::size_t kReadBytes = 64 * 1024;
constexpr int kMaxEvents = 256;
constexpr const char* kSyslogHandlerFailure = "syslog TCP handler";

}  // namespace

std::unique_ptr<TSyslogStreamServer> TSyslogStreamServer::Create(const TSetup& setup) {
  std::unique_ptr<TSyslogStreamServer> server(new TSyslogStreamServer(setup));
  server->CountFailuresIn(setup.Failures);
  server->Bind();
  if (const int error = server->Start(); error != 0) {
    server->BindError_.store(error);
    server->Listening_.store(false);
  }
  return server;
}

TSyslogStreamServer::TSyslogStreamServer(const TSetup& setup)
    : TThread("ls-syslog-tcp"), Setup(setup), ReadBuffer(TBufferPool::TakeFrom(nullptr)) {}

TSyslogStreamServer::~TSyslogStreamServer() {
  StopAndWait();
  if (Setup.Counters)
    Setup.Counters->Connections.fetch_sub(static_cast<std::int64_t>(Connections.size()),
                                          std::memory_order_relaxed);
}

bool TSyslogStreamServer::Bind() {
  if (!Poller.Valid() || !WakeUp.Valid()) {
    BindError_.store(Poller.Valid() ? WakeUp.CreateError() : Poller.CreateError());
    return false;
  }
  TDescriptor socket = SocketCreateStream();
  const std::uint32_t address = ParseIPv4(Setup.Address);
  if (!socket || SocketSetReuseAddress(socket.Get()) != 0 ||
      SocketBind(socket.Get(), address, Setup.Port) != 0 || SocketListen(socket.Get(), 1024) != 0 ||
      SocketSetNonBlocking(socket.Get()) != 0 || Poller.Add(socket.Get(), kListenerToken) != 0) {
    BindError_.store(errno);
    return false;
  }
  BoundPort_.store(SocketLocalAddress(socket.Get()).Port);
  Listener = std::move(socket);
  BindError_.store(0);
  Listening_.store(true);
  return true;
}

void TSyslogStreamServer::Execute() {
  if (!Poller.Valid() || !WakeUp.Valid() || Poller.Add(WakeUp.Descriptor(), kWakeToken) != 0) return;
  std::vector<std::uint64_t> ready;
  while (!Terminated()) {
    const int count = Poller.Wait(ready, kMaxEvents, Listener ? -1 : kBindRetryMs);
    if (count < 0 && errno != EINTR) break;
    if (!Listener && !Terminated()) Bind();
    for (const std::uint64_t token : ready) {
      if (token == kWakeToken) {
        WakeUp.Clear();
      } else if (token == kListenerToken) {
        AcceptAll();
      } else {
        const auto found = Connections.find(token);
        if (found != Connections.end() && !ReadFrom(*found->second)) Close(token);
      }
    }
    if (Setup.OnBatchEnd) CallRecordingFailures(FailureCounter(), kSyslogHandlerFailure, Setup.OnBatchEnd);
  }
}

void TSyslogStreamServer::AcceptAll() {
  for (;;) {
    TSocketAddress peer;
    TDescriptor socket = SocketAccept(Listener.Get(), peer);
    if (!socket) return;  // EAGAIN: all taken; any other failure: the next turn tries again
    if (Connections.size() >= Setup.MaxConnections) {
      if (Setup.Counters) Setup.Counters->Refused.fetch_add(1, std::memory_order_relaxed);
      continue;  // closed as it goes
    }
    const std::uint64_t token = NextToken++;
    if (SocketSetNonBlocking(socket.Get()) != 0 || Poller.Add(socket.Get(), token) != 0) {
      if (Setup.Counters) Setup.Counters->Refused.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    auto connection = std::make_unique<TConnection>();
    connection->Socket = std::move(socket);
    connection->Address = FormatIPv4(peer.Address);
    connection->Port = peer.Port;
    Connections.emplace(token, std::move(connection));
    if (Setup.Counters) Setup.Counters->Connections.fetch_add(1, std::memory_order_relaxed);
  }
}

bool TSyslogStreamServer::ReadFrom(TConnection& connection) {
  ReadBuffer.Resize(kReadBytes);
  const long got = SocketRead(connection.Socket.Get(), ReadBuffer.Data(), kReadBytes);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  TUnitRun run;
  run.Bytes = TBufferPool::TakeFrom(Setup.Buffers);
  const std::uint64_t cutBefore = connection.Framer.CutMessages();
  // The end of the stream (or a reset) ends a last line without its LF.
  const bool framed = got > 0
                          ? connection.Framer.Feed(ReadBuffer.Data(), static_cast<std::size_t>(got), run)
                          : connection.Framer.Finish(run);
  if (Setup.Counters) {
    Setup.Counters->CutMessages.fetch_add(connection.Framer.CutMessages() - cutBefore,
                                          std::memory_order_relaxed);
    if (!framed) Setup.Counters->NoteFramingError(connection.Address + ":" + std::to_string(connection.Port));
  }
  // What came before a framing error is whole, and kept.
  Deliver(connection, run);
  return got > 0 && framed;
}

void TSyslogStreamServer::Deliver(TConnection& connection, TUnitRun& run) {
  if (run.Units == 0) return;
  if (Setup.Counters) {
    Setup.Counters->Messages.fetch_add(run.Units, std::memory_order_relaxed);
    Setup.Counters->Bytes.fetch_add(run.Bytes.Size() - run.Units * kUnitHeaderBytes,
                                    std::memory_order_relaxed);
  }
  if (Setup.OnMessages)
    CallRecordingFailures(FailureCounter(), kSyslogHandlerFailure,
                          [&] { Setup.OnMessages(connection.Address, connection.Port, run); });
}

void TSyslogStreamServer::Close(std::uint64_t token) {
  const auto found = Connections.find(token);
  if (found == Connections.end()) return;
  std::unique_ptr<TConnection> connection = std::move(found->second);
  Connections.erase(found);
  // Closing the socket below takes it out of the poller too, should this fail.
  if (Poller.Remove(connection->Socket.Get()) != 0) errno = 0;
  if (Setup.Counters) Setup.Counters->Connections.fetch_sub(1, std::memory_order_relaxed);
  if (Setup.OnClosed)
    CallRecordingFailures(FailureCounter(), kSyslogHandlerFailure,
                          [&] { Setup.OnClosed(connection->Address, connection->Port); });
}

}  // namespace logserver

#include "net/uListener.h"

#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

// Accepts in one turn, so that a connection storm leaves the loop's other
// clients their turn; the rest wait in the backlog for the next one.
constexpr int kAcceptsPerTurn = 64;

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

TListener::TListener(TEventLoop& loop, std::string address, std::uint16_t port, TAccepted accepted)
    : Loop(loop), Address(std::move(address)), Port(port), Accepted(std::move(accepted)) {}

TListener::~TListener() { Stop(); }

bool TListener::Start() {
  Loop.RunAndWait([this] {
    Stopped = false;
    if (Token == 0) Token = Loop.Register(*this, -1);
    if (!Socket) Bind();
  });
  return Listening();
}

void TListener::Stop() {
  Loop.RunAndWait([this] {
    Stopped = true;
    if (Token != 0) Loop.Deregister(Token);
    Token = 0;
    CloseSocket();
  });
}

void TListener::CloseSocket() {
  Socket.Reset();
  Resting = false;
  Listening_.store(false);
  BoundPort_.store(0);
}

void TListener::RetryLater(int delayMs) {
  Loop.SetTimer(Token, MonotonicMilliseconds() + static_cast<std::uint64_t>(delayMs));
}

void TListener::Bind() {
  errno = 0;
  TDescriptor socket = SocketCreateStreamFor(Address);
  // Without SO_REUSEADDR a restart may find the port held by connections in
  // TIME_WAIT.
  if (!socket || SocketSetReuseAddress(socket.Get()) != 0 ||
      SocketBindTo(socket.Get(), Address, Port) != 0 || SocketListen(socket.Get(), kBacklog) != 0 ||
      SocketSetNonBlocking(socket.Get()) != 0 || Token == 0 ||
      !Loop.SetDescriptor(Token, socket.Get())) {
    const int error = errno != 0 ? errno : EBADF;
    Failure_.store(error);
    LastError_.store(error);
    if (Token != 0) RetryLater(kRetryMs);
    return;
  }
  BoundPort_.store(SocketLocalAddress(socket.Get()).Port);
  Socket = std::move(socket);
  Failure_.store(0);
  LastError_.store(0);
  Listening_.store(true);
}

void TListener::OnReady(bool, bool) {
  for (int i = 0; i < kAcceptsPerTurn && Socket; ++i) {
    TSocketAddress peer;
    TDescriptor client = SocketAccept(Socket.Get(), peer);
    if (client) {
      LastError_.store(0);
      // A client whose socket cannot be made non-blocking is let go (its
      // socket closes here); the listener goes on.
      if (SocketSetNonBlocking(client.Get()) == 0) Accepted(std::move(client), peer);
      continue;
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) return;
    if (IsTransientAcceptError(error)) continue;
    LastError_.store(error);
    if (IsResourceAcceptError(error)) {
      // The socket would stay readable and the loop spin on it.
      Loop.SetDescriptor(Token, -1);
      Resting = true;
      Rests_.fetch_add(1, std::memory_order_relaxed);
      RetryLater(kRestMs);
      return;
    }
    // The socket itself failed: it is made anew, as at start.
    Loop.SetDescriptor(Token, -1);
    CloseSocket();
    Failure_.store(error);
    RetryLater(kRetryMs);
    return;
  }
}

void TListener::OnTimer() {
  if (Stopped) return;
  if (Resting && Socket) {
    if (Loop.SetDescriptor(Token, Socket.Get())) {
      Resting = false;
    } else {
      RetryLater(kRestMs);
    }
    return;
  }
  if (!Socket) Bind();
}

}  // namespace logserver

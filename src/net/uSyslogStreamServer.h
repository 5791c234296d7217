// Syslog over TCP and over TLS, served by the event loops, so that
// forwarders that stay connected for days cost a socket and a framer each,
// no thread and no timer. Each readable connection gets one turn of reads
// (fair among senders); the messages of a turn go to the owner as one run,
// in the connection's order, and every loop turn that delivered something
// ends with OnBatchEnd, where the owner may wait for room (TCP flow control
// then slows the senders).
//
// Beyond MaxConnections a new connection is closed at once and counted. A
// framing error closes its connection, counted with the peer's name. The
// bytes of unfinished messages are held on the Unfinished ledger, which
// may close the connections stalled longest. A sender over its allowance
// (Rates) is not read until it has grown back. A TLS
// handshake that has not finished within 10 seconds is dropped, by a timer
// of its loop.
//
// Threading: the handlers run on the loops, several at once (one per loop)
// but a connection's always on its own loop, in order; the counters may be
// read from any thread, and SetTlsContext called from any. The listening
// sockets are bound by Create (so the caller knows at once whether they
// listen) and tried again as TListener does.
#pragma once

#include "net/uAddressPlaces.h"
#include "net/uEventLoop.h"
#include "net/uListener.h"
#include "net/uSenderRates.h"
#include "net/uSyslogFramer.h"
#include "net/uUnfinishedBytes.h"
#include "platform/uBufferPool.h"
#include "platform/uCaughtFailures.h"
#include "platform/uDescriptor.h"
#include "platform/uSync.h"
#include "platform/uTls.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace logserver {

// What goes wrong on the syslog TCP and TLS ports (what they take in, and
// their connections, the owner counts through the handlers).
struct TSyslogStreamCounters {
  // Once a server counts here (it may start only at a reload).
  std::atomic<bool> On{false};
  std::atomic<std::uint64_t> Refused{0};
  // Refused because their address held its share already (connections, or
  // TLS handshakes not finished).
  std::atomic<std::uint64_t> RefusedPerAddress{0};
  // Closed after IdleSeconds without a byte.
  std::atomic<std::uint64_t> ClosedIdle{0};
  std::atomic<std::uint64_t> FramingErrors{0};
  std::atomic<std::uint64_t> CutMessages{0};
  // TLS handshakes that failed or did not finish in time.
  std::atomic<std::uint64_t> FailedHandshakes{0};
  void NoteFramingError(const std::string& peer) EXCLUDES(PeerGuard) {
    FramingErrors.fetch_add(1, std::memory_order_relaxed);
    TMutexLock lock(PeerGuard);
    LastFramingErrorPeer = peer;
  }
  void NoteFailedHandshake(const std::string& what) EXCLUDES(PeerGuard) {
    FailedHandshakes.fetch_add(1, std::memory_order_relaxed);
    TMutexLock lock(PeerGuard);
    LastFailedHandshake = what;
  }
  std::string FramingErrorPeer() EXCLUDES(PeerGuard) {
    TMutexLock lock(PeerGuard);
    return LastFramingErrorPeer;
  }
  std::string FailedHandshake() EXCLUDES(PeerGuard) {
    TMutexLock lock(PeerGuard);
    return LastFailedHandshake;
  }

 private:
  TMutex PeerGuard;
  std::string LastFramingErrorPeer GUARDED_BY(PeerGuard);
  std::string LastFailedHandshake GUARDED_BY(PeerGuard);
};

class TSyslogStreamServer final : private TTurnEnd {
 public:
  using TOnOpened = std::function<void(bool tls)>;
  using TOnMessages =
      std::function<void(const std::string& address, std::uint16_t port, TUnitRun& run, bool tls)>;
  using TOnClosed = std::function<void(const std::string& address, std::uint16_t port, bool tls)>;
  struct TSetup {
    std::string Address = "0.0.0.0";
    std::uint16_t TcpPort = 0;  // 0: no plain TCP
    std::uint16_t TlsPort = 0;  // 0: no TLS
    std::size_t MaxConnections = 10000;
    // What one address may hold at once: connections, and TLS handshakes
    // not finished.
    TAddressCaps PerAddress;
    // A connection that sent nothing for this long is closed (0: never).
    std::uint32_t IdleSeconds = 0;
    TOnOpened OnOpened;
    TOnMessages OnMessages;
    TOnClosed OnClosed;
    std::function<void()> OnBatchEnd;
    // Borrowed; the loops must be given, the others may be null. They
    // outlive the server.
    TEventLoops* Loops = nullptr;
    TBufferPool* Buffers = nullptr;
    TCaughtFailures* Failures = nullptr;
    TSyslogStreamCounters* Counters = nullptr;
    TUnfinishedBytes* Unfinished = nullptr;
    TSenderRates* Rates = nullptr;
  };
  static constexpr int kHandshakeSeconds = 10;

  // Binds and starts serving on the loops. The TLS port is bound only once
  // a context is set (`tls`, or later).
  static std::unique_ptr<TSyslogStreamServer> Create(const TSetup& setup,
                                                     std::shared_ptr<TTlsContext> tls = nullptr);
  // Stops accepting and closes every connection (raising nothing); no
  // handler runs once it returns.
  ~TSyslogStreamServer();
  TSyslogStreamServer(const TSyslogStreamServer&) = delete;
  TSyslogStreamServer& operator=(const TSyslogStreamServer&) = delete;

  // The certificate for connections accepted from now on (a reload).
  void SetTlsContext(std::shared_ptr<TTlsContext> context) EXCLUDES(TlsGuard);

  // Whether a TLS context is set (a TLS port can listen).
  bool HasTls() EXCLUDES(TlsGuard);
  // A reload's port, on the owner's thread: ListenerFor binds `port` beside
  // the one in use (null, `error` set, when it cannot listen; null for 0);
  // TakeListener then puts it (or none) in place of the one in use, which
  // stops. The connections of the old port go on.
  std::unique_ptr<TListener> ListenerFor(bool tls, const std::string& address, std::uint16_t port, int& error);
  void TakeListener(bool tls, const std::string& address, std::uint16_t port,
                    std::unique_ptr<TListener> listener);
  // A reload's limits, for the connections to come (and, for the idle
  // time, the next check of those open with one); no open connection is
  // closed for them.
  void SetLimits(std::size_t maxConnections, TAddressCaps caps, std::uint32_t idleSeconds) EXCLUDES(ListGuard);
  std::uint16_t Port(bool tls) const { return Ports[tls]; }

  // Whether a port is bound now; BindError says why not (errno).
  bool Listening(bool tls) const { return Listeners[tls] && Listeners[tls]->Listening(); }
  int BindError(bool tls) const { return Listeners[tls] ? Listeners[tls]->Failure() : 0; }
  std::uint16_t BoundPort(bool tls) const { return Listeners[tls] ? Listeners[tls]->BoundPort() : 0; }

 private:
  class TConnection;

  explicit TSyslogStreamServer(const TSetup& setup);
  std::unique_ptr<TListener> MakeListener(bool tls, const std::string& address, std::uint16_t port);
  void StartListener(bool tls);
  // On the listener's loop.
  void Accept(bool tls, TDescriptor socket, const TSocketAddress& peer) EXCLUDES(TlsGuard, ListGuard);
  // On the connection's loop: a turn; false once it is to be closed.
  bool Serve(TConnection& connection);
  bool ReadPlain(TConnection& connection);
  bool ReadTls(TConnection& connection);
  // Feeds what was read; false on a framing error (counted).
  bool Feed(TConnection& connection, const char* data, std::size_t size, bool end, TUnitRun& run);
  void Deliver(TConnection& connection, TUnitRun& run);
  void HandshakeLate(TConnection& connection);
  // A timer of the connection is due: its handshake's deadline, or the
  // check whether it has been idle too long.
  void OnTimer(TConnection& connection);
  // Takes a place for `address` (false when it has no more); gives one
  // back. Under ListGuard.
  // Ends the connection on its loop and frees it; raises OnClosed.
  void Close(TConnection& connection) EXCLUDES(ListGuard);
  void OnTurnEnd() override;

  const TSetup Setup;
  TMutex TlsGuard;
  std::shared_ptr<TTlsContext> Tls GUARDED_BY(TlsGuard);
  std::unique_ptr<TListener> Listeners[2];
  // The address and ports in use (0: none); the owner's thread only.
  std::string Address;
  std::uint16_t Ports[2];
  std::atomic<std::uint32_t> IdleSeconds;
  std::atomic<bool> Stopping{false};
  TMutex ListGuard;
  std::unordered_map<TConnection*, std::unique_ptr<TConnection>> Connections GUARDED_BY(ListGuard);
  std::size_t MaxConnections GUARDED_BY(ListGuard);
  TAddressPlaces Places GUARDED_BY(ListGuard);
};

}  // namespace logserver

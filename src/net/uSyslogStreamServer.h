// Syslog over TCP and over TLS: one thread serves every connection from one
// poller, so that forwarders that stay connected for days cost a socket and
// a framer each, no thread and no timer. Each readable connection gets one
// turn of reads (fair among senders); the messages of a turn go to the
// owner as one run, in the connection's order, and a turn ends with
// OnBatchEnd, where the owner may wait for room (TCP flow control then
// slows the senders).
//
// Beyond MaxConnections a new connection is closed at once and counted. A
// framing error closes its connection, counted with the peer's name. A TLS
// handshake that has not finished within 10 seconds is dropped; the only
// timer is the once-a-second look at handshakes while some are going on.
//
// Threading: the handlers run on the server thread ("ls-syslog-tcp"); the
// counters may be read from any thread, and SetTlsContext called from any.
// The listening sockets are bound by Create (so the caller knows at once
// whether they listen); one that cannot be is tried again every 3 seconds.
#pragma once

#include "net/uSyslogFramer.h"
#include "platform/uBufferPool.h"
#include "platform/uCaughtFailures.h"
#include "platform/uDescriptor.h"
#include "platform/uPoller.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "platform/uTls.h"
#include "platform/uWakeEvent.h"

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
  std::atomic<std::uint64_t> Refused{0};
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

class TSyslogStreamServer : public TThread {
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
    TOnOpened OnOpened;
    TOnMessages OnMessages;
    TOnClosed OnClosed;
    std::function<void()> OnBatchEnd;
    // Borrowed, may be null; they outlive the server.
    TBufferPool* Buffers = nullptr;
    TCaughtFailures* Failures = nullptr;
    TSyslogStreamCounters* Counters = nullptr;
  };
  static constexpr int kHandshakeSeconds = 10;

  // Binds and starts the thread (which serves, or keeps trying to bind).
  // The TLS port is bound only once a context is set (`tls`, or later).
  static std::unique_ptr<TSyslogStreamServer> Create(const TSetup& setup,
                                                     std::shared_ptr<TTlsContext> tls = nullptr);
  ~TSyslogStreamServer() override;

  // The certificate for connections accepted from now on (a reload).
  void SetTlsContext(std::shared_ptr<TTlsContext> context) EXCLUDES(TlsGuard);

  // Whether a port is bound now; BindError says why not (errno).
  bool Listening(bool tls) const { return Listeners[tls].Listening.load(); }
  int BindError(bool tls) const { return Listeners[tls].Error.load(); }
  std::uint16_t BoundPort(bool tls) const { return Listeners[tls].Bound.load(); }

 protected:
  void Execute() override;
  void Wake() override { WakeUp.Signal(); }

 private:
  struct TConnection {
    TDescriptor Socket;
    std::string Address;
    std::uint16_t Port = 0;
    TSyslogFramer Framer;
    std::unique_ptr<TTlsSession> Tls;
    bool Handshaking = false;
    bool WatchingWrite = false;
    std::uint64_t HandshakeDeadline = 0;  // monotonic milliseconds
  };
  struct TListener {
    TDescriptor Socket;  // server thread once started
    std::atomic<bool> Listening{false};
    std::atomic<int> Error{0};
    std::atomic<std::uint16_t> Bound{0};
    // Server thread: not watched until then (monotonic ms; 0: watched).
    std::uint64_t RestingUntil = 0;
  };
  // Tokens 0 and 1 are the listeners (plain, TLS), 2 the wake-up.
  static constexpr std::uint64_t kWakeToken = 2;
  static constexpr std::uint64_t kFirstConnectionToken = 3;

  explicit TSyslogStreamServer(const TSetup& setup);
  void BindMissing() EXCLUDES(TlsGuard);
  bool Bind(bool tls);
  void AcceptAll(bool tls) EXCLUDES(TlsGuard);
  // A turn of the connection; false once it is to be closed.
  bool Serve(std::uint64_t token, TConnection& connection);
  bool ReadPlain(TConnection& connection);
  bool ReadTls(std::uint64_t token, TConnection& connection);
  void WatchWrite(std::uint64_t token, TConnection& connection, bool write);
  // Feeds what was read; false on a framing error (counted).
  bool Feed(TConnection& connection, const char* data, std::size_t size, bool end, TUnitRun& run);
  void Deliver(TConnection& connection, TUnitRun& run);
  void DropLateHandshakes();
  // Watches the listeners again that rested after a failed accept.
  void WakeRestingListeners();
  void Close(std::uint64_t token);

  const TSetup Setup;
  TPoller Poller;
  TWakeEvent WakeUp;
  TListener Listeners[2];
  TMutex TlsGuard;
  std::shared_ptr<TTlsContext> Tls GUARDED_BY(TlsGuard);
  std::unordered_map<std::uint64_t, std::unique_ptr<TConnection>> Connections;
  std::uint64_t NextToken = kFirstConnectionToken;
  std::size_t Handshakes = 0;
  std::uint64_t NextHandshakeLook = 0;
  // Connections whose TLS session holds decrypted bytes the socket will not
  // announce: served again without waiting.
  std::vector<std::uint64_t> Again;
  TPooledBuffer ReadBuffer;
};

}  // namespace logserver

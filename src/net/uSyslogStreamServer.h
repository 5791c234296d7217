// Syslog over TCP: one thread serves every connection from one poller, so
// that forwarders that stay connected for days cost a socket and a framer
// each, no thread and no timer. Each readable connection gets one read per
// turn (fair among senders); the messages of a read go to the owner as one
// run, in the connection's order, and a turn ends with OnBatchEnd, where
// the owner may wait for room (TCP flow control then slows the senders).
//
// Beyond MaxConnections a new connection is closed at once and counted. A
// framing error closes its connection, counted with the peer's name.
//
// Threading: the handlers run on the server thread ("ls-syslog-tcp"); the
// counters may be read from any thread. The listening socket is bound by
// Create (so the caller knows at once whether it listens); when it cannot
// be, the thread tries again every 3 seconds.
#pragma once

#include "net/uSyslogFramer.h"
#include "platform/uBufferPool.h"
#include "platform/uCaughtFailures.h"
#include "platform/uDescriptor.h"
#include "platform/uPoller.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "platform/uWakeEvent.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace logserver {

struct TSyslogStreamCounters {
  std::atomic<std::int64_t> Connections{0};
  std::atomic<std::uint64_t> Messages{0};
  std::atomic<std::uint64_t> Bytes{0};
  std::atomic<std::uint64_t> Refused{0};
  std::atomic<std::uint64_t> FramingErrors{0};
  std::atomic<std::uint64_t> CutMessages{0};
  void NoteFramingError(const std::string& peer) EXCLUDES(PeerGuard) {
    FramingErrors.fetch_add(1, std::memory_order_relaxed);
    TMutexLock lock(PeerGuard);
    LastFramingErrorPeer = peer;
  }
  std::string FramingErrorPeer() EXCLUDES(PeerGuard) {
    TMutexLock lock(PeerGuard);
    return LastFramingErrorPeer;
  }

 private:
  TMutex PeerGuard;
  std::string LastFramingErrorPeer GUARDED_BY(PeerGuard);
};

class TSyslogStreamServer : public TThread {
 public:
  using TOnMessages = std::function<void(const std::string& address, std::uint16_t port, TUnitRun& run)>;
  using TOnClosed = std::function<void(const std::string& address, std::uint16_t port)>;
  struct TSetup {
    std::string Address = "0.0.0.0";
    std::uint16_t Port = 0;
    std::size_t MaxConnections = 10000;
    TOnMessages OnMessages;
    TOnClosed OnClosed;
    std::function<void()> OnBatchEnd;
    // Borrowed, may be null; they outlive the server.
    TBufferPool* Buffers = nullptr;
    TCaughtFailures* Failures = nullptr;
    TSyslogStreamCounters* Counters = nullptr;
  };

  // Binds and starts the thread (which serves, or keeps trying to bind).
  static std::unique_ptr<TSyslogStreamServer> Create(const TSetup& setup);
  ~TSyslogStreamServer() override;

  // Whether the port is bound now; BindError says why not (errno).
  bool Listening() const { return Listening_.load(); }
  int BindError() const { return BindError_.load(); }
  std::uint16_t BoundPort() const { return BoundPort_.load(); }

 protected:
  void Execute() override;
  void Wake() override { WakeUp.Signal(); }

 private:
  struct TConnection {
    TDescriptor Socket;
    std::string Address;
    std::uint16_t Port = 0;
    TSyslogFramer Framer;
  };
  static constexpr std::uint64_t kListenerToken = 0;
  static constexpr std::uint64_t kWakeToken = 1;

  explicit TSyslogStreamServer(const TSetup& setup);
  bool Bind();
  void AcceptAll();
  // One read; false once the connection is to be closed.
  bool ReadFrom(TConnection& connection);
  void Close(std::uint64_t token);
  void Deliver(TConnection& connection, TUnitRun& run);

  const TSetup Setup;
  TPoller Poller;
  TWakeEvent WakeUp;
  TDescriptor Listener;  // server thread once started
  std::unordered_map<std::uint64_t, std::unique_ptr<TConnection>> Connections;
  std::uint64_t NextToken = 2;
  TPooledBuffer ReadBuffer;
  std::atomic<bool> Listening_{false};
  std::atomic<int> BindError_{0};
  std::atomic<std::uint16_t> BoundPort_{0};
};

}  // namespace logserver

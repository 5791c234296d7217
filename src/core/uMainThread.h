// The service core: the one tMainThread object that owns the whole life of
// the process, the log queue between the network threads and the main loop,
// the once-a-second heartbeat thread, and the client message records.
//
// Threading: tMainThread's operations run on the process's initial thread,
// except RequestStop and WakeUp, which the stop-signal handler and the
// heartbeat call from anywhere; they touch only atomics and the queue's
// semaphore. tLogQueue is safe for many pushers and one popper.
#pragma once

#include "net/uIPServer.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "producers/uLogProducer.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace logserver {

// ---------------------------------------------------------------------------
// Client message records. All multi-byte fields are little-endian.
//
// tClientMessage, the 5-byte head: MessageType (u8, 0 = log message) and
// MessageSize (u32, the whole message, head included).
// tClientLogMessage, type 0: the head, then the offset and length (u32 each)
// of the application name (5, 9), module name (13, 17) and file prefix
// (21, 25), EventTime (f64 at 29), and the text (37, 41); 45 bytes in all,
// followed by the string bytes anywhere within MessageSize.

constexpr std::size_t kClientMessageHeadSize = 5;
constexpr std::size_t kClientLogMessageFixedSize = 45;

struct tClientLogMessage {
  std::string ApplicationName;
  std::string ModuleName;
  std::string FilePrefix;
  std::string Text;
  double EventTime = 0.0;
};

// Decodes one client message. False for anything that must be dropped: too
// short, another MessageType, or a string that does not end within
// MessageSize or within the received bytes (nothing is read beyond them).
bool DecodeClientLogMessage(const std::string& payload, tClientLogMessage& message);

// Builds the client message for `message`: the fixed part, then the strings in
// the order application, module, prefix, text.
std::string BuildClientLogMessage(const tClientLogMessage& message);

// ---------------------------------------------------------------------------
// Log queue

enum : std::int32_t {
  lqkClientData = 0,
  lqkClientConnect = 1,
  lqkClientDisconnect = 2,
  lqkSyslogDatagram = 4,
};

// One network event on its way to the main loop; Data is the element's own
// copy of the payload (its size is the DataSize).
struct tLogQueueElement {
  std::int32_t Kind = 0;
  std::string ClientAddress;
  std::uint16_t ClientPort = 0;
  std::string Data;
};
using pLogQueueElement = std::unique_ptr<tLogQueueElement>;

// The bound of the payload bytes a log queue holds. Beyond it TCP intake
// waits (and TCP flow control slows the clients) and syslog datagrams are
// dropped and counted, so a slow disk or a flood cannot exhaust memory.
constexpr std::size_t kLogQueueMaxBytes = 64u * 1024 * 1024;

// First in, first out; doubles as the main loop's wake-up signal.
// Every Push adds one element and one post; every Release one post; every
// Pop consumes one post before it looks at the list and drains the rest when
// it leaves the list empty. So the count never falls below the number of
// queued elements, a Pop never blocks while elements are queued, and an
// empty Pop happens only after a Release.
//
// Elements without payload always fit, and so does any element while the
// queue is empty, so a bound never blocks a connect, a disconnect or an
// element larger than the bound itself.
class tLogQueue {
 public:
  explicit tLogQueue(std::size_t maxBytes = kLogQueueMaxBytes) : MaxBytes(maxBytes) {}
  ~tLogQueue() { Clear(); }
  tLogQueue(const tLogQueue&) = delete;
  tLogQueue& operator=(const tLogQueue&) = delete;

  // Appends whatever the bound; never blocks except on the lock.
  void Push(pLogQueueElement element);
  // Appends, waiting while the element does not fit. False, with the
  // element discarded, once the queue is closed.
  bool PushWaiting(pLogQueueElement element);
  // Appends when the element fits; false (element discarded) otherwise.
  bool TryPush(pLogQueueElement element);
  // Pushes that would wait give up from now on, also those waiting now.
  void Close();

  // Blocks until an element is pushed or the queue is released. True with
  // the oldest element, false (element empty) after a release or a failed wait.
  bool Pop(pLogQueueElement& element);
  // One post without an element; async-signal-safe.
  void Release() { Signal.Post(); }
  // Frees every queued element undispatched.
  void Clear();

  std::size_t Count();
  std::size_t QueuedBytes();
  int PendingPosts() { return Signal.Value(); }

  const std::size_t MaxBytes;

 private:
  bool Fits(std::size_t size) const;  // under Lock
  void Append(pLogQueueElement element);  // under Lock

  TRecursiveLock Lock;
  std::condition_variable_any Space;  // waited on under Lock
  TSemaphore Signal{0};
  std::deque<pLogQueueElement> Items;  // guarded by Lock
  std::size_t Bytes = 0;               // guarded by Lock
  bool Closed = false;                 // guarded by Lock
};

// ---------------------------------------------------------------------------
// Connection controller: fires OnCheck about once a second until terminated.

using tOnCheckConnectionEvent = std::function<void()>;

class tControlConnectionsProcess : public TThread {
 public:
  // Creates the controller and starts its thread at once.
  static std::unique_ptr<tControlConnectionsProcess> Create(tOnCheckConnectionEvent OnCheck);
  // Requests termination and waits: returns within about one second.
  ~tControlConnectionsProcess() override;

 protected:
  void Execute() override;

 private:
  explicit tControlConnectionsProcess(tOnCheckConnectionEvent onCheck)
      : OnCheck(std::move(onCheck)) {}
  const tOnCheckConnectionEvent OnCheck;
};

// ---------------------------------------------------------------------------
// Service lifecycle

// The configuration cannot be read or written back: start-up ends.
class EConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class tMainThread {
 public:
  tMainThread() = default;
  ~tMainThread();
  tMainThread(const tMainThread&) = delete;
  tMainThread& operator=(const tMainThread&) = delete;

  // The whole life of the service. Returns after an orderly stop; an error
  // that escapes (configuration, producers) propagates after the stop
  // sequence and the service log's producer have run down.
  void Run();

  // Settings of [Common] in LogServer.conf beside the executable, written
  // back with the values in effect. Throws EConfigError.
  void ReadConfig();
  void ReadConfigFrom(const std::string& configPath, const std::string& executableDirectory);

  // Writes one time-stamped line to the service log; a gated line only when
  // LogMode is above 0. Main thread only.
  void WriteServiceLog(bool Gated, const std::string& Text);

  // Sets the stop flag and wakes the main loop. Signal-safe.
  void RequestStop();
  // Wakes the main loop; the heartbeat calls it. Thread-safe.
  void WakeUp();
  static void HandleStopSignal(int signal);

  // Acts on one queued element, then frees it. Main thread only.
  void DispatchElement(pLogQueueElement element);

  // Network handlers: they copy the event into an element and push it on the
  // log queue, nothing else. They run on the components' threads.
  void OnClientData(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize);
  void OnClientConnect(TIPConnection& Client);
  void OnClientDisconnect(TIPConnection& Client);
  void OnSyslogDatagram(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize);

  // Writes how many syslog datagrams a full queue dropped since the last such
  // line, at most once a minute. Main thread only.
  void ReportDroppedDatagrams();

  // Configuration, in effect after ReadConfig.
  std::int32_t RunMode = 0;
  std::int32_t LogMode = 0;
  std::uint16_t ServicePort = 0;
  std::uint16_t SysLogPort = 0;
  std::string BaseCatalog;
  bool ModuleNameAsFilePrefix = false;
  std::string TimePlacementMask;

  std::atomic<bool> StopRequested{false};

  // Owned objects; each is emptied when it is freed.
  PLogProducer ServiceLog;
  std::unique_ptr<TTCPServerComponent> TcpServer;
  std::unique_ptr<TUDPServerComponent> SyslogServer;
  std::unique_ptr<tControlConnectionsProcess> Controller;
  std::unique_ptr<tLogProducerHolder> Producers;

  // The queue is owned here but read by the signal handler and the heartbeat,
  // hence an atomic pointer that is emptied before the queue is freed.
  std::atomic<tLogQueue*> LogQueue{nullptr};

 private:
  void Serve();
  void CheckListener();
  void CreateServiceLog();
  void StopServiceLog();
  void StopSequence();

  std::uint32_t LastListenCheck = 0;
  // The listen failure last reported, so that a failing port is named once
  // per failure code rather than every three seconds.
  int ReportedListenFailure = 0;
  // Syslog datagrams dropped at a full queue, and how many were reported.
  std::atomic<std::uint64_t> DroppedDatagrams{0};
  std::uint64_t ReportedDrops = 0;
  std::uint32_t LastDropReport = 0;
};

// The single tMainThread, for the stop-signal handler; cleared before the
// object is freed.
extern std::atomic<tMainThread*> MainThreadInstance;

}  // namespace logserver

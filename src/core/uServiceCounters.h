// Every count the service reports, taken at one moment from where each is
// kept: the STATISTICS line, /metrics and systemd's STATUS render this, and
// nothing else reads the holders for them. A new counter is one field here,
// one line in TakeCounters, and one line in each rendering that shows it.
//
// Threading: TakeCounters may run on any thread (the metrics endpoint's
// too): it reads relaxed atomics and what takes its own lock (the file
// table's counts, the stream's).
#pragma once

#include "core/uMessageIntake.h"
#include "stream/uStreamPublisher.h"

#include <array>
#include <cstdint>

namespace logserver {

class tLogProducerHolder;
class tLogQueue;
class TMessageDispatch;
class TTCPServerComponent;
class TUDPServerComponent;
class TSyslogStreamServer;
struct TServerCounters;
struct TSyslogStreamCounters;
class TUnfinishedBytes;
class TSenderRates;
class TStreamHandOff;
struct TConfigReloads;

// What the reports read; any may be null (not created yet, or gone). The
// owner lends it; it outlives every reader.
struct TReportSources {
  TMessageIntake* Intake = nullptr;
  tLogProducerHolder* Producers = nullptr;
  tLogQueue* Queue = nullptr;
  TTCPServerComponent* TcpServer = nullptr;
  TUDPServerComponent* SyslogServer = nullptr;
  TMessageDispatch* Dispatch = nullptr;
  TServerCounters* TcpCounters = nullptr;
  TServerCounters* UdpCounters = nullptr;
  // Syslog over TCP, when it is on.
  TSyslogStreamServer* SyslogTcpServer = nullptr;
  TSyslogStreamCounters* SyslogTcpCounters = nullptr;
  // The stream (on when it has a publisher).
  const TStreamHandOff* Stream = nullptr;
  // The bytes of unfinished messages on every stream connection.
  TUnfinishedBytes* Unfinished = nullptr;
  // The per-sender allowances.
  TSenderRates* Rates = nullptr;
  // The configuration's reloads.
  TConfigReloads* Reloads = nullptr;
};

struct TServiceCounters {
  // Per intake (TIntakeKind): messages and their bytes since the start,
  // connections now.
  std::array<std::uint64_t, kIntakeKinds> Received{};
  std::array<std::uint64_t, kIntakeKinds> ReceivedBytes{};
  std::array<std::int64_t, kIntakeKinds> Connections{};
  std::uint64_t ReceivedAll() const;
  std::int64_t ConnectionsAll() const;

  // The files.
  std::uint64_t Written = 0, WrittenBytes = 0, FileWrites = 0, OpenFiles = 0, PendingWriteBytes = 0;
  std::uint64_t ToProviders = 0;
  // Lost, by reason.
  std::uint64_t DroppedQueueFull = 0, OpenFailed = 0, WriteFailed = 0, InvalidRecords = 0;
  std::uint64_t NotTpktBytes = 0, KernelDrops = 0;
  std::uint64_t TpktRefusedPerAddress = 0, TpktClosedIdle = 0;
  std::int64_t ReceiveBufferBytes = 0;
  // Bytes held for messages begun and not ended; connections closed for
  // stalling inside one while too many were held.
  std::uint64_t UnfinishedBytes = 0, ClosedStalled = 0;
  // Per intake, messages of senders over their rate limit (slowed on
  // stream intakes, dropped on UDP); senders limited now.
  std::array<std::uint64_t, kIntakeKinds> RateLimited{};
  std::uint64_t RateLimitedSenders = 0;
  // Configuration reloads applied and refused; whether the last one was
  // applied, and when it came (Unix seconds, 0: none yet).
  std::uint64_t ReloadsApplied = 0, ReloadsRefused = 0;
  bool LastReloadSucceeded = true;
  double LastReloadAt = 0;
  // Senders.
  std::uint64_t Overflowed = 0, ForgottenIdle = 0, ForgottenBound = 0;
  // Syslog over TCP and TLS, when on.
  bool SyslogTcpOn = false;
  std::uint64_t FramingErrors = 0, RefusedConnections = 0, CutMessages = 0, FailedHandshakes = 0;
  std::uint64_t RefusedPerAddress = 0, ClosedIdle = 0;
  // The log queue.
  std::uint64_t QueuedElements = 0, QueuedBytes = 0;
  // The stream, when on.
  bool StreamOn = false;
  TStreamCounts Stream;
};

TServiceCounters TakeCounters(const TReportSources& sources);

}  // namespace logserver

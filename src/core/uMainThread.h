// The service core: the one tMainThread object that owns the whole life of
// the process. It runs the life cycle itself (configuration, signals, start,
// the main loop, the listener checks, the stop sequence) and owns the parts
// that do the rest, each in its own files:
//
//   uServiceConfig    LogServer.conf, read once
//   uServiceLog       the service's own time-stamped lines
//   uMessageIntake    network events into queue elements (network threads)
//   uLogQueue         those elements on their way to the main loop
//   uMessageDispatch  popped elements into files (main thread)
//   uServiceReports   start line, statistics, losses (main thread)
//   uControlConnectionsProcess  the once-a-second heartbeat
//   uServiceIntakes   the event loops, the TPKT, UDP and syslog TCP/TLS servers
//   uServiceNotifier  what systemd hears (ready, status, watchdog)
//   uMainLoopRequests what the signals and the heartbeat ask of the loop
//   uStreamHandOff    the JetStream publisher, with [Stream] Servers
//
// Threading: tMainThread's operations run on the process's initial thread
// (its role, MainThreadRole, is checked in debug builds); the signal
// handlers and the heartbeat reach it through its TMainLoopRequests only
// (atomics and the queue's semaphore). The network handlers run on the event
// loops' threads (TCP, syslog over TCP and TLS) and the UDP server's, and go
// straight to the intake.
//
// Ownership: everything is created here and lent down explicitly: the file
// table to the producers (through the registry and the service log), the
// buffer pool and the failure counter to the servers, the queue to the
// intake and dispatch. Members are declared so that what is lent outlives
// what borrows it.
#pragma once

#include "core/uClientMessage.h"
#include "core/uConfigReload.h"
#include "core/uControlConnectionsProcess.h"
#include "core/uLogQueue.h"
#include "core/uMainLoopRequests.h"
#include "core/uMessageDispatch.h"
#include "core/uMessageIntake.h"
#include "core/uServiceConfig.h"
#include "core/uServiceIntakes.h"
#include "core/uServiceLog.h"
#include "core/uServiceMetrics.h"
#include "core/uServiceNotifier.h"
#include "core/uServiceReports.h"
#include "core/uStreamHandOff.h"
#include "net/uEventLoop.h"
#include "net/uIPServer.h"
#include "net/uSyslogStreamServer.h"
#include "platform/uBufferPool.h"
#include "platform/uCaughtFailures.h"
#include "platform/uThread.h"
#include "producers/uLogProducer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

class tMainThread {
 public:
  // Run reads LogServer.conf beside the executable.
  tMainThread() = default;
  // The settings given instead; Run reads no file (tests drive the service
  // core this way).
  explicit tMainThread(TServiceConfig settings);
  ~tMainThread();
  tMainThread(const tMainThread&) = delete;
  tMainThread& operator=(const tMainThread&) = delete;

  // The whole life of the service. Returns after an orderly stop; an error
  // that escapes (configuration, producers) propagates after the stop
  // sequence and the service log's producer have run down.
  void Run();

  // The settings of LogServer.conf beside the executable (or the file
  // given to UseConfigFile), written back with the values in effect; what
  // falls back to a default is reported on stderr. Throws EConfigError.
  void ReadConfig();
  // Run reads `path` instead of LogServer.conf beside the executable.
  void UseConfigFile(const std::string& path) { ConfigPath = path; }
  const TServiceConfig& Settings() const { return Config; }

  // Creates the service log, the log queue (of `queueBytes`), the intake,
  // the registry and dispatch without any network, so that elements can be
  // dispatched by hand on the calling thread, which becomes the main
  // thread; Run creates them itself.
  void PrepareDispatch(std::size_t queueBytes = kLogQueueMaxBytes);

  // Writes one time-stamped line to the service log; a gated line only when
  // LogMode is above 0. Main thread only.
  void WriteServiceLog(bool Gated, const std::string& Text);

  // What the signal handlers and the heartbeat ask of the main loop.
  TMainLoopRequests& Requests() { return Requests_; }

  // Acts on one queued element, then frees it. Main thread only.
  void DispatchElement(pLogQueueElement element);

  // Read-only views of owned objects, for tests; null when not created.
  tLogProducerHolder* Producers() const { return Producers_.get(); }
  tLogQueue* LogQueue() const { return LogQueue_.get(); }
  TMessageIntake* Intake() const { return Intake_.get(); }
  TServiceReports* Reports() const { return Reports_.get(); }

 private:
  void Serve();
  // Every second, deleted log files closed; about every three seconds, the
  // files' and senders' upkeep and the intakes' supervision (keep-alives to
  // the TPKT clients, ports that could not be bound, rate-limit news).
  void Housekeep();
  // SIGHUP: the log files reopened, the certificates and the configuration
  // read again.
  void Reload();
  // The configuration file again: taken when the service would start with
  // it, then what a reload applies applied (ApplyLiveSettings), the rest
  // named as waiting for the next start; refused, changing nothing,
  // otherwise.
  void ReloadConfig();
  // The settings a reload applies, handed to the parts that use them.
  void ApplyLiveSettings();
  // A reload's base directory and providers: the old tree's lines written
  // and its files closed, new lines in the new tree; providers loaded and
  // unloaded as the section changed.
  void MoveTree(const TServiceConfig& before);
  void CreateServiceLog();
  // The queue, once; the signal handlers and the heartbeat see it from then
  // until the stop sequence frees it.
  void CreateQueue(std::size_t queueBytes);
  void CreateParts();
  void StopServiceLog();
  void StopSequence();
  TReportSources Sources();
  // The /metrics endpoint, when [Metrics] Listen names one.
  void StartMetrics();

  TServiceConfig Config;
  bool ConfigGiven = false;
  std::string ConfigPath;  // empty: beside the executable, or the settings were given
  TThreadRole MainThreadRole;

  TMainLoopRequests Requests_;
  TConfigReloads Reloads;

  // Lent to the parts below; declared first, so freed last. The file table
  // is sized from the descriptor limit at start (CreateServiceLog).
  TCaughtFailures CaughtFailures;
  TBufferPool Buffers;
  std::unique_ptr<TLogFileTable> Files;

  // Owned objects; each is emptied when it is freed.
  std::unique_ptr<TServiceLog> ServiceLog;
  std::unique_ptr<TServiceReports> Reports_;
  std::unique_ptr<tControlConnectionsProcess> Controller;
  std::unique_ptr<tLogQueue> LogQueue_;
  std::unique_ptr<TMessageIntake> Intake_;
  // The loops and the servers on them, the UDP server: their handlers use
  // the intake and the queue, so they go before either.
  std::unique_ptr<TServiceIntakes> Intakes;
  std::unique_ptr<tLogProducerHolder> Producers_;
  std::unique_ptr<TMessageDispatch> Dispatch;
  std::unique_ptr<TStreamHandOff> StreamHandOff;  // the publisher with [Stream] Servers
  std::unique_ptr<TMetricsEndpoint> Metrics;
  std::uint32_t LastListenCheck = 0;
  std::uint64_t NextDeletedCheck = 0;
  TServiceNotifier Notifier;
};

// LogServer.conf beside the running executable.
std::string DefaultConfigPath();
// The version, as --version and the start line give it.
const char* ServiceVersion();

}  // namespace logserver

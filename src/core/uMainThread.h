// The service core: the one tMainThread object that owns the whole life of
// the process. This header gathers the core's parts:
//
//   uServiceConfig              LogServer.conf, read once
//   uClientMessage              the record a TCP client sends
//   uLogQueue                   network events on their way to the main loop
//   uControlConnectionsProcess  the once-a-second heartbeat
//
// tMainThread's own operations are spread over uMainThread.cpp (start, main
// loop, stop), uMessageIntake.cpp (network events into log files) and
// uServiceReports.cpp (the lines the service writes about itself).
//
// Threading: tMainThread's operations run on the process's initial thread,
// except RequestStop and WakeUp, which the stop-signal handler and the
// heartbeat call from anywhere (they touch only atomics and the queue's
// semaphore), and the four network handlers, which run on the servers'
// threads and only push onto the log queue.
#pragma once

#include "core/uClientMessage.h"
#include "core/uControlConnectionsProcess.h"
#include "core/uLogQueue.h"
#include "core/uServiceConfig.h"
#include "net/uIPServer.h"
#include "producers/uLogProducer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace logserver {

class tMainThread {
 public:
  // Run reads LogServer.conf beside the executable.
  tMainThread() = default;
  // The settings given instead; Run reads no file (tests drive the service
  // core this way).
  explicit tMainThread(tServiceConfig settings);
  ~tMainThread();
  tMainThread(const tMainThread&) = delete;
  tMainThread& operator=(const tMainThread&) = delete;

  // The whole life of the service. Returns after an orderly stop; an error
  // that escapes (configuration, producers) propagates after the stop
  // sequence and the service log's producer have run down.
  void Run();

  // The settings of LogServer.conf beside the executable, written back with
  // the values in effect. Throws EConfigError.
  void ReadConfig();
  const tServiceConfig& Settings() const { return Config; }

  // Creates the service log, the log queue (of `queueBytes`) and the
  // registry without any network, so that elements can be dispatched by
  // hand; Run creates them itself.
  void PrepareDispatch(std::size_t queueBytes = kLogQueueMaxBytes);

  // Writes one time-stamped line to the service log; a gated line only when
  // LogMode is above 0. Main thread only.
  void WriteServiceLog(bool Gated, const std::string& Text);

  // Sets the stop flag and wakes the main loop. Signal-safe.
  void RequestStop();
  // Asks the main loop to close every log file, so that each is opened anew
  // with its next line (log rotation). Signal-safe.
  void RequestReopen();
  // Wakes the main loop; the heartbeat calls it. Thread-safe.
  void WakeUp();
  static void HandleStopSignal(int signal);
  static void HandleReopenSignal(int signal);
  static void HandleStatisticsSignal(int signal);
  // Asks the main loop for one STATISTICS line in the service log.
  // Signal-safe.
  void RequestStatistics();

  // Acts on one queued element, then frees it. Main thread only.
  void DispatchElement(pLogQueueElement element);

  // Network handlers: they copy the event into an element, nothing else;
  // the batch ends push the elements of a run onto the log queue in one
  // step. The TCP ones run on the receive manager's thread, the syslog ones
  // on the UDP server's thread.
  void OnClientData(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize);
  // The messages of one read at once: the run's bytes become one element.
  void OnClientDataRun(TIPConnection& Sender, std::string& Run);
  void OnClientConnect(TIPConnection& Client);
  void OnClientDisconnect(TIPConnection& Client);
  void OnTcpBatchEnd();
  void OnSyslogDatagram(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize);
  void OnSyslogBatchEnd();

  // Writes how many syslog datagrams a full queue dropped since the last such
  // line, at most once a minute. Main thread only.
  void ReportDroppedDatagrams();

  // Read-only views of owned objects, for tests; null when not created.
  const tLogProducerHolder* Producers() const { return Producers_.get(); }
  tLogQueue* LogQueue() const { return LogQueue_.load(); }

 private:
  void Serve();
  void CheckListener();
  // A syslog port that could not be bound is reported once per cause and
  // tried again with every listener check.
  void CheckSyslog();
  void ReopenLogFiles();
  void CheckDeletedFiles();
  void WriteStatistics();
  // Checks the base directory at start and names a problem on stderr.
  void CheckBaseDirectory();
  // One line on stderr once the ports are bound or have failed.
  void ReportStart();
  // Lines the file producers could not write, at most once a minute.
  void ReportLostLines();
  // At the stop: the messages still queued go to their files, for at most
  // kStopWriteLimitMs; connects and disconnects are dropped.
  void WriteQueuedMessages();
  void DispatchMessage(const tLogQueueElement& e, bool logLines);
  void DispatchClientMessage(const tLogQueueElement& e, const std::string& port,
                             std::string_view payload, bool logLines);
  // Dispatches a popped run with group commit: one write per file.
  void DispatchBatch(std::vector<pLogQueueElement>& batch);
  void CreateServiceLog();
  std::unique_ptr<tLogProducerHolder> CreateRegistry();
  void StopServiceLog();
  void StopSequence();

  tServiceConfig Config;
  bool ConfigGiven = false;

  std::atomic<bool> StopRequested{false};
  std::atomic<bool> ReopenRequested{false};
  std::atomic<bool> StatisticsRequested{false};
  std::string ConfigPath;  // empty when the settings were given
  // Messages taken in, counted by the delivery threads without a lock.
  std::atomic<std::uint64_t> ReceivedTcp{0};
  std::atomic<std::uint64_t> ReceivedUdp{0};

  // Owned objects; each is emptied when it is freed.
  PLogProducer ServiceLog;
  std::unique_ptr<TTCPServerComponent> TcpServer;
  std::unique_ptr<TUDPServerComponent> SyslogServer;
  std::unique_ptr<tControlConnectionsProcess> Controller;
  std::unique_ptr<tLogProducerHolder> Producers_;

  // Elements collected by the handlers of one delivery thread each, until
  // its batch ends.
  std::vector<pLogQueueElement> TcpBatch;
  const TIPConnection* TcpRunSender = nullptr;  // whose run TcpBatch ends with
  std::vector<pLogQueueElement> SyslogBatch;
  // Main thread: the message being dispatched; its strings keep their room.
  tClientLogMessage Decoded;

  // The queue is owned here but read by the signal handler and the heartbeat,
  // hence an atomic pointer that is emptied before the queue is freed.
  std::atomic<tLogQueue*> LogQueue_{nullptr};

  std::uint32_t LastListenCheck = 0;
  // The listen failure last reported, so that a failing port is named once
  // per failure code rather than every three seconds.
  int ReportedListenFailure = 0;
  int ReportedSyslogFailure = 0;
  std::uint32_t LastLossReport = 0;
  std::uint64_t NextDeletedCheck = 0;
  // Syslog datagrams dropped at a full queue, and how many were reported.
  std::atomic<std::uint64_t> DroppedDatagrams{0};
  std::uint64_t ReportedDrops = 0;
  std::uint32_t LastDropReport = 0;
};

// The single tMainThread, for the stop-signal handler; cleared before the
// object is freed.
extern std::atomic<tMainThread*> MainThreadInstance;

}  // namespace logserver

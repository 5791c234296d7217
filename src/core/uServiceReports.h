// The service's reports about itself: the start line, the statistics line,
// and the losses it must never keep quiet about (lines that could not be
// written, datagrams dropped at a full queue, errors caught in handlers and
// threads), each at most once a minute, in the service log and on stderr.
//
// Threading: the main thread only, checked by the main-thread role in debug
// builds. Ownership: what it reads is lent for each call (TReportSources)
// or, for the service log and the failure counter, for its whole life.
#pragma once

#include "core/uLogQueue.h"
#include "core/uServiceCounters.h"
#include "core/uMessageDispatch.h"
#include "stream/uStreamPublisher.h"
#include "core/uMessageIntake.h"
#include "core/uServiceConfig.h"
#include "core/uServiceLog.h"
#include "net/uIPServer.h"
#include "net/uSyslogStreamServer.h"
#include "net/uUnfinishedBytes.h"
#include "producers/uLogProducer.h"
#include "platform/uCaughtFailures.h"
#include "platform/uThread.h"

#include <cstdint>
#include <string>

namespace logserver {

class TServiceReports {
 public:
  TServiceReports(const TServiceConfig& config, TServiceLog& serviceLog, TCaughtFailures& failures,
                  const TThreadRole& mainThread);
  TServiceReports(const TServiceReports&) = delete;
  TServiceReports& operator=(const TServiceReports&) = delete;

  // Checks the base directory at start and names a problem on stderr; with
  // `spread`, marks a base directory of the tree's own (BaseCatalog ending
  // with '/') so that the file system spreads the senders' directories.
  static void CheckBaseDirectory(const std::string& baseCatalog, unsigned directoryMode, bool spread);
  // One line on stderr once the ports are bound or have failed (waiting a
  // little for the servers to tell).
  void ReportStart(const std::string& configPath, const TReportSources& sources);
  // One STATISTICS line in the service log and on stderr.
  void WriteStatistics(const TReportSources& sources);
  // The losses since the last report of their kind, at most once a minute
  // per kind: dropped datagrams, lost lines, caught errors, bytes on the
  // TPKT port that are no TPKT.
  void ReportLosses(const TReportSources& sources);

  // Parts of ReportLosses, for tests.
  void ReportDroppedDatagrams(const TMessageIntake& intake);
  void ReportLostLines(tLogProducerHolder& producers);
  void ReportCaughtFailures();
  void ReportUnframedBytes(TServerCounters& counters);
  // Messages sent to overflow files (senders over their budget of new
  // paths), at most once a minute.
  void ReportOverflowed(const tLogProducerHolder& producers);
  // Syslog TCP connections closed for broken framing, refused over the
  // bound, and messages cut to their limit, at most once a minute.
  void ReportSyslogStreamProblems(TSyslogStreamCounters& counters);
  // TPKT connections refused for their address's cap, and closed idle, at
  // most once a minute.
  void ReportTpktRefusals(TServerCounters& counters);
  // Connections closed for holding unfinished messages too long while the
  // service held too much of them, at most once a minute.
  void ReportStalledClosed(const TUnfinishedBytes& unfinished);

 private:
  const TServiceConfig& Config;
  TServiceLog& ServiceLog;
  TCaughtFailures& Failures;
  const TThreadRole& MainThread;
  std::uint32_t LastLossReport = 0;
  std::uint64_t ReportedDrops = 0;
  std::uint32_t LastDropReport = 0;
  std::uint32_t LastFailureReport = 0;
  std::uint64_t ReportedFramingErrors = 0;
  std::uint64_t ReportedRefused = 0;
  std::uint64_t ReportedCut = 0;
  std::uint64_t ReportedHandshakes = 0;
  std::uint64_t ReportedPerAddress = 0;
  std::uint64_t ReportedIdle = 0;
  std::uint32_t LastSyslogStreamReport = 0;
  std::uint64_t ReportedOverflowed = 0;
  std::uint32_t LastOverflowReport = 0;
  std::uint64_t ReportedUnframed = 0;
  std::uint32_t LastUnframedReport = 0;
  std::uint64_t ReportedTpktPerAddress = 0;
  std::uint64_t ReportedTpktIdle = 0;
  std::uint32_t LastTpktReport = 0;
  std::uint64_t ReportedStalled = 0;
  std::uint32_t LastStalledReport = 0;
};

}  // namespace logserver

#include "core/uServiceReports.h"

#include "core/uServiceText.h"
#include "platform/uFiles.h"
#include "platform/uTime.h"

namespace logserver {

namespace {

// Loss reports come at most this often.
constexpr std::uint32_t kLossReportInterval = 60000;

// True when a report last made at `last` (0: never) may be made again; then
// `last` becomes now.
bool ReportDue(std::uint32_t& last) {
  const std::uint32_t now = TickMilliseconds();
  if (last != 0 && static_cast<std::uint32_t>(now - last) < kLossReportInterval) return false;
  last = now == 0 ? 1 : now;
  return true;
}

}  // namespace

TServiceReports::TServiceReports(const TServiceConfig& config, TServiceLog& serviceLog,
                                 TCaughtFailures& failures, const TThreadRole& mainThread)
    : Config(config), ServiceLog(serviceLog), Failures(failures), MainThread(mainThread) {}

void TServiceReports::CheckBaseDirectory(const std::string& baseCatalog, unsigned directoryMode,
                                         bool spread) {
  // Where the tree starts: BaseCatalog is a plain prefix, so its directory
  // part is what must be there and writable.
  const std::string directory = DirectoryPart(baseCatalog);
  const std::string shown = directory.empty() ? std::string("./") : directory;
  const int error = PrepareWritableDirectory(directory, directoryMode);
  if (error != 0) {
    ReportProblem("log directory " + shown + " cannot be written: " + ErrorText(error) +
                  " (lines are counted as lost until it can)");
    return;
  }
  // Every sender's directory starts a hierarchy of its own. Left alone,
  // ext4 puts them all beside their parent, where a tree removed shortly
  // before leaves freed inodes that every new one is searched past (on this
  // project's test machine, 10,000 new senders cost five times as much).
  // A directory shared with other things (BaseCatalog a name prefix) is not
  // the service's to mark.
  if (!spread || baseCatalog.empty() || baseCatalog.back() != '/') return;
  const int marked = MarkTopOfHierarchies(directory);
  if (marked != 0 && marked != ENOTTY && marked != EOPNOTSUPP && marked != EINVAL)
    ReportProblem("log directory " + shown + " cannot be marked to spread the senders' directories: " +
                  ErrorText(marked) + " (SpreadSenders=0 in [Files] stops trying)");
}

void TServiceReports::ReportStart(const std::string& configPath, const TReportSources& sources) {
  MainThread.AssertCurrent();
  // The servers bind on their own threads: wait a little for each to tell.
  TCustomTCPServer* listener = sources.TcpServer ? sources.TcpServer->Listener() : nullptr;
  tUDPServer* syslog = sources.SyslogServer ? sources.SyslogServer->Server() : nullptr;
  const std::uint64_t deadline = MonotonicMilliseconds() + 2000;
  while (MonotonicMilliseconds() < deadline &&
         ((listener && listener->ListeningPort() == 0 && listener->ListenFailure() == 0) ||
          (syslog && syslog->BoundPort() == 0 && !syslog->Failed())))
    SleepMilliseconds(10);
  // Port 0 asks the system for any free port: the start line names the one
  // it gave, not 0.
  auto portText = [](std::uint16_t configured, std::uint16_t bound) {
    return configured == 0 && bound != 0 ? std::to_string(bound) + " (any free port)" : std::to_string(configured);
  };
  std::string tcp = "TCP port " + portText(Config.ServicePort, listener ? listener->ListeningPort() : 0);
  if (listener && listener->ListeningPort() != 0)
    tcp += " listening";
  else
    tcp += " not listening" + (listener && listener->ListenFailure() != 0
                                   ? " (" + ErrorText(listener->ListenFailure()) + ")"
                                   : std::string());
  std::string udp = "syslog UDP port " + portText(Config.SysLogPort, syslog ? syslog->BoundPort() : 0);
  if (syslog && syslog->BoundPort() != 0)
    udp += " listening";
  else
    udp += " not bound" + (syslog && syslog->Failed() ? " (" + ErrorText(syslog->LastError()) + ")"
                                                     : std::string());
  std::string syslogTcp;
  for (const bool tls : {false, true}) {
    const std::uint16_t port = tls ? Config.SyslogTlsPort : Config.SyslogTcpPort;
    if (!sources.SyslogTcpServer || port == 0) continue;
    syslogTcp += std::string(tls ? ", syslog TLS port " : ", syslog TCP port ") + std::to_string(port);
    if (sources.SyslogTcpServer->Listening(tls))
      syslogTcp += " listening";
    else if (sources.SyslogTcpServer->BindError(tls) != 0)
      syslogTcp += " not listening (" + ErrorText(sources.SyslogTcpServer->BindError(tls)) +
                   "; tried again every 1 s)";
    else
      syslogTcp += " not listening (no certificate)";
  }
  ReportProblem(std::string("version ") + LOGSERVER_VERSION + " started: configuration " +
                (configPath.empty() ? std::string("(given)") : configPath) + ", logs " +
                Config.BaseCatalog + ", " + tcp + ", " + udp + syslogTcp);
}

void TServiceReports::WriteStatistics(const TReportSources& sources) {
  MainThread.AssertCurrent();
  const TServiceCounters c = TakeCounters(sources);
  std::string line = "STATISTICS: received tcp=" + std::to_string(c.Received[ikTpkt]) +
                     " udp=" + std::to_string(c.Received[ikUdp]);
  if (c.SyslogTcpOn)
    line += " syslog-tcp=" + std::to_string(c.Received[ikSyslogTcp]) +
            " syslog-tls=" + std::to_string(c.Received[ikSyslogTls]);
  line += ", written=" + std::to_string(c.Written) + ", to providers=" + std::to_string(c.ToProviders) +
          ", dropped queue-full=" + std::to_string(c.DroppedQueueFull) +
          " open-failed=" + std::to_string(c.OpenFailed) + " write-failed=" + std::to_string(c.WriteFailed) +
          " invalid=" + std::to_string(c.InvalidRecords) + " kernel=" + std::to_string(c.KernelDrops) +
          ", not-tpkt bytes=" + std::to_string(c.NotTpktBytes) +
          ", connections=" + std::to_string(c.Connections[ikTpkt]) +
          ", open files=" + std::to_string(c.OpenFiles) + ", queued bytes=" + std::to_string(c.QueuedBytes);
  if (c.SyslogTcpOn)
    line += ", syslog-tcp connections=" + std::to_string(c.Connections[ikSyslogTcp] + c.Connections[ikSyslogTls]) +
            " framing-errors=" + std::to_string(c.FramingErrors) +
            " refused=" + std::to_string(c.RefusedConnections) + " cut=" + std::to_string(c.CutMessages) +
            " failed-handshakes=" + std::to_string(c.FailedHandshakes);
  ServiceLog.Write(false, line);
  // The journal collects stderr: the line is there too.
  ReportProblem(line);
}

void TServiceReports::ReportLosses(const TReportSources& sources) {
  if (sources.Intake) ReportDroppedDatagrams(*sources.Intake);
  if (sources.Producers) ReportLostLines(*sources.Producers);
  if (sources.Producers) ReportOverflowed(*sources.Producers);
  if (sources.SyslogTcpCounters) ReportSyslogStreamProblems(*sources.SyslogTcpCounters);
  ReportCaughtFailures();
  if (sources.TcpCounters) ReportUnframedBytes(*sources.TcpCounters);
  if (sources.TcpCounters) ReportTpktRefusals(*sources.TcpCounters);
  if (sources.Unfinished) ReportStalledClosed(*sources.Unfinished);
}

void TServiceReports::ReportStalledClosed(const TUnfinishedBytes& unfinished) {
  MainThread.AssertCurrent();
  const std::uint64_t closed = unfinished.Closed();
  if (closed == ReportedStalled || !ReportDue(LastStalledReport)) return;
  const std::string text = "STALLED CONNECTIONS CLOSED: " + std::to_string(closed - ReportedStalled) +
                           " (stopped inside a message while unfinished messages held more than " +
                           std::to_string(Config.MaxUnfinishedBytes) + " bytes; their unfinished messages are lost)";
  ReportProblem(text);
  ServiceLog.Write(false, text);
  ReportedStalled = closed;
}

void TServiceReports::ReportUnframedBytes(TServerCounters& counters) {
  MainThread.AssertCurrent();
  const std::uint64_t bytes = counters.UnframedBytes.load();
  if (bytes == ReportedUnframed || !ReportDue(LastUnframedReport)) return;
  // On stderr (the journal), where an operator who pointed a syslog
  // forwarder at the TPKT port finds it.
  ReportProblem("NOT TPKT: " + std::to_string(bytes - ReportedUnframed) + " bytes on TCP port " +
                std::to_string(Config.ServicePort) + " were no TPKT frame and were dropped (last from " +
                counters.UnframedPeer() + "; syslog goes to the syslog port)");
  ReportedUnframed = bytes;
}

void TServiceReports::ReportTpktRefusals(TServerCounters& counters) {
  MainThread.AssertCurrent();
  const std::uint64_t perAddress = counters.RefusedPerAddress.load();
  const std::uint64_t idle = counters.ClosedIdle.load();
  if ((perAddress == ReportedTpktPerAddress && idle == ReportedTpktIdle) || !ReportDue(LastTpktReport)) return;
  std::string text = "TPKT:";
  if (perAddress != ReportedTpktPerAddress)
    text += " " + std::to_string(perAddress - ReportedTpktPerAddress) +
            " connections refused (their address held " + std::to_string(Config.TpktMaxConnectionsPerAddress) +
            " connections);";
  if (idle != ReportedTpktIdle)
    text += " " + std::to_string(idle - ReportedTpktIdle) + " connections closed idle (" +
            std::to_string(Config.TpktIdleSeconds) + " s without a byte);";
  text.pop_back();
  ReportProblem(text);
  ServiceLog.Write(false, text);
  ReportedTpktPerAddress = perAddress;
  ReportedTpktIdle = idle;
}

void TServiceReports::ReportLostLines(tLogProducerHolder& producers) {
  MainThread.AssertCurrent();
  // Looked at only when a report is due, so losses of a minute add up.
  std::uint32_t last = LastLossReport;
  if (!ReportDue(last)) return;
  const auto losses = producers.TakeFileLosses();
  if (losses.empty()) return;
  LastLossReport = last;
  for (const auto& loss : losses) {
    const std::string text = "LOST LOG LINES: " + std::to_string(loss.Lines) + " (" +
                             (loss.Path.empty() ? std::string("other files") : loss.Path) + ": " +
                             ErrorText(loss.Error) + ")";
    // Stderr too: the service log may be the file that cannot be written.
    ReportProblem(text);
    ServiceLog.Write(false, text);
  }
}

void TServiceReports::ReportSyslogStreamProblems(TSyslogStreamCounters& counters) {
  MainThread.AssertCurrent();
  const std::uint64_t framing = counters.FramingErrors.load();
  const std::uint64_t refused = counters.Refused.load();
  const std::uint64_t cut = counters.CutMessages.load();
  const std::uint64_t handshakes = counters.FailedHandshakes.load();
  const std::uint64_t perAddress = counters.RefusedPerAddress.load();
  const std::uint64_t idle = counters.ClosedIdle.load();
  if ((framing == ReportedFramingErrors && refused == ReportedRefused && cut == ReportedCut &&
       handshakes == ReportedHandshakes && perAddress == ReportedPerAddress && idle == ReportedIdle) ||
      !ReportDue(LastSyslogStreamReport))
    return;
  std::string text = "SYSLOG TCP:";
  if (framing != ReportedFramingErrors)
    text += " " + std::to_string(framing - ReportedFramingErrors) +
            " connections closed for broken framing (last " + counters.FramingErrorPeer() + ");";
  if (refused != ReportedRefused)
    text += " " + std::to_string(refused - ReportedRefused) + " connections refused (more than " +
            std::to_string(Config.SyslogMaxConnections) + ");";
  if (perAddress != ReportedPerAddress)
    text += " " + std::to_string(perAddress - ReportedPerAddress) +
            " connections refused (their address held " + std::to_string(Config.MaxConnectionsPerAddress) +
            " connections or " + std::to_string(Config.MaxHandshakesPerAddress) + " unfinished handshakes);";
  if (idle != ReportedIdle)
    text += " " + std::to_string(idle - ReportedIdle) + " connections closed idle (" +
            std::to_string(Config.SyslogIdleSeconds) + " s without a byte);";
  if (cut != ReportedCut)
    text += " " + std::to_string(cut - ReportedCut) + " messages cut to 8192 bytes;";
  if (handshakes != ReportedHandshakes)
    text += " " + std::to_string(handshakes - ReportedHandshakes) + " TLS handshakes failed (last " +
            counters.FailedHandshake() + ");";
  text.pop_back();
  ReportProblem(text);
  ServiceLog.Write(false, text);
  ReportedFramingErrors = framing;
  ReportedRefused = refused;
  ReportedCut = cut;
  ReportedHandshakes = handshakes;
  ReportedPerAddress = perAddress;
  ReportedIdle = idle;
}

void TServiceReports::ReportOverflowed(const tLogProducerHolder& producers) {
  MainThread.AssertCurrent();
  const std::uint64_t overflowed = producers.Overflowed();
  if (overflowed == ReportedOverflowed || !ReportDue(LastOverflowReport)) return;
  const std::string text = "NEW PATHS OVER BUDGET: " + std::to_string(overflowed - ReportedOverflowed) +
                           " messages went to their sender's " + kOverflowLevel +
                           "/ files, or the one all senders share, instead (last from " +
                           producers.LastOverflowed() + ")";
  ReportProblem(text);
  ServiceLog.Write(false, text);
  ReportedOverflowed = overflowed;
}

void TServiceReports::ReportDroppedDatagrams(const TMessageIntake& intake) {
  MainThread.AssertCurrent();
  const std::uint64_t dropped = intake.DroppedDatagrams();
  if (dropped == ReportedDrops || !ReportDue(LastDropReport)) return;
  ServiceLog.Write(false, "DROPPED SYSLOG DATAGRAMS: " + std::to_string(dropped - ReportedDrops) +
                              " (log queue full)");
  ReportedDrops = dropped;
}

void TServiceReports::ReportCaughtFailures() {
  MainThread.AssertCurrent();
  std::uint32_t last = LastFailureReport;
  if (!ReportDue(last)) return;
  TCaughtFailures::TReport report;
  if (!Failures.Take(report)) return;
  LastFailureReport = last;
  const std::string text = "ERRORS CAUGHT: " + std::to_string(report.Count) + " (last: " +
                           report.Last + ")";
  ReportProblem(text);
  ServiceLog.Write(false, text);
}

}  // namespace logserver

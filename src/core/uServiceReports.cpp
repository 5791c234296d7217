// tMainThread's reports: the start line, statistics, lost lines and
// dropped datagrams, a log directory that cannot be written.
#include "core/uMainThread.h"

#include "core/uServiceText.h"
#include "platform/uFiles.h"
#include "platform/uTime.h"

namespace logserver {

namespace {

// Loss reports come at most this often.
constexpr std::uint32_t kDropReportInterval = 60000;

}  // namespace

void tMainThread::CheckBaseDirectory() {
  // Where the tree starts: BaseCatalog is a plain prefix, so its directory
  // part is what must be there and writable.
  const std::string directory = DirectoryPart(Config.BaseCatalog);
  const int error = PrepareWritableDirectory(directory);
  if (error != 0)
    ReportProblem("log directory " + (directory.empty() ? std::string("./") : directory) +
                  " cannot be written: " + ErrorText(error) +
                  " (lines are counted as lost until it can)");
}

void tMainThread::ReportStart() {
  // The servers bind on their own threads: wait a little for each to tell.
  TCustomTCPServer* listener = TcpServer ? TcpServer->Listener() : nullptr;
  tUDPServer* syslog = SyslogServer ? SyslogServer->Server() : nullptr;
  const std::uint64_t deadline = MonotonicMilliseconds() + 2000;
  while (MonotonicMilliseconds() < deadline &&
         ((listener && listener->ListeningPort() == 0 && listener->ListenFailure() == 0) ||
          (syslog && syslog->BoundPort() == 0 && !syslog->Failed())))
    SleepMilliseconds(10);
  std::string tcp = "TCP port " + std::to_string(Config.ServicePort);
  if (listener && listener->ListeningPort() != 0)
    tcp += " listening";
  else
    tcp += " not listening" + (listener && listener->ListenFailure() != 0
                                   ? " (" + ErrorText(listener->ListenFailure()) + ")"
                                   : std::string());
  std::string udp = "syslog UDP port " + std::to_string(Config.SysLogPort);
  if (syslog && syslog->BoundPort() != 0)
    udp += " listening";
  else
    udp += " not bound" + (syslog && syslog->Failed() ? " (" + ErrorText(syslog->LastError()) + ")"
                                                     : std::string());
  ReportProblem(std::string("version ") + LOGSERVER_VERSION + " started: configuration " +
                (ConfigPath.empty() ? std::string("(given)") : ConfigPath) + ", logs " +
                Config.BaseCatalog + ", " + tcp + ", " + udp);
}

void tMainThread::WriteStatistics() {
  const TLogFileTable::TCounts files = TLogFileTable::Shared().Counts();
  tLogQueue* queue = LogQueue_.load();
  TCustomTCPServer* listener = TcpServer ? TcpServer->Listener() : nullptr;
  WriteServiceLog(
      false, "STATISTICS: received tcp=" + std::to_string(ReceivedTcp.load()) +
                 " udp=" + std::to_string(ReceivedUdp.load()) +
                 ", written=" + std::to_string(files.Written) +
                 ", to providers=" +
                 std::to_string(Producers_ ? Producers_->ClaimedByProviders() : 0) +
                 ", dropped queue-full=" + std::to_string(DroppedDatagrams.load()) +
                 " open-failed=" + std::to_string(files.OpenFailed) +
                 " write-failed=" + std::to_string(files.WriteFailed) +
                 ", connections=" + std::to_string(listener ? listener->ConnectionCount() : 0) +
                 ", open files=" + std::to_string(TLogFileTable::Shared().OpenFiles()) +
                 ", queued bytes=" + std::to_string(queue ? queue->QueuedBytes() : 0));
}

void tMainThread::ReportLostLines() {
  const std::uint32_t now = TickMilliseconds();
  if (LastLossReport != 0 && static_cast<std::uint32_t>(now - LastLossReport) < kDropReportInterval)
    return;
  const auto losses = TLogFileTable::Shared().TakeLosses();
  if (losses.empty()) return;
  LastLossReport = now == 0 ? 1 : now;
  for (const auto& loss : losses) {
    const std::string text = "LOST LOG LINES: " + std::to_string(loss.Lines) + " (" +
                             (loss.Path.empty() ? std::string("other files") : loss.Path) + ": " +
                             ErrorText(loss.Error) + ")";
    // Stderr too: the service log may be the file that cannot be written.
    ReportProblem(text);
    WriteServiceLog(false, text);
  }
}

void tMainThread::ReportDroppedDatagrams() {
  const std::uint64_t dropped = DroppedDatagrams.load();
  if (dropped == ReportedDrops) return;
  const std::uint32_t now = TickMilliseconds();
  if (LastDropReport != 0 && static_cast<std::uint32_t>(now - LastDropReport) < kDropReportInterval)
    return;
  WriteServiceLog(false, "DROPPED SYSLOG DATAGRAMS: " + std::to_string(dropped - ReportedDrops) +
                             " (log queue full)");
  ReportedDrops = dropped;
  LastDropReport = now == 0 ? 1 : now;
}

}  // namespace logserver

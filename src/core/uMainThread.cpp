#include "core/uMainThread.h"

#include "base/uDateTimeMask.h"
#include "core/uServiceText.h"
#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "platform/uThread.h"
#include "platform/uTime.h"
#include "platform/uBufferPool.h"
#include "platform/uUnitRun.h"

#include <system_error>

namespace logserver {

std::atomic<tMainThread*> MainThreadInstance{nullptr};

namespace {

constexpr const char* kServiceLogMask = "dd.mm.yyyy hh:nn:ss:zzz : ";
constexpr std::uint32_t kListenCheckInterval = 3000;
// What the main loop takes from the queue at most in one pop.
constexpr std::size_t kBatchElements = 1024;
constexpr std::size_t kBatchBytes = 1024 * 1024;
// How often the open log files are checked for having been deleted.
constexpr std::uint64_t kDeletedCheckMs = 1000;

}  // namespace

tMainThread::~tMainThread() {
  // Run leaves nothing behind; this covers objects used without Run (tests).
  StopSequence();
  StopServiceLog();
}

tMainThread::tMainThread(tServiceConfig settings) : Config(std::move(settings)), ConfigGiven(true) {}

void tMainThread::ReadConfig() {
  const std::string directory = DirectoryPart(ExecutablePath());
  ConfigPath = directory + "LogServer.conf";
  Config = ReadServiceConfig(ConfigPath, directory);
}

void tMainThread::Run() {
  SetCurrentThreadName("ls-main");
  TcpServer.reset();
  SyslogServer.reset();
  StopRequested.store(false);
  try {
    // The service signals are blocked until here (main): one that comes
    // while the configuration is read or written back waits, and acts once
    // they are unblocked below.
    InstallSignalHandlers({&tMainThread::HandleStopSignal, &tMainThread::HandleReopenSignal,
                           &tMainThread::HandleStatisticsSignal});
    if (!ConfigGiven) ReadConfig();
    // No thread exists before this point and none is started before the
    // daemon detach: the detached child carries on with this thread only.
    if (Config.RunMode == 4) {
      const bool detached = Daemonize();
      UnblockServiceSignals();
      CheckBaseDirectory();
      CreateServiceLog();
      if (detached) {
        WriteServiceLog(false, "Log Server started AS DAEMON...");
        Serve();
      } else {
        WriteServiceLog(false, "Fail to start as DAEMON...");
      }
    } else {
      UnblockServiceSignals();
      CheckBaseDirectory();
      CreateServiceLog();
      WriteServiceLog(false, "Log Server started AS APPLICATION...");
      Serve();
    }
    WriteServiceLog(false, "Log Server stopped");
  } catch (...) {
    StopServiceLog();
    MainThreadInstance.store(nullptr);
    throw;
  }
  StopServiceLog();
  MainThreadInstance.store(nullptr);
}

void tMainThread::CreateServiceLog() {
  const std::string name = FileNamePart(ExecutablePath());
  ServiceLog = TFileLogProducer::Create({Config.BaseCatalog, "0.0.0.0", "0", name, name, "", ""});
  // The statistics count the messages of clients, not the service's lines.
  static_cast<TFileLogProducer*>(ServiceLog.get())->ExcludeFromStatistics();
}

std::unique_ptr<tLogProducerHolder> tMainThread::CreateRegistry() {
  return std::make_unique<tLogProducerHolder>(
      Config.BaseCatalog, Config.Providers, &TFileLogProducer::Create, &TExternalLogProducer::Create,
      [this](const std::string& line) {
        WriteServiceLog(false, line);
        ReportProblem(line);
      });
}

void tMainThread::PrepareDispatch(std::size_t queueBytes) {
  if (!ServiceLog) CreateServiceLog();
  if (LogQueue_.load() == nullptr) LogQueue_.store(new tLogQueue(queueBytes));
  if (!Producers_) Producers_ = CreateRegistry();
}

void tMainThread::StopServiceLog() {
  if (!ServiceLog) return;
  ServiceLog->Stop();
  ServiceLog->WaitFor();
  ServiceLog.reset();
}

void tMainThread::Serve() {
  try {
    TcpServer = std::make_unique<TTCPServerComponent>();
    SyslogServer = std::make_unique<TUDPServerComponent>();
    Controller = tControlConnectionsProcess::Create([this] { WakeUp(); });
    LogQueue_.store(new tLogQueue());
    Producers_ = CreateRegistry();

    TcpServer->SetTCPServerType(&TTPKTTCPServer::Create);
    TcpServer->OnReceive = [this](TIPConnection& sender, const char* packet, std::uint32_t size) {
      OnClientData(sender, packet, size);
    };
    TcpServer->OnConnect = [this](TIPConnection& client) { OnClientConnect(client); };
    TcpServer->OnDisconnect = [this](TIPConnection& client) { OnClientDisconnect(client); };
    TcpServer->OnBatchEnd = [this] { OnTcpBatchEnd(); };
    TcpServer->OnReceiveRun = [this](TIPConnection& sender, std::string& run) {
      OnClientDataRun(sender, run);
    };
    TcpServer->SetIPAddress("0.0.0.0");
    TcpServer->SetIPPort(Config.ServicePort);
    TcpServer->SetActive(true);

    SyslogServer->SetIPAddress("0.0.0.0");
    SyslogServer->SetIPPort(Config.SysLogPort);
    SyslogServer->OnReceive = [this](TIPConnection& sender, const char* packet, std::uint32_t size) {
      OnSyslogDatagram(sender, packet, size);
    };
    SyslogServer->OnBatchEnd = [this] { OnSyslogBatchEnd(); };
    SyslogServer->SetActive(true);
    ReportStart();

    tLogQueue* queue = LogQueue_.load();
    std::vector<pLogQueueElement> batch;
    while (!StopRequested.load()) {
      // Everything queued, within bounds, in one pop; its lines go out with
      // one write per file before the loop waits again.
      batch.clear();
      queue->PopAll(batch, kBatchElements, kBatchBytes);
      DispatchBatch(batch);
      if (ReopenRequested.exchange(false)) ReopenLogFiles();
      if (StatisticsRequested.exchange(false)) WriteStatistics();
      CheckDeletedFiles();
      CheckListener();
      ReportDroppedDatagrams();
      ReportLostLines();
    }
    WriteServiceLog(false, "Have normal TERM SIGNAL");
  } catch (...) {
    StopSequence();
    throw;
  }
  StopSequence();
  WriteStandardOutput("Process MainThread \"SHUTDOWN\" ...OK\n");
}

void tMainThread::StopSequence() {
  // From here on no network thread may wait for room in the queue: what the
  // servers still deliver while they stop is queued whatever its size, and
  // written below.
  if (tLogQueue* queue = LogQueue_.load()) queue->LiftBounds();
  // Each object is freed between its two lines; the pairs are written only
  // for objects that exist. The heartbeat and the network handlers use the
  // queue, so they go first; the producers go last.
  if (Controller) {
    WriteServiceLog(false, "STOPPING CONECTION CONTROLLER...");
    Controller.reset();
    WriteServiceLog(false, "STOPPED CONECTION CONTROLLER...OK");
  }
  if (TcpServer) {
    WriteServiceLog(false, "STOPPING NET TPKT SERVER...");
    TcpServer.reset();
    WriteServiceLog(false, "STOPPED NET TPKT SERVER...OK");
  }
  if (SyslogServer) {
    WriteServiceLog(false, "STOPPING NET SYSLOG SERVER...");
    SyslogServer.reset();
    WriteServiceLog(false, "STOPPED NET SYSLOG SERVER...OK");
  }
  // Nothing new arrives now; what was taken in is written before the queue goes.
  WriteQueuedMessages();
  if (LogQueue_.load() != nullptr) {
    WriteServiceLog(false, "STOPPING LOG QUEUE...");
    // Emptied before the free, so a stop signal arriving now only sets the flag.
    delete LogQueue_.exchange(nullptr);
    WriteServiceLog(false, "STOPPED LOG QUEUE...OK");
  }
  if (Producers_) {
    WriteServiceLog(false, "STOPPING LOG PRODUCER...");
    Producers_.reset();
    WriteServiceLog(false, "STOPPED LOG PRODUCER...OK");
  }
}

void tMainThread::CheckListener() {
  const std::uint32_t now = TickMilliseconds();
  if (now == 0) return;
  // Wrapping difference: a clock set back makes it huge, so the check acts.
  if (static_cast<std::uint32_t>(now - LastListenCheck) < kListenCheckInterval) return;
  if (TcpServer) {
    if (TcpServer->GetActive()) {
      TcpServer->ProbeConnections();
      // Active stays true while the listener retries a port it cannot bind;
      // name the failure once when it appears or changes.
      const int failure = TcpServer->GetListenFailure();
      if (failure != ReportedListenFailure && failure != 0) {
        WriteServiceLog(false, "FAIL while create listen point [code=" + std::to_string(failure) + "]");
        ReportProblem("TCP port " + std::to_string(Config.ServicePort) + " is not listening: " +
                      ErrorText(failure) + " (trying again every 3 s)");
      }
      ReportedListenFailure = failure;
    } else {
      WriteServiceLog(false, "FAIL while create listen point [code=" +
                                 std::to_string(TcpServer->GetListenError()) + "]");
      TcpServer->SetActive(true);
    }
  }
  CheckSyslog();
  LastListenCheck = TickMilliseconds();
}

void tMainThread::CheckSyslog() {
  if (!SyslogServer || !SyslogServer->GetActive()) return;
  const int failure = SyslogServer->GetBindFailure();
  if (failure == 0) {
    ReportedSyslogFailure = 0;
    return;
  }
  if (failure != ReportedSyslogFailure) {
    WriteServiceLog(false, "FAIL while create syslog point [code=" + std::to_string(failure) + "]");
    ReportProblem("syslog UDP port " + std::to_string(Config.SysLogPort) + " is not bound: " +
                  ErrorText(failure) + " (trying again every 3 s)");
  }
  ReportedSyslogFailure = failure;
  // The port may be free now: a new server tries it.
  SyslogServer->SetActive(false);
  SyslogServer->SetActive(true);
}

void tMainThread::CheckDeletedFiles() {
  const std::uint64_t now = MonotonicMilliseconds();
  if (now < NextDeletedCheck) return;
  NextDeletedCheck = now + kDeletedCheckMs;
  // A file deleted under the service (or its whole tree) is closed, and its
  // next line recreates it, instead of vanishing into the unlinked file.
  TLogFileTable::Shared().CloseUnlinked();
}

void tMainThread::ReopenLogFiles() {
  TLogFileTable::Shared().ReopenAll();
  WriteServiceLog(false, "LOG FILES REOPENED");
}

void tMainThread::WriteServiceLog(bool Gated, const std::string& Text) {
  if (Gated && Config.LogMode <= 0) return;
  if (!ServiceLog) return;
  // One clock reading serves the stamp and the choice of the hourly file.
  const double now = Now();
  ServiceLog->AddMessage(FormatDateTime(kServiceLogMask, now) + Text, 0.0, now);
}

void tMainThread::RequestStop() {
  StopRequested.store(true);
  if (tLogQueue* queue = LogQueue_.load()) queue->Release();
}

void tMainThread::WakeUp() {
  if (tLogQueue* queue = LogQueue_.load()) queue->Release();
}

void tMainThread::RequestReopen() {
  ReopenRequested.store(true);
  if (tLogQueue* queue = LogQueue_.load()) queue->Release();
}

void tMainThread::RequestStatistics() {
  StatisticsRequested.store(true);
  if (tLogQueue* queue = LogQueue_.load()) queue->Release();
}

void tMainThread::HandleStatisticsSignal(int) {
  if (tMainThread* instance = MainThreadInstance.load()) instance->RequestStatistics();
}

void tMainThread::HandleReopenSignal(int) {
  if (tMainThread* instance = MainThreadInstance.load()) instance->RequestReopen();
}

void tMainThread::HandleStopSignal(int) {
  // Runs on the initial thread only (every other thread blocks the stop
  // signals), touches only atomics and sem_post. Taking the instance out
  // first makes later signals no-ops.
  if (tMainThread* instance = MainThreadInstance.exchange(nullptr)) instance->RequestStop();
}

}  // namespace logserver

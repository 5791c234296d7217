#include "core/uMainThread.h"

#include "core/uServiceText.h"
#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "platform/uThread.h"
#include "platform/uTime.h"

namespace logserver {

namespace {

constexpr std::uint32_t kListenCheckInterval = 3000;
// Forgetting this many senders at once frees enough to hand back.
constexpr std::size_t kManyForgottenSenders = 1000;
// The most the stop waits for the stream's acknowledgements due.
constexpr std::uint32_t kStreamStopWaitMs = 10000;
// How often the open log files are checked for having been deleted.
constexpr std::uint64_t kDeletedCheckMs = 1000;

}  // namespace

tMainThread::tMainThread(TServiceConfig settings) : Config(std::move(settings)), ConfigGiven(true) {}

tMainThread::~tMainThread() {
  // Run leaves nothing behind; this covers objects used without Run (tests).
  StopSequence();
  StopServiceLog();
}

void tMainThread::ReadConfig() {
  const std::string directory = DirectoryPart(ExecutablePath());
  if (ConfigPath.empty()) ConfigPath = DefaultConfigPath();
  TConfigFindings findings;
  Config = ReadServiceConfig(ConfigPath, directory, &findings);
  for (const std::string& problem : findings.Problems) ReportProblem(ConfigPath + ": " + problem);
  if (!findings.WriteBackRefused.empty()) {
    ReportProblem(ConfigPath + ": not written back (" + findings.WriteBackRefused +
                  "): the service runs with the values in effect");
    for (const std::string& rewrite : findings.Rewrites) ReportProblem(ConfigPath + ": " + rewrite);
  }
}

std::string DefaultConfigPath() { return DirectoryPart(ExecutablePath()) + "LogServer.conf"; }

const char* ServiceVersion() { return LOGSERVER_VERSION; }

void tMainThread::Run() {
  // The initial thread keeps the process's name, so that pgrep and top find
  // the service by it; the other threads are named.
  MainThreadRole.Bind();
  Intakes.reset();
  Requests_.Take(TMainLoopRequests::rqStop);
  try {
    // The service signals are blocked until here (main): one that comes
    // while the configuration is read or written back waits, and acts once
    // they are unblocked below.
    InstallSignalHandlers({&TMainLoopRequests::HandleStopSignal, &TMainLoopRequests::HandleReopenSignal,
                           &TMainLoopRequests::HandleStatisticsSignal});
    if (!ConfigGiven) ReadConfig();
    // No thread exists before this point and none is started before the
    // daemon detach: the detached child carries on with this thread only.
    if (Config.RunMode == 4) {
      const bool detached = Daemonize();
      // The detached child is another thread of another process.
      MainThreadRole.Bind();
      UnblockServiceSignals();
      TServiceReports::CheckBaseDirectory(Config.BaseCatalog, Config.DirectoryMode, Config.SpreadSenders);
      CreateServiceLog();
      if (detached) {
        WriteServiceLog(false, "Log Server started AS DAEMON...");
        Serve();
      } else {
        WriteServiceLog(false, "Fail to start as DAEMON...");
      }
    } else {
      UnblockServiceSignals();
      TServiceReports::CheckBaseDirectory(Config.BaseCatalog, Config.DirectoryMode, Config.SpreadSenders);
      CreateServiceLog();
      WriteServiceLog(false, "Log Server started AS APPLICATION...");
      Serve();
    }
    WriteServiceLog(false, "Log Server stopped");
  } catch (...) {
    StopServiceLog();
    TMainLoopRequests::Listen(nullptr);
    throw;
  }
  StopServiceLog();
  TMainLoopRequests::Listen(nullptr);
}

void tMainThread::CreateServiceLog() {
  // The descriptors the log files may hold follow the process's limit,
  // raised to its hard limit first (systemd's LimitNOFILE sets both).
  if (!Files) {
    Files = std::make_unique<TLogFileTable>(TDescriptorBudget::ForLimit(RaiseDescriptorLimit()));
    Files->SetCreationModes(Config.FileMode, Config.DirectoryMode);
  }
  ServiceLog = std::make_unique<TServiceLog>(Config.BaseCatalog, Config.LogMode,
                                             TProducerEnvironment{Files.get(), &CaughtFailures},
                                             MainThreadRole);
  Reports_ = std::make_unique<TServiceReports>(Config, *ServiceLog, CaughtFailures, MainThreadRole);
}

void tMainThread::CreateQueue(std::size_t queueBytes) {
  if (LogQueue_) return;
  LogQueue_ = std::make_unique<tLogQueue>(queueBytes);
  Requests_.WakeThrough(LogQueue_.get());
}

void tMainThread::CreateParts() {
  Intake_ = std::make_unique<TMessageIntake>(*LogQueue_);
  Producers_ = std::make_unique<tLogProducerHolder>(
      Config.BaseCatalog, Config.Providers, TProducerEnvironment{Files.get(), &CaughtFailures},
      &TFileLogProducer::Create, &TExternalLogProducer::Create, [this](const std::string& line) {
        WriteServiceLog(false, line);
        ReportProblem(line);
      });
  ApplyLiveSettings();
  Dispatch = std::make_unique<TMessageDispatch>(Config, *LogQueue_, *Producers_, *ServiceLog,
                                                MainThreadRole);
}

void tMainThread::PrepareDispatch(std::size_t queueBytes) {
  MainThreadRole.Bind();
  if (!ServiceLog) CreateServiceLog();
  CreateQueue(queueBytes);
  if (!Producers_) CreateParts();
}

void tMainThread::StopServiceLog() {
  Reports_.reset();
  ServiceLog.reset();
}

TReportSources tMainThread::Sources() {
  TReportSources sources;
  sources.Intake = Intake_.get();
  sources.Producers = Producers_.get();
  sources.Queue = LogQueue_.get();
  sources.Dispatch = Dispatch.get();
  sources.Stream = StreamHandOff.get();
  sources.Reloads = &Reloads;
  if (Intakes) Intakes->AddSources(sources);
  return sources;
}

void tMainThread::StartMetrics() {
  if (Config.MetricsListen.empty()) return;
  try {
    Metrics = std::make_unique<TMetricsEndpoint>(
        Config.MetricsListen, Sources());
  } catch (const std::exception& error) {
    // The service runs on without metrics; the operator learns why.
    WriteServiceLog(false, std::string("METRICS OFF: ") + error.what());
    ReportProblem(error.what());
  }
}

void tMainThread::Serve() {
  try {
    Controller = tControlConnectionsProcess::Create([this] { Requests_.WakeUp(); });
    CreateQueue(kLogQueueMaxBytes);
    CreateParts();
    StreamHandOff = std::make_unique<TStreamHandOff>(*ServiceLog, *Dispatch);
    StreamHandOff->Start(Config, CaughtFailures);

    Intakes = std::make_unique<TServiceIntakes>(Config, *Intake_, *ServiceLog, CaughtFailures, Buffers);
    Intakes->Start();
    // The endpoint answers before the start line says the service serves:
    // civetweb listens before its handler is added, and would answer 404
    // in between.
    StartMetrics();
    Reports_->ReportStart(ConfigPath, Sources());
    Notifier.Ready(TakeCounters(Sources()));

    while (!Requests_.Asked(TMainLoopRequests::rqStop)) {
      // Everything queued, within bounds, in one pop; its lines go out with
      // one write per file before the loop waits again.
      Dispatch->DispatchPending();
      if (Requests_.Take(TMainLoopRequests::rqReopen)) Reload();
      if (Requests_.Take(TMainLoopRequests::rqStatistics)) Reports_->WriteStatistics(Sources());
      Housekeep();
      Reports_->ReportLosses(Sources());
      StreamHandOff->WriteNotes();
      Notifier.PingWatchdog();
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
  if (Controller || Intakes) Notifier.Stopping();
  // The endpoint reads the objects freed below: it goes first.
  Metrics.reset();
  // From here on no network thread may wait for room in the queue: what the
  // servers still deliver while they stop is queued whatever its size, and
  // written below.
  if (LogQueue_) LogQueue_->LiftBounds();
  // Each object is freed between its two lines; the pairs are written only
  // for objects that exist. The heartbeat and the network handlers use the
  // queue, so they go first; the producers go last.
  if (Controller) {
    WriteServiceLog(false, "STOPPING CONECTION CONTROLLER...");
    Controller.reset();
    WriteServiceLog(false, "STOPPED CONECTION CONTROLLER...OK");
  }
  if (Intakes) Intakes->Stop();
  // Nothing new arrives now; what was taken in is written before the queue goes.
  if (Dispatch) Dispatch->WriteQueuedMessages();
  // The acknowledgements still due, within the stop's time; the rest waits
  // in the spool for the next start.
  if (StreamHandOff) StreamHandOff->Stop(kStreamStopWaitMs);
  if (LogQueue_) {
    WriteServiceLog(false, "STOPPING LOG QUEUE...");
    // Emptied before the free, so a stop signal arriving now only sets the flag.
    Requests_.WakeThrough(nullptr);
    StreamHandOff.reset();
    Dispatch.reset();
    Intake_.reset();
    LogQueue_.reset();
    WriteServiceLog(false, "STOPPED LOG QUEUE...OK");
  }
  if (Producers_) {
    WriteServiceLog(false, "STOPPING LOG PRODUCER...");
    Producers_.reset();
    WriteServiceLog(false, "STOPPED LOG PRODUCER...OK");
  }
}

void tMainThread::Housekeep() {
  MainThreadRole.AssertCurrent();
  const std::uint64_t nowMs = MonotonicMilliseconds();
  if (nowMs >= NextDeletedCheck && Producers_) {
    NextDeletedCheck = nowMs + kDeletedCheckMs;
    // A file deleted under the service (or its whole tree) is closed, and
    // its next line recreates it, instead of vanishing into the unlinked
    // file.
    Producers_->CloseDeletedFiles();
  }
  const std::uint32_t now = TickMilliseconds();
  if (now == 0) return;
  // Wrapping difference: a clock set back makes it huge, so the check acts.
  if (static_cast<std::uint32_t>(now - LastListenCheck) < kListenCheckInterval) return;
  if (Producers_) {
    // No line waits across a check, and files without a line for a while
    // give their descriptors back.
    Producers_->WritePendingLines();
    Producers_->CloseIdleFiles();
    // Senders gone quiet take no memory, also in the resident size once
    // many went at once.
    if (Producers_->ForgetIdlePeers(Now()) >= kManyForgottenSenders) ReturnFreeMemory();
  }
  Notifier.Status(TakeCounters(Sources()));
  if (Intakes) Intakes->Supervise();
  LastListenCheck = TickMilliseconds();
}

void tMainThread::Reload() {
  Notifier.Reloading();
  if (Producers_) Producers_->ReopenFiles();
  WriteServiceLog(false, "LOG FILES REOPENED");
  // Settings given by the caller (tests) have no file to read again.
  if (!ConfigGiven) ReloadConfig();
  // Certificates are rotated the way logs are, from the files the
  // configuration names now.
  if (Intakes) Intakes->ReloadTls();
  Notifier.Reloaded();
}

void tMainThread::ReloadConfig() {
  TConfigFindings findings;
  TServiceConfig next;
  bool usable = false;
  try {
    usable = CheckServiceConfig(ConfigPath, DirectoryPart(ExecutablePath()), findings, &next);
  } catch (const EConfigError& error) {
    findings.Problems.push_back(error.what());
  }
  Reloads.LastAt.store(WallClockSeconds());
  // Keys a start would only add stop nothing; a missing file does.
  if (!usable && findings.Problems.empty() && !findings.Rewrites.empty() &&
      findings.Rewrites.front().find("does not exist") != std::string::npos)
    findings.Problems.push_back(findings.Rewrites.front());
  // New ports listen before the old ones go; one that cannot listen
  // refuses the whole reload.
  if (findings.Problems.empty() && Intakes) {
    std::string problem;
    if (!Intakes->PreparePorts(next, problem)) findings.Problems.push_back(problem);
  }
  std::unique_ptr<TMetricsEndpoint> metrics;
  const bool metricsMoved = next.MetricsListen != Config.MetricsListen;
  if (findings.Problems.empty() && metricsMoved && !next.MetricsListen.empty()) {
    try {
      metrics = std::make_unique<TMetricsEndpoint>(next.MetricsListen, Sources());
    } catch (const std::exception& error) {
      findings.Problems.push_back(std::string("[Metrics] Listen: ") + error.what());
    }
  }
  if (!findings.Problems.empty()) {
    if (Intakes) Intakes->DropPorts();
    Reloads.Refused.fetch_add(1);
    Reloads.LastSucceeded.store(false);
    for (const std::string& problem : findings.Problems) {
      const std::string text = "CONFIGURATION NOT RELOADED: " + ConfigPath + ": " + problem;
      WriteServiceLog(false, text);
      ReportProblem(text);
    }
    return;
  }
  std::vector<std::string> waiting;
  for (const std::string& setting : ChangedSettings(Config, next))
    if (!AppliedAtReload(setting)) waiting.push_back(setting);
  const TServiceConfig before = Config;
  TakeReloadedSettings(Config, next);
  if (Intakes) Intakes->TakePorts();
  ApplyLiveSettings();
  MoveTree(before);
  if (metricsMoved) Metrics = std::move(metrics);
  Reloads.Applied.fetch_add(1);
  Reloads.LastSucceeded.store(true);
  WriteServiceLog(false, "CONFIGURATION RELOADED");
  if (!waiting.empty()) {
    std::string text = "CONFIGURATION RELOADED: changed, and used from the next start: ";
    for (std::size_t i = 0; i < waiting.size(); ++i) text += (i > 0 ? ", " : "") + waiting[i];
    WriteServiceLog(false, text);
    ReportProblem(text);
  }
}

void tMainThread::ApplyLiveSettings() {
  if (Files) Files->SetCreationModes(Config.FileMode, Config.DirectoryMode);
  if (ServiceLog) ServiceLog->SetLogMode(Config.LogMode);
  if (Producers_) {
    Producers_->SetPeerLimits(Config.SenderIdleSeconds, Config.MaxSenders);
    // All senders together may save up a minute's worth, and at least what
    // one sender may: ten thousand senders that appear at once (a site's
    // hosts after an outage) make about 50,000 paths within seconds.
    const std::uint64_t totalAtOnce =
        std::max<std::uint64_t>(Config.NewPathsAtOnce, 60ull * Config.NewPathsPerSecondTotal);
    Producers_->SetPathBudget(Config.NewPathsPerSecond, Config.NewPathsAtOnce, Config.NewPathsPerSecondTotal,
                              static_cast<std::uint32_t>(std::min<std::uint64_t>(totalAtOnce, 0xFFFFFFFFu)),
                              kServiceLogAddress);
  }
  if (Intakes) Intakes->SetLimits();
}

void tMainThread::MoveTree(const TServiceConfig& before) {
  const bool moved = Config.BaseCatalog != before.BaseCatalog;
  if (moved || Config.SpreadSenders != before.SpreadSenders)
    TServiceReports::CheckBaseDirectory(Config.BaseCatalog, Config.DirectoryMode, Config.SpreadSenders);
  // The old tree's own log says where the lines go on.
  if (moved) WriteServiceLog(false, "BASE DIRECTORY NOW " + Config.BaseCatalog);
  if (Producers_ && (moved || Config.Providers != before.Providers))
    Producers_->Reconfigure(Config.BaseCatalog, Config.Providers);
  // The old link's window goes out first, within the stop's time.
  if (StreamHandOff) StreamHandOff->Reload(Config, CaughtFailures, kStreamStopWaitMs);
  if (ServiceLog && moved) ServiceLog->SetBaseCatalog(Config.BaseCatalog);
}

void tMainThread::WriteServiceLog(bool Gated, const std::string& Text) {
  if (ServiceLog) ServiceLog->Write(Gated, Text);
}

void tMainThread::DispatchElement(pLogQueueElement element) {
  if (Dispatch) Dispatch->DispatchElement(std::move(element));
}

}  // namespace logserver

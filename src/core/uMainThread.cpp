#include "core/uMainThread.h"

#include "base/uDateTimeMask.h"
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
constexpr std::uint32_t kDropReportInterval = 60000;
// The payload bytes one element of consecutive client messages holds at most.
constexpr std::size_t kRunBytes = 64 * 1024;
// What the main loop takes from the queue at most in one pop.
constexpr std::size_t kBatchElements = 1024;
constexpr std::size_t kBatchBytes = 1024 * 1024;
// How often the open log files are checked for having been deleted.
constexpr std::uint64_t kDeletedCheckMs = 1000;
// What a stop may spend writing the messages still queued.
constexpr std::uint64_t kStopWriteLimitMs = 10000;

std::string ErrorText(int error) { return std::generic_category().message(error); }

// One line on standard error, where systemd's journal collects it.
void ReportProblem(const std::string& text) { WriteStandardError("LogServer: " + text + "\n"); }

std::string PeerText(const std::string& address, std::uint16_t port) {
  return "[" + address + ":" + std::to_string(port) + "]";
}

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

void tMainThread::ReopenLogFiles() {
  TLogFileTable::Shared().ReopenAll();
  WriteServiceLog(false, "LOG FILES REOPENED");
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

void tMainThread::WriteQueuedMessages() {
  tLogQueue* queue = LogQueue_.load();
  if (queue == nullptr || !Producers_) return;
  const std::uint64_t deadline = MonotonicMilliseconds() + kStopWriteLimitMs;
  std::uint64_t unwritten = 0;
  pLogQueueElement element;
  TLogFileTable& files = TLogFileTable::Shared();
  files.BeginBatch();
  struct TEnd {
    TLogFileTable& files;
    ~TEnd() { files.EndBatch(); }
  } end{files};
  while (queue->TryPop(element)) {
    // Connects and disconnects change nothing in the files any more.
    if (element->Kind != lqkClientData && element->Kind != lqkClientDataRun &&
        element->Kind != lqkSyslogDatagram)
      continue;
    if (unwritten > 0 || MonotonicMilliseconds() >= deadline) {
      ++unwritten;
      continue;
    }
    DispatchMessage(*element, /*logLines=*/false);
  }
  if (unwritten > 0)
    WriteServiceLog(false, "NOT WRITTEN AT STOP: " + std::to_string(unwritten) +
                               " messages (time limit)");
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

namespace {

pLogQueueElement MakeElement(std::int32_t Kind, TIPConnection& Connection, const char* Data,
                             std::uint32_t Size) {
  auto element = std::make_unique<tLogQueueElement>();
  element->Kind = Kind;
  element->ClientAddress = Connection.ClientAddress;
  element->ClientPort = Connection.ClientPort;
  // The component's buffer is valid only during the call.
  if (Size > 0) element->Data.assign(Data, Size);
  return element;
}

}  // namespace

// The handlers collect; the batch ends hand on what they collected in one
// step (one lock, at most one wake-up of the main loop).

void tMainThread::OnClientData(TIPConnection& Sender, const char* Packet, std::uint32_t PacketSize) {
  ReceivedTcp.fetch_add(1, std::memory_order_relaxed);
  // Consecutive messages of one connection share an element, up to a size
  // that keeps the queue's byte bound meaningful.
  if (TcpBatch.empty() || TcpBatch.back()->Kind != lqkClientDataRun || TcpRunSender != &Sender ||
      TcpBatch.back()->Data.size() >= kRunBytes) {
    // Grown as messages come, so a lone message costs no more than before.
    TcpBatch.push_back(MakeElement(lqkClientDataRun, Sender, nullptr, 0));
    TcpRunSender = &Sender;
  }
  AppendUnit(TcpBatch.back()->Data, Packet, PacketSize);
}

void tMainThread::OnClientDataRun(TIPConnection& Sender, std::string& Run) {
  std::uint64_t messages = 0;
  ForEachUnit(Run, [&](const char*, std::size_t) { ++messages; });
  ReceivedTcp.fetch_add(messages, std::memory_order_relaxed);
  // The run's bytes become the element's: nothing is copied.
  pLogQueueElement element = MakeElement(lqkClientDataRun, Sender, nullptr, 0);
  element->Data = std::move(Run);
  TcpBatch.push_back(std::move(element));
  TcpRunSender = nullptr;
}

void tMainThread::OnClientConnect(TIPConnection& Client) {
  TcpBatch.push_back(MakeElement(lqkClientConnect, Client, nullptr, 0));
}

void tMainThread::OnClientDisconnect(TIPConnection& Client) {
  TcpBatch.push_back(MakeElement(lqkClientDisconnect, Client, nullptr, 0));
}

void tMainThread::OnTcpBatchEnd() {
  // Waits while the queue is full, which stops the delivery thread and with
  // it the connections' reading: TCP flow control slows the clients and
  // nothing they sent is dropped. At the stop the queue takes everything.
  if (tLogQueue* queue = LogQueue_.load()) queue->PushManyWaiting(TcpBatch, kLogQueueTcpBytes);
  TcpBatch.clear();
  TcpRunSender = nullptr;
}

void tMainThread::OnSyslogDatagram(TIPConnection& Sender, const char* Packet,
                                   std::uint32_t PacketSize) {
  SyslogBatch.push_back(MakeElement(lqkSyslogDatagram, Sender, Packet, PacketSize));
}

void tMainThread::OnSyslogBatchEnd() {
  ReceivedUdp.fetch_add(SyslogBatch.size(), std::memory_order_relaxed);
  // UDP cannot push back: datagrams that find the queue full are dropped
  // and counted; the main loop reports the count.
  if (tLogQueue* queue = LogQueue_.load()) {
    queue->TryPushMany(SyslogBatch);
    DroppedDatagrams += SyslogBatch.size();
  }
  SyslogBatch.clear();
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

void tMainThread::DispatchBatch(std::vector<pLogQueueElement>& batch) {
  if (batch.empty()) return;
  TLogFileTable& files = TLogFileTable::Shared();
  files.BeginBatch();
  // The lines go out also when an error escapes a dispatch.
  struct TEnd {
    TLogFileTable& files;
    ~TEnd() { files.EndBatch(); }
  } end{files};
  for (pLogQueueElement& element : batch) DispatchElement(std::move(element));
}

void tMainThread::DispatchElement(pLogQueueElement element) {
  if (!element || !Producers_) return;
  const tLogQueueElement& e = *element;
  switch (e.Kind) {
    case lqkClientData:
    case lqkSyslogDatagram:
    case lqkClientDataRun:
      DispatchMessage(e, /*logLines=*/true);
      break;
    case lqkClientConnect:
      WriteServiceLog(true, "CLIENT CONNECTED: " + PeerText(e.ClientAddress, e.ClientPort));
      break;
    case lqkClientDisconnect:
      Producers_->RemoveClientProducers(e.ClientAddress, std::to_string(e.ClientPort));
      WriteServiceLog(true, "CLIENT DISCONNECTED: " + PeerText(e.ClientAddress, e.ClientPort));
      break;
    default:
      break;
  }
  // A run's buffer goes back to the connections for their next read.
  if (e.Kind == lqkClientDataRun) TBufferPool::Shared().Give(std::move(element->Data));
}

void tMainThread::DispatchMessage(const tLogQueueElement& e, bool logLines) {
  const std::string port = std::to_string(e.ClientPort);
  if (e.Kind == lqkClientDataRun) {
    ForEachUnit(e.Data, [&](const char* payload, std::size_t size) {
      DispatchClientMessage(e, port, std::string_view(payload, size), logLines);
    });
  } else if (e.Kind == lqkClientData) {
    DispatchClientMessage(e, port, e.Data, logLines);
  } else {
    std::string text = e.Data;
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.pop_back();
    Producers_->AddMessage(e.ClientAddress, port, "SYSLOG", "syslog", "", text, 0.0);
    if (logLines && Config.LogMode >= 2)
      WriteServiceLog(true, "NEW MSG: " + PeerText(e.ClientAddress, e.ClientPort) + " \"" + text + "\"");
  }
}

void tMainThread::DispatchClientMessage(const tLogQueueElement& e, const std::string& port,
                                        std::string_view payload, bool logLines) {
  tClientLogMessage& message = Decoded;
  if (!DecodeClientLogMessage(payload, message)) return;
  if (message.FilePrefix.empty() && Config.ModuleNameAsFilePrefix)
    message.FilePrefix = message.ModuleName;
  Producers_->AddMessage(e.ClientAddress, port, message.ApplicationName, message.ModuleName,
                         message.FilePrefix, message.Text, message.EventTime);
  if (logLines && Config.LogMode >= 2)
    WriteServiceLog(true, "NEW MSG: " + PeerText(e.ClientAddress, e.ClientPort) + " \"" +
                              message.Text + "\"");
}

}  // namespace logserver

#include "core/uServiceIntakes.h"

#include "core/uServiceText.h"
#include "platform/uProcess.h"
#include "platform/uTime.h"

#include <string>

namespace logserver {

TServiceIntakes::TServiceIntakes(const TServiceConfig& config, TMessageIntake& intake, TServiceLog& log,
                                 TCaughtFailures& failures, TBufferPool& buffers)
    : Config(config),
      Intake(intake),
      Log(log),
      Failures(failures),
      Buffers(buffers),
      Unfinished(config.MaxUnfinishedBytes),
      Rates({config.MessagesPerSecond, config.BytesPerSecond, config.BurstSeconds}, UnlimitedSenders()) {}

void TServiceIntakes::Start() {
  Loops = std::make_unique<TEventLoops>(0, &Failures);
  StartTpkt();
  StartUdp();
  StartSyslogTcp();
}

void TServiceIntakes::StartTpkt() {
  TcpServer = std::make_unique<TTCPServerComponent>();
  TcpServer->SetTCPServerType(&TTPKTTCPServer::Create);
  TcpServer->OnReceiveRun = [this](TIPConnection& sender, TUnitRun& run) { Intake.OnClientData(sender, run); };
  TcpServer->OnConnect = [this](TIPConnection& client) { Intake.OnClientConnect(client); };
  TcpServer->OnDisconnect = [this](TIPConnection& client) { Intake.OnClientDisconnect(client); };
  TcpServer->OnBatchEnd = [this] { Intake.OnTcpBatchEnd(); };
  TcpServer->Loops = Loops.get();
  TcpServer->Buffers = &Buffers;
  TcpServer->Failures = &Failures;
  TcpServer->Counters = &TcpCounters;
  TcpServer->PerAddress = {Config.TpktMaxConnectionsPerAddress, 0, UnlimitedSenders()};
  TcpServer->IdleSeconds = Config.TpktIdleSeconds;
  TcpServer->Unfinished = &Unfinished;
  TcpServer->Rates = &Rates;
  TcpServer->SetIPAddress(Config.ListenAddress);
  TcpServer->SetIPPort(Config.ServicePort);
  TcpServer->SetActive(true);
}

TAddressList TServiceIntakes::UnlimitedSenders() const {
  TAddressList list;
  list.Parse(Config.UnlimitedSenders);  // a list the reader refused is empty here
  return list;
}

void TServiceIntakes::StartUdp() {
  SyslogServer = std::make_unique<TUDPServerComponent>();
  SyslogServer->SetIPAddress(Config.ListenAddress);
  SyslogServer->SetIPPort(Config.SysLogPort);
  SyslogServer->OnReceive = [this](TIPConnection& sender, const char* packet, std::uint32_t size) {
    Intake.OnSyslogDatagram(sender, packet, size);
  };
  SyslogServer->OnBatchEnd = [this] { Intake.OnSyslogBatchEnd(); };
  SyslogServer->Failures = &Failures;
  SyslogServer->Counters = &UdpCounters;
  SyslogServer->Rates = &Rates;
  SyslogServer->SetActive(true);
}

std::shared_ptr<TTlsContext> TServiceIntakes::LoadTls(bool reload) {
  std::string error;
  std::shared_ptr<TTlsContext> context =
      TTlsContext::Load(Config.TlsCertificate, Config.TlsKey, Config.TlsClientCA, error);
  if (context) {
    if (reload) Log.Write(false, "TLS CERTIFICATE RELOADED");
    return context;
  }
  const std::string text = reload ? "TLS CERTIFICATE NOT RELOADED: " + error + " (the one in use stays)"
                                  : "TLS PORT " + std::to_string(Config.SyslogTlsPort) + " OFF: " + error +
                                        " (tried again at SIGHUP)";
  Log.Write(false, text);
  ReportProblem(text);
  return nullptr;
}

void TServiceIntakes::StartSyslogTcp() {
  if (Config.SyslogTcpPort == 0 && Config.SyslogTlsPort == 0) return;
  TSyslogStreamServer::TSetup setup;
  setup.Address = Config.ListenAddress;
  setup.TcpPort = Config.SyslogTcpPort;
  setup.TlsPort = Config.SyslogTlsPort;
  setup.MaxConnections = Config.SyslogMaxConnections;
  setup.PerAddress = {Config.MaxConnectionsPerAddress, Config.MaxHandshakesPerAddress, UnlimitedSenders()};
  setup.IdleSeconds = Config.SyslogIdleSeconds;
  setup.Loops = Loops.get();
  setup.OnOpened = [this](bool tls) { Intake.OnSyslogStreamOpened(tls); };
  setup.OnMessages = [this](const std::string& address, std::uint16_t port, TUnitRun& run, bool tls) {
    Intake.OnSyslogStreamRun(address, port, run, tls);
  };
  setup.OnClosed = [this](const std::string& address, std::uint16_t port, bool tls) {
    Intake.OnSyslogStreamClosed(address, port, tls);
  };
  setup.OnBatchEnd = [this] { Intake.OnSyslogStreamBatchEnd(); };
  setup.Buffers = &Buffers;
  setup.Failures = &Failures;
  setup.Counters = &SyslogTcpCounters;
  setup.Unfinished = &Unfinished;
  setup.Rates = &Rates;
  SyslogTcpServer = TSyslogStreamServer::Create(setup, Config.SyslogTlsPort != 0 ? LoadTls(false) : nullptr);
}

void TServiceIntakes::Supervise() {
  // Connections stalled inside a message read nothing that would trim;
  // what the closed ones held is given back to the system.
  Unfinished.Trim();
  if (Unfinished.Closed() != StalledSeen) {
    StalledSeen = Unfinished.Closed();
    ReturnFreeMemory();
  }
  for (const std::string& line : Rates.Sweep(MonotonicMilliseconds())) {
    Log.Write(false, line);
    ReportProblem(line);
  }
  if (TcpServer) {
    if (TcpServer->GetActive()) {
      TcpServer->ProbeConnections();
      if (TCustomTCPServer* listener = TcpServer->Listener()) listener->CloseIdle();
      // Active stays true while the listener retries a port it cannot bind;
      // name the failure once when it appears or changes.
      const int failure = TcpServer->GetListenFailure();
      if (failure != ReportedListenFailure && failure != 0) {
        Log.Write(false, "FAIL while create listen point [code=" + std::to_string(failure) + "]");
        ReportProblem("TCP port " + std::to_string(Config.ServicePort) + " is not listening: " +
                      ErrorText(failure) + " (trying again every 1 s)");
      }
      ReportedListenFailure = failure;
    } else {
      Log.Write(false, "FAIL while create listen point [code=" + std::to_string(TcpServer->GetListenError()) + "]");
      TcpServer->SetActive(true);
    }
  }
  SuperviseUdp();
}

void TServiceIntakes::SuperviseUdp() {
  if (!SyslogServer || !SyslogServer->GetActive()) return;
  const int failure = SyslogServer->GetBindFailure();
  if (failure == 0) {
    ReportedSyslogFailure = 0;
    return;
  }
  if (failure != ReportedSyslogFailure) {
    Log.Write(false, "FAIL while create syslog point [code=" + std::to_string(failure) + "]");
    ReportProblem("syslog UDP port " + std::to_string(Config.SysLogPort) + " is not bound: " +
                  ErrorText(failure) + " (trying again every 3 s)");
  }
  ReportedSyslogFailure = failure;
  // The port may be free now: a new server tries it, on a new thread.
  SyslogServer->SetActive(false);
  Intake.SyslogServerReplaced();
  SyslogServer->SetActive(true);
}

void TServiceIntakes::ReloadTls() {
  if (SyslogTcpServer && Config.SyslogTlsPort != 0)
    if (auto context = LoadTls(true)) SyslogTcpServer->SetTlsContext(std::move(context));
}

bool TServiceIntakes::PreparePorts(const TServiceConfig& next, std::string& problem,
                                   std::vector<std::string>& waiting) {
  DropPorts();
  const std::uint16_t wanted[2] = {next.SyslogTcpPort, next.SyslogTlsPort};
  const char* const names[2] = {"[Syslog] TcpPort", "[Syslog] TlsPort"};
  for (const bool tls : {false, true}) {
    const std::uint16_t now = tls ? Config.SyslogTlsPort : Config.SyslogTcpPort;
    if (wanted[tls] == now) continue;
    // Without a server on the loops, or a certificate for a TLS port, the
    // change waits for the next start.
    if (!SyslogTcpServer || (tls && wanted[tls] != 0 && !SyslogTcpServer->HasTls())) {
      waiting.push_back(names[tls]);
      continue;
    }
    int error = 0;
    PendingPorts[tls].Listener = SyslogTcpServer->ListenerFor(tls, wanted[tls], error);
    if (wanted[tls] != 0 && !PendingPorts[tls].Listener) {
      problem = std::string(names[tls]) + ": port " + std::to_string(wanted[tls]) + " cannot be bound: " +
                ErrorText(error);
      DropPorts();
      return false;
    }
    PendingPorts[tls].Set = true;
    PendingPorts[tls].Port = wanted[tls];
  }
  return true;
}

void TServiceIntakes::TakePorts() {
  for (const bool tls : {false, true}) {
    TPendingPort& pending = PendingPorts[tls];
    if (!pending.Set || !SyslogTcpServer) continue;
    SyslogTcpServer->TakeListener(tls, pending.Port, std::move(pending.Listener));
    pending = TPendingPort();
  }
}

void TServiceIntakes::DropPorts() {
  for (TPendingPort& pending : PendingPorts) {
    if (pending.Listener) pending.Listener->Stop();
    pending = TPendingPort();
  }
}

void TServiceIntakes::Stop() {
  DropPorts();
  if (TcpServer) {
    Log.Write(false, "STOPPING NET TPKT SERVER...");
    TcpServer.reset();
    Log.Write(false, "STOPPED NET TPKT SERVER...OK");
  }
  if (SyslogServer) {
    Log.Write(false, "STOPPING NET SYSLOG SERVER...");
    SyslogServer.reset();
    Log.Write(false, "STOPPED NET SYSLOG SERVER...OK");
  }
  SyslogTcpServer.reset();
  Loops.reset();
}

void TServiceIntakes::AddSources(TReportSources& sources) {
  sources.TcpServer = TcpServer.get();
  sources.SyslogServer = SyslogServer.get();
  sources.TcpCounters = &TcpCounters;
  sources.UdpCounters = &UdpCounters;
  sources.SyslogTcpServer = SyslogTcpServer.get();
  sources.SyslogTcpCounters = SyslogTcpServer ? &SyslogTcpCounters : nullptr;
  sources.Unfinished = &Unfinished;
  sources.Rates = &Rates;
}

}  // namespace logserver

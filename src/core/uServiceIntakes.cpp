#include "core/uServiceIntakes.h"

#include "core/uServiceText.h"
#include "platform/uProcess.h"
#include "platform/uTime.h"

#include <cerrno>

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
      Rates({config.MessagesPerSecond, config.BytesPerSecond, config.BurstSeconds}, UnlimitedSenders(config)) {}

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
  TcpServer->PerAddress = {Config.TpktMaxConnectionsPerAddress, 0, UnlimitedSenders(Config)};
  TcpServer->IdleSeconds = Config.TpktIdleSeconds;
  TcpServer->Unfinished = &Unfinished;
  TcpServer->Rates = &Rates;
  TcpServer->SetIPAddress(Config.ListenAddress);
  TcpServer->SetIPPort(Config.ServicePort);
  TcpServer->SetActive(true);
}

TAddressList TServiceIntakes::UnlimitedSenders(const TServiceConfig& config) {
  TAddressList list;
  list.Parse(config.UnlimitedSenders);  // a list the reader refused is empty here
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

std::shared_ptr<TTlsContext> TServiceIntakes::LoadTls(const TServiceConfig& config, bool reload) {
  std::string error;
  std::shared_ptr<TTlsContext> context =
      TTlsContext::Load(config.TlsCertificate, config.TlsKey, config.TlsClientCA, error);
  if (context) {
    if (reload) Log.Write(false, "TLS CERTIFICATE RELOADED");
    return context;
  }
  const std::string text = reload ? "TLS CERTIFICATE NOT RELOADED: " + error + " (the one in use stays)"
                                  : "TLS PORT " + std::to_string(config.SyslogTlsPort) + " OFF: " + error +
                                        " (tried again at SIGHUP)";
  Log.Write(false, text);
  ReportProblem(text);
  return nullptr;
}

void TServiceIntakes::StartSyslogTcp() {
  if (Config.SyslogTcpPort == 0 && Config.SyslogTlsPort == 0) return;
  SyslogTcpServer = MakeSyslogServer(Config);
}

std::unique_ptr<TSyslogStreamServer> TServiceIntakes::MakeSyslogServer(const TServiceConfig& config) {
  TSyslogStreamServer::TSetup setup;
  setup.Address = config.ListenAddress;
  setup.TcpPort = config.SyslogTcpPort;
  setup.TlsPort = config.SyslogTlsPort;
  setup.MaxConnections = config.SyslogMaxConnections;
  setup.PerAddress = {config.MaxConnectionsPerAddress, config.MaxHandshakesPerAddress, UnlimitedSenders(config)};
  setup.IdleSeconds = config.SyslogIdleSeconds;
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
  return TSyslogStreamServer::Create(setup, config.SyslogTlsPort != 0 ? LoadTls(config, false) : nullptr);
}

void TServiceIntakes::Supervise() {
  // A listener bound, made anew or stopped waits for its loop, which must
  // not wait for room in the queue meanwhile.
  const TLoopWaitScope loopWait(Intake.QueueOf());
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
  const TLoopWaitScope loopWait(Intake.QueueOf());
  if (SyslogTcpServer && Config.SyslogTlsPort != 0)
    if (auto context = LoadTls(Config, true)) SyslogTcpServer->SetTlsContext(std::move(context));
}

namespace {

std::string BindProblem(const char* setting, const std::string& address, std::uint16_t port, int error,
                        bool samePort) {
  std::string text = std::string(setting) + ": port " + std::to_string(port) + (samePort ? " on " + address : "") +
                     " cannot be bound: " + ErrorText(error);
  // The socket in use holds the port on the old address.
  if (samePort && error == EADDRINUSE) text += " (the service holds it on the old address: that takes a restart)";
  return text;
}

}  // namespace

bool TServiceIntakes::PreparePorts(const TServiceConfig& next, std::string& problem) {
  const TLoopWaitScope loopWait(Intake.QueueOf());
  ReleasePending();
  const std::string& address = next.ListenAddress;
  const bool moved = address != Config.ListenAddress;
  Pending.Address = address;
  const auto refuse = [&](const char* setting, std::uint16_t port, int error, bool samePort) {
    problem = BindProblem(samePort ? "[Syslog] ListenAddress" : setting, address, port, error, samePort);
    ReleasePending();
    return false;
  };
  if (TcpServer && (moved || next.ServicePort != Config.ServicePort)) {
    Pending.Set[0] = true;
    Pending.Ports[0] = next.ServicePort;
    if (TCustomTCPServer* server = TcpServer->Listener()) {
      int error = 0;
      Pending.Tpkt = server->ListenerFor(address, next.ServicePort, error);
      if (!Pending.Tpkt) return refuse("[Common] ServicePort", next.ServicePort, error, next.ServicePort == Config.ServicePort);
    }
  }
  if (SyslogServer && (moved || next.SysLogPort != Config.SysLogPort)) {
    int error = 0;
    Pending.Udp = tUDPServer::Bind(address, next.SysLogPort, error);
    if (!Pending.Udp) return refuse("[Common] SysLogPort", next.SysLogPort, error, next.SysLogPort == Config.SysLogPort);
    Pending.Set[1] = true;
    Pending.Ports[1] = next.SysLogPort;
  }
  const std::uint16_t wanted[2] = {next.SyslogTcpPort, next.SyslogTlsPort};
  if (!SyslogTcpServer) {
    if (wanted[0] == 0 && wanted[1] == 0) return true;
    // Syslog over TCP begins: a server of its own, whose ports must listen.
    Pending.NewSyslogServer = MakeSyslogServer(next);
    for (const bool tls : {false, true}) {
      if (wanted[tls] == 0 || Pending.NewSyslogServer->Listening(tls)) continue;
      return refuse(tls ? "[Syslog] TlsPort" : "[Syslog] TcpPort", wanted[tls],
                    Pending.NewSyslogServer->BindError(tls), false);
    }
    return true;
  }
  for (const bool tls : {false, true}) {
    const std::uint16_t now = SyslogTcpServer->Port(tls);
    if (wanted[tls] == now && (!moved || now == 0)) continue;
    Pending.Set[2 + tls] = true;
    Pending.Ports[2 + tls] = wanted[tls];
    // A TLS port without a certificate yet listens once SIGHUP brings one.
    if (tls && !SyslogTcpServer->HasTls()) continue;
    int error = 0;
    Pending.Syslog[tls] = SyslogTcpServer->ListenerFor(tls, address, wanted[tls], error);
    if (wanted[tls] != 0 && !Pending.Syslog[tls])
      return refuse(tls ? "[Syslog] TlsPort" : "[Syslog] TcpPort", wanted[tls], error, wanted[tls] == now);
  }
  return true;
}

void TServiceIntakes::TakePorts() {
  const TLoopWaitScope loopWait(Intake.QueueOf());
  if (Pending.Set[0]) {
    TcpServer->SetIPAddress(Pending.Address);
    TcpServer->SetIPPort(Pending.Ports[0]);
    if (Pending.Tpkt) TcpServer->Listener()->TakeListener(std::move(Pending.Tpkt));
  }
  if (Pending.Set[1]) {
    // Datagrams to the new port wait in its buffer while the old one hands
    // on what it holds.
    SyslogServer->MoveTo(Pending.Address, Pending.Ports[1], std::move(Pending.Udp),
                         [this] { Intake.SyslogServerReplaced(); });
    ReportedSyslogFailure = 0;
  }
  if (Pending.NewSyslogServer) SyslogTcpServer = std::move(Pending.NewSyslogServer);
  for (const bool tls : {false, true})
    if (Pending.Set[2 + tls] && SyslogTcpServer)
      SyslogTcpServer->TakeListener(tls, Pending.Address, Pending.Ports[2 + tls], std::move(Pending.Syslog[tls]));
  Pending = TPendingPorts();
}

void TServiceIntakes::DropPorts() {
  const TLoopWaitScope loopWait(Intake.QueueOf());
  ReleasePending();
}

void TServiceIntakes::ReleasePending() {
  if (Pending.Tpkt) Pending.Tpkt->Stop();
  for (auto& listener : Pending.Syslog)
    if (listener) listener->Stop();
  Pending = TPendingPorts();
}

void TServiceIntakes::SetLimits() {
  const TAddressList unlimited = UnlimitedSenders(Config);
  Rates.SetLimits({Config.MessagesPerSecond, Config.BytesPerSecond, Config.BurstSeconds}, unlimited);
  Unfinished.SetLimit(Config.MaxUnfinishedBytes);
  if (TcpServer) {
    // The component keeps them for a listener made anew.
    TcpServer->PerAddress = {Config.TpktMaxConnectionsPerAddress, 0, unlimited};
    TcpServer->IdleSeconds = Config.TpktIdleSeconds;
    if (TCustomTCPServer* server = TcpServer->Listener())
      server->SetLimits(TcpServer->PerAddress, Config.TpktIdleSeconds);
  }
  if (SyslogTcpServer)
    SyslogTcpServer->SetLimits(Config.SyslogMaxConnections,
                               {Config.MaxConnectionsPerAddress, Config.MaxHandshakesPerAddress, unlimited},
                               Config.SyslogIdleSeconds);
}

void TServiceIntakes::Stop() {
  ReleasePending();
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
  sources.SyslogTcpCounters = &SyslogTcpCounters;
  sources.Unfinished = &Unfinished;
  sources.Rates = &Rates;
}

}  // namespace logserver

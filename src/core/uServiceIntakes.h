// The service's intakes as one part: the event loops and the servers on
// them (TPKT; syslog over TCP and TLS), the UDP server, and the counters
// they keep; started from the configuration, supervised from the main
// loop, stopped in order. Their handlers go straight to the intake.
//
// Threading: every operation on the main thread; the servers run on their
// own threads (the loops, ls-udp). Ownership: the configuration, the
// intake, the service log, the failure counter and the buffer pool are
// lent and outlive it; the pool also outlives the queue elements whose
// buffers come from it.
#pragma once

#include "core/uMessageIntake.h"
#include "core/uServiceConfig.h"
#include "core/uServiceCounters.h"
#include "core/uServiceLog.h"
#include "net/uEventLoop.h"
#include "net/uIPServer.h"
#include "net/uSenderRates.h"
#include "net/uSyslogStreamServer.h"
#include "net/uUnfinishedBytes.h"
#include "platform/uBufferPool.h"
#include "platform/uCaughtFailures.h"
#include "platform/uTls.h"

#include <memory>
#include <string>
#include <vector>

namespace logserver {

class TServiceIntakes {
 public:
  TServiceIntakes(const TServiceConfig& config, TMessageIntake& intake, TServiceLog& log,
                  TCaughtFailures& failures, TBufferPool& buffers);
  ~TServiceIntakes() { Stop(); }
  TServiceIntakes(const TServiceIntakes&) = delete;
  TServiceIntakes& operator=(const TServiceIntakes&) = delete;

  // The loops, the TPKT and UDP servers, and syslog over TCP and TLS when
  // [Syslog] names their ports (a TLS port without a usable certificate is
  // reported and stays off until SIGHUP).
  void Start();
  // About every three seconds: senders that began or ended being rate
  // limited told, keep-alives to the TPKT clients, a TCP port
  // that could not be bound named once (its listener tries it again every
  // second), and the UDP server made anew while its port cannot be bound.
  void Supervise();
  // SIGHUP: the TLS certificate, key and client CA again; the ones in use
  // stay when the new ones cannot be used.
  void ReloadTls();
  // A reload's syslog TCP and TLS ports: the new ones bound beside the ones
  // in use (false, `problem` set, when one cannot be); `waiting` names the
  // changes that need a restart (no syslog server yet, or no TLS context).
  // TakePorts then puts them in place; DropPorts lets them go.
  bool PreparePorts(const TServiceConfig& next, std::string& problem, std::vector<std::string>& waiting);
  void TakePorts();
  void DropPorts();
  // A reload's rate limits, for the next read or datagram.
  void SetRateLimits(const TRateLimits& limits) { Rates.SetLimits(limits); }
  // Stops each server, the TPKT and UDP ones between their service-log
  // lines, then the loops; no handler runs once it returns. Idempotent.
  void Stop();
  bool Running() const { return TcpServer != nullptr || SyslogServer != nullptr; }
  // The servers and counters the reports read (null once stopped).
  void AddSources(TReportSources& sources);

 private:
  std::shared_ptr<TTlsContext> LoadTls(bool reload);
  TAddressList UnlimitedSenders() const;
  void StartTpkt();
  void StartUdp();
  void StartSyslogTcp();
  void SuperviseUdp();

  const TServiceConfig& Config;
  TMessageIntake& Intake;
  TServiceLog& Log;
  TCaughtFailures& Failures;
  TBufferPool& Buffers;
  TServerCounters TcpCounters;
  TServerCounters UdpCounters;
  TSyslogStreamCounters SyslogTcpCounters;
  // Shared by every stream connection; outlives the servers.
  TUnfinishedBytes Unfinished;
  std::uint64_t StalledSeen = 0;
  // Every sender's allowance ([Senders] MessagesPerSecond, BytesPerSecond);
  // outlives the servers.
  TSenderRates Rates;
  // The loops outlive the servers that register with them.
  std::unique_ptr<TEventLoops> Loops;
  std::unique_ptr<TTCPServerComponent> TcpServer;
  std::unique_ptr<TUDPServerComponent> SyslogServer;
  std::unique_ptr<TSyslogStreamServer> SyslogTcpServer;  // with [Syslog] TcpPort or TlsPort
  // The failures last reported, so that a failing port is named once per
  // failure code rather than at every check.
  int ReportedListenFailure = 0;
  // A reload's listeners, bound and not yet in place.
  struct TPendingPort {
    bool Set = false;
    std::uint16_t Port = 0;
    std::unique_ptr<TListener> Listener;
  };
  TPendingPort PendingPorts[2];
  int ReportedSyslogFailure = 0;
};

}  // namespace logserver

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
  // A reload's listeners: every port whose address or port changed
  // (TPKT, UDP, syslog TCP and TLS) bound beside the one in use, a syslog
  // server made when one is wanted and none runs (false, `problem` set,
  // when one cannot listen). TakePorts then puts them in place, each old
  // one closing after (the UDP one once it handed on what waits in its
  // socket); DropPorts lets them go. Ports unchanged keep their sockets.
  bool PreparePorts(const TServiceConfig& next, std::string& problem);
  void TakePorts();
  void DropPorts();
  // A reload's caps, idle times and rate limits, for the next connection,
  // read or datagram; an open connection is not closed for them.
  void SetLimits();
  // Stops each server, the TPKT and UDP ones between their service-log
  // lines, then the loops; no handler runs once it returns. Idempotent.
  void Stop();
  bool Running() const { return TcpServer != nullptr || SyslogServer != nullptr; }
  // The servers and counters the reports read (null once stopped).
  void AddSources(TReportSources& sources);

 private:
  std::shared_ptr<TTlsContext> LoadTls(const TServiceConfig& config, bool reload);
  static TAddressList UnlimitedSenders(const TServiceConfig& config);
  std::unique_ptr<TSyslogStreamServer> MakeSyslogServer(const TServiceConfig& config);
  void StartTpkt();
  void StartUdp();
  void StartSyslogTcp();
  void SuperviseUdp();
  // DropPorts without the queue's bounds lifted: from PreparePorts, which
  // lifted them, and from Stop, when the queue may be gone.
  void ReleasePending();

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
  struct TPendingPorts {
    std::string Address;
    std::uint16_t Ports[4] = {};  // TPKT, UDP, syslog TCP, syslog TLS
    bool Set[4] = {};
    std::unique_ptr<TListener> Tpkt;
    TDescriptor Udp;
    std::unique_ptr<TListener> Syslog[2];
    std::unique_ptr<TSyslogStreamServer> NewSyslogServer;  // none ran
  };
  TPendingPorts Pending;
  int ReportedSyslogFailure = 0;
};

}  // namespace logserver

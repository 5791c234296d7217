// The service's settings: LogServer.conf, read once at start into one value
// and written back with the values in effect.
//
// Reading also tells what it had to decide on the operator's behalf: every
// value that falls back to its default or is changed, with its line and
// what is used instead. The service prints these at start; --check-config
// prints them (and what a write-back would add) without starting.
#pragma once

#include "base/uIniFile.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace logserver {

// No configuration needs more; a larger file is not read.
constexpr std::size_t kMaxConfigBytes = 16u << 20;

// The configuration cannot be read or written back: start-up ends.
class EConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// [Common] with its defaults (BaseCatalog's default depends on where the
// executable is), the [Providers] entries in file order, and the sections
// the service adds ([Metrics]).
struct TServiceConfig {
  std::uint16_t ServicePort = 30000;
  std::uint16_t SysLogPort = 514;
  std::int32_t RunMode = 0;
  std::int32_t LogMode = 1;
  std::string BaseCatalog;
  bool ModuleNameAsFilePrefix = true;
  std::string TimePlacementMask = "yyyy_mm_dd";
  TIniEntries Providers;
  // [Metrics] Listen: "address:port" of the /metrics endpoint; empty: off.
  // A bare ":port" means loopback.
  std::string MetricsListen;
  // [Files]: the modes new log files and directories get (the umask may
  // take away from them).
  unsigned FileMode = 0640;
  // [Files] SpreadSenders: the base directory is marked so that the file
  // system spreads the senders' directories over the disk.
  bool SpreadSenders = true;
  unsigned DirectoryMode = 0750;
  // [Senders]: a sender (address and port) silent this long is forgotten
  // (its routes and producers; its files stay), at most MaxSenders are
  // remembered (the longest silent go first), and one sender address may
  // make NewPathsAtOnce new files and directories, and NewPathsPerSecond
  // more a second up to that.
  std::uint32_t SenderIdleSeconds = 600;
  std::uint32_t MaxSenders = 20000;
  std::uint32_t NewPathsPerSecond = 50;
  std::uint32_t NewPathsAtOnce = 40000;
  // [Senders] NewPathsPerSecondTotal: what all senders together may create,
  // a second, up to NewPathsAtOnce (0: no bound); beyond, messages go to
  // one overflow file shared by all.
  std::uint32_t NewPathsPerSecondTotal = 2000;
  // [Senders]: what one address may hold at once on the syslog TCP and TLS
  // ports (0: no bound): connections, and TLS handshakes not finished.
  std::uint32_t MaxConnectionsPerAddress = 64;
  std::uint32_t MaxHandshakesPerAddress = 8;
  // [Senders] MaxUnfinishedBytes: what all stream connections together may
  // hold of messages begun and not ended (0: no bound); beyond, the ones
  // stalled longest inside a message are closed.
  std::uint32_t MaxUnfinishedBytes = 16 * 1024 * 1024;
  // [Senders]: what one sender address may send a second (0: no limit),
  // with a burst of BurstSeconds' worth; beyond, its stream connections are
  // read more slowly and its datagrams dropped.
  std::uint32_t MessagesPerSecond = 0;
  std::uint32_t BytesPerSecond = 0;
  std::uint32_t BurstSeconds = 2;
  // [Senders] Unlimited: addresses and CIDR prefixes (relays the operator
  // trusts) no per-address cap or rate limit applies to.
  std::string UnlimitedSenders;
  // [Tpkt]: what one address may hold at once on the TPKT port (0: no
  // bound; client libraries connect once per process, so a host may hold
  // many), and how long a TPKT client may send nothing before it is closed
  // (0: never; a client learns of the close only by losing the record it
  // writes next, as the protocol has no answers).
  std::uint32_t TpktMaxConnectionsPerAddress = 4096;
  std::uint32_t TpktIdleSeconds = 0;
  // [Syslog]: syslog over TCP on this port (0: off), at most MaxConnections
  // connections at a time.
  std::uint16_t SyslogTcpPort = 0;
  std::uint32_t SyslogMaxConnections = 10000;
  // [Syslog] IdleSeconds: a syslog TCP or TLS connection that sent nothing
  // for this long is closed (0: never).
  std::uint32_t SyslogIdleSeconds = 3600;
  // [Syslog] PathBy=hostname: a syslog message goes below the HOSTNAME of
  // its header where it has a usable one, instead of its sender's address.
  bool SyslogPathByHostname = false;
  // [Syslog] ListenAddress: where every listener binds (the TPKT port
  // too); "::" is dual-stack, IPv4 senders keeping their IPv4 address.
  std::string ListenAddress = "0.0.0.0";
  // [Syslog] TLS: port (0: off), the server's certificate (chain) and key
  // files, and a CA whose certificates clients must show (empty: none
  // asked for).
  std::uint16_t SyslogTlsPort = 0;
  std::string TlsCertificate;
  std::string TlsKey;
  std::string TlsClientCA;
  // [Stream]: every message also goes to this NATS JetStream stream
  // (Servers empty: off); Files=0 writes no local tree then. The spool
  // directory defaults to "0.0.0.0/.stream-spool" in BaseCatalog.
  std::string StreamServers;
  std::string StreamName = "LOGS";
  std::string StreamSubject = "logs";
  std::uint32_t StreamReplicas = 1;
  bool StreamFiles = true;
  std::string StreamCredentials;
  std::string StreamTlsCA;
  std::string StreamSpoolDirectory;
  // Where earlier versions kept the default spool (taken over when found).
  std::string StreamFormerSpoolDirectory;
  std::uint32_t StreamSpoolMaxMiB = 1024;
  // Batch bodies compressed with zstd (none: plain frames).
  bool StreamCompress = true;
};

// What one reading of the configuration decided on the operator's behalf.
struct TConfigFindings {
  // "line N: ..." for every value that falls back or is changed, every key
  // that is ignored, in file order.
  std::vector<std::string> Problems;
  // What a write-back would add or change (keys missing, values written
  // anew, a missing file).
  std::vector<std::string> Rewrites;
  // Why the file was not written back when it should have been: it may not
  // be written (EACCES, EPERM, EROFS). Empty when it was, or needed not be.
  std::string WriteBackRefused;
};

// Settings from the text of a configuration (nothing is written), the text
// they would be written back as, and what was decided. With
// `checkNamedFiles` the files and directories the settings name are checked
// too (read, never changed), as the service would use them.
TServiceConfig ParseServiceConfig(const std::string& text, const std::string& executableDirectory,
                                  std::string& writtenBack, TConfigFindings& findings,
                                  bool checkNamedFiles = false);

// Reads `configPath` (a missing file reads as empty) and writes [Common]
// back with the values in effect, SysLogPort excepted, keeping every other
// line: atomically, and only when the bytes change. Malformed values fall
// back to their defaults (`findings` says which). A file this process may
// not write is used as it is (`findings` says so and what a write-back would
// change). Throws EConfigError when the file cannot be read, or cannot be
// written for another reason; a failed write leaves the old file as it was.
TServiceConfig ReadServiceConfig(const std::string& configPath,
                                 const std::string& executableDirectory,
                                 TConfigFindings* findings = nullptr);

// Reads `configPath` and says what the service would decide, writing
// nothing. True when it would start with the file as it is: no problem and
// nothing to write back. Throws EConfigError when the file cannot be read.
// `parsed`, when given, receives the settings it would use.
bool CheckServiceConfig(const std::string& configPath, const std::string& executableDirectory,
                        TConfigFindings& findings, TServiceConfig* parsed = nullptr);

}  // namespace logserver

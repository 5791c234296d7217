// Syslog over TCP against the real LogServer: util-linux logger and rsyslog
// as senders, both framings, and what a hostile client may send.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/Certificates.h"
#include "support/Rsyslog.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <netinet/in.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <vector>

using namespace logserver;
using namespace testing_support;

namespace {

class SyslogTcpTest : public ::testing::Test {
 protected:
  void StartService(const std::string& syslogLines = std::string()) {
    port = FreeTcpPort();
    service.WriteConfig("LogMode=0\n", "[Syslog]\nTcpPort=" + std::to_string(port) + "\n" + syslogLines);
    service.Start();
    ASSERT_TRUE(service.WaitUntilServing());
    ASSERT_NE(service.Stderr().find(", syslog TCP port " + std::to_string(port) + " listening"),
              std::string::npos)
        << service.Stderr();
  }
  void StopService() { ExpectOrderlyStop(service); }
  std::string Stored() const { return JoinedFilesBelow(service.LogsDir() + "127.0.0.1/SYSLOG/syslog/"); }
  bool WaitStored(const std::string& text, int timeoutMs = 15000) const {
    return WaitUntil([&] { return Stored().find(text) != std::string::npos; }, timeoutMs);
  }
  // Starts the service with TLS on a port of its own; returns the port.
  std::uint16_t StartServiceWithTls(const std::string& certificate, const std::string& key) {
    const std::uint16_t tls = FreeTcpPort();
    StartService("TlsPort=" + std::to_string(tls) + "\nTlsCertificate=" + certificate + "\nTlsKey=" + key + "\n");
    return tls;
  }
  // "<13>tag: message i" for i in [from, to), to a forwarder's UDP input.
  static void SendNumbered(std::uint16_t input, int from, int to) {
    TDescriptor udp = SocketConnectDatagram("127.0.0.1", input);
    for (int i = from; i < to; ++i) {
      const std::string datagram = "<13>tag: message " + std::to_string(i);
      ASSERT_GT(SocketWrite(udp.Get(), datagram.data(), datagram.size()), 0);
    }
  }
  // Every stored line is "<13>MARK message i" for one of `marks`, each mark's
  // numbers in order from 0; returns how many each mark had.
  std::vector<int> NumberedByMark(const std::vector<std::string>& marks) const {
    std::vector<int> next(marks.size(), 0);
    for (const std::string& line : SplitCrLf(Stored())) {
      std::size_t mark = 0;
      while (mark < marks.size() && line.rfind("<13>" + marks[mark] + " message ", 0) != 0) ++mark;
      if (mark == marks.size()) {
        ADD_FAILURE() << line;
        continue;
      }
      EXPECT_EQ(line.substr(4 + marks[mark].size() + 9), std::to_string(next[mark]++)) << line;
    }
    return next;
  }
  // Sends `bytes` on a connection of its own, closed after.
  void Send(const std::string& bytes, const std::string& from = "127.0.0.1") const {
    TDescriptor fd = SocketConnect(from, port);
    ASSERT_TRUE(fd.Valid());
    ASSERT_TRUE(SocketWriteAll(fd.Get(), bytes.data(), bytes.size()));
  }
  // Whether the service closes `fd` within seconds (reading what it sends).
  static bool ClosedByService(int fd) {
    return WaitUntil([&] {
      bool readable = false, writable = false;
      char byte;
      return SocketWait(fd, true, false, 100, readable, writable) > 0 && readable &&
             SocketRead(fd, &byte, 1) <= 0;
    });
  }

  TServiceProcess service;
  std::uint16_t port = 0;
};

}  // namespace

TEST_F(SyslogTcpTest, BothFramingsAreStoredAsDatagramsAreAndTheSystemLoggerIsUnderstood) {
  // Stored by the HOSTNAME of their header where they have one.
  StartService("PathBy=hostname\n");
  // Octet counting and LF framing in one stream, CR LF and NUL as ends,
  // then a second connection whose last line ends with the connection.
  Send("15 <13>counted one6 <13>xy<13>lf line\r\n");
  ASSERT_TRUE(WaitStored("<13>lf line\r\n"));
  Send(std::string("<13>nul") + '\0' + "<13>last without LF");
  ASSERT_TRUE(WaitStored("<13>last without LF\r\n"));
  EXPECT_EQ(Stored(), "<13>counted one\r\n<13>xy\r\n<13>lf line\r\n<13>nul\r\n<13>last without LF\r\n");
  // A host named as the service's own directory goes by its sender.
  const std::string own = "<13>1 2026-12-10T10:00:00Z 0.0.0.0 app - - - names the service's own directory";
  Send(own + "\n");
  ASSERT_TRUE(WaitStored(own + "\r\n"));
  for (const std::string& path : FilesBelow(service.LogsDir() + "0.0.0.0/"))
    EXPECT_EQ(ReadFile(path).find("names the service's own directory"), std::string::npos) << path;

  if (std::system("command -v logger >/dev/null 2>&1") != 0) GTEST_SKIP() << "logger is not installed";
  const std::string logger = "logger -T -n 127.0.0.1 -P " + std::to_string(port) + " --rfc3164 ";
  ASSERT_EQ(std::system((logger + "-t lf 'sent with LF framing'").c_str()), 0);
  ASSERT_EQ(std::system((logger + "--octet-count -t oc 'sent octet-counted'").c_str()), 0);
  // "<13>Mmm dd hh:mm:ss HOSTNAME ...": below the name the logger gave.
  std::string hostname;
  ASSERT_TRUE(WaitUntil([&] {
    for (const std::string& path : FilesBelow(service.LogsDir())) {
      const std::string text = ReadFile(path);
      if (text.find(" oc: sent octet-counted\r\n") == std::string::npos) continue;
      hostname = text.substr(20, text.find(' ', 20) - 20);
      return path.rfind(service.LogsDir() + hostname + "/SYSLOG/syslog/", 0) == 0 &&
             text.find(" lf: sent with LF framing\r\n") != std::string::npos;
    }
    return false;
  })) << hostname;
  StopService();
}

TEST_F(SyslogTcpTest, RsyslogForwardsWithBothFramingsAndLosesNothingAcrossItsRestart) {
  if (!TRsyslog::Installed()) GTEST_SKIP() << "rsyslog is not installed";
  StartService();
  const std::uint16_t input = FreeUdpPort();
  auto action = [&](const char* framing, const char* mark) {
    return "template(name=\"" + std::string(mark) + "\" type=\"string\" string=\"<%PRI%>" + mark +
           " %msg:2:$%\")\n"
           "action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" + std::to_string(port) +
           "\" protocol=\"tcp\" TCP_Framing=\"" + framing + "\" template=\"" + mark +
           "\" action.resumeRetryCount=\"-1\" queue.type=\"LinkedList\")\n";
  };
  TRsyslog forwarder("module(load=\"imudp\")\ninput(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
                     std::to_string(input) + "\")\n" + action("octet-counted", "oc") +
                     action("traditional", "lf"));
  ASSERT_TRUE(forwarder.Start()) << forwarder.Errors();
  SendNumbered(input, 0, 50);
  ASSERT_TRUE(WaitStored("<13>lf message 49\r\n"));
  forwarder.Stop();  // its connections end; a new forwarder connects anew
  ASSERT_TRUE(forwarder.Start()) << forwarder.Errors();
  SendNumbered(input, 50, 100);
  ASSERT_TRUE(WaitStored("<13>oc message 99\r\n"));
  ASSERT_TRUE(WaitStored("<13>lf message 99\r\n"));
  EXPECT_EQ(NumberedByMark({"oc", "lf"}), (std::vector<int>{100, 100}));
  StopService();
}

TEST_F(SyslogTcpTest, HostileStreamsCloseOnlyTheirOwnConnectionAndAreCounted) {
  const std::uint16_t metricsPort = FreeTcpPort();
  StartService("MaxConnections=20\n[Senders]\nMaxUnfinishedBytes=20000\n[Metrics]\nListen=127.0.0.1:" +
               std::to_string(metricsPort) + "\n");
  // A claimed length of a gigabyte, a count cut off by the end, no space.
  for (const std::string& bytes : {std::string("999999999 <13>x"), std::string("12"), std::string("12x")}) {
    TDescriptor fd = SocketConnect("127.0.0.1", port);
    ASSERT_TRUE(fd.Valid());
    ASSERT_TRUE(SocketWriteAll(fd.Get(), bytes.data(), bytes.size()));
    if (bytes == "12") SocketShutdownWrite(fd.Get());
    EXPECT_TRUE(ClosedByService(fd.Get())) << bytes;
  }
  // A megabyte without a line end: cut to 8192 bytes, the rest dropped.
  Send("<13>" + std::string(1 << 20, 'a') + "\n<13>after\n");
  ASSERT_TRUE(WaitStored("<13>after\r\n"));
  EXPECT_EQ(Stored(), "<13>" + std::string(8188, 'a') + "\r\n<13>after\r\n");
  // Beyond the bound a connection is closed at once; the others stay. (The
  // sender above must be gone first: on a busy machine its end may be read
  // after its last line was stored, and it would hold a place.)
  ASSERT_TRUE(WaitUntil([&] { return StatisticsCount(service.RequestStatistics(), "syslog-tcp connections=") == 0; }));
  std::vector<TDescriptor> held;
  for (int i = 0; i < 20; ++i) held.push_back(SocketConnect("127.0.0.1", port));
  ASSERT_TRUE(WaitUntil([&] { return StatisticsCount(service.RequestStatistics(), "syslog-tcp connections=") == 20; }));
  for (int i = 0; i < 5; ++i) {
    TDescriptor extra = SocketConnect("127.0.0.1", port);
    ASSERT_TRUE(extra.Valid());
    EXPECT_TRUE(ClosedByService(extra.Get()));
  }
  const std::string held0 = "<13>still served\n";
  ASSERT_TRUE(SocketWriteAll(held[0].Get(), held0.data(), held0.size()));
  ASSERT_TRUE(WaitStored("<13>still served\r\n"));
  const std::string statistics = service.RequestStatistics();
  EXPECT_EQ(StatisticsCount(statistics, " framing-errors="), 3) << statistics;
  EXPECT_EQ(StatisticsCount(statistics, " refused="), 5) << statistics;
  EXPECT_EQ(StatisticsCount(statistics, " cut="), 1) << statistics;
  EXPECT_EQ(StatisticsCount(statistics, " syslog-tcp="), 3) << statistics;
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("SYSLOG TCP: ") != std::string::npos; }));
  EXPECT_NE(service.Stderr().find("connections closed for broken framing (last 127.0.0.1:"), std::string::npos)
      << service.Stderr();
  held.clear();
  ASSERT_TRUE(WaitUntil([&] { return StatisticsCount(service.RequestStatistics(), "syslog-tcp connections=") == 0; }));

  // Senders stopped inside a message: a TPKT frame and two syslog
  // messages, 8,000 bytes each. Past MaxUnfinishedBytes the one stalled
  // longest goes (whatever its intake), and only as many as needed.
  // Each is held before the next begins, so that their order is known.
  const auto unfinished = [&] {
    std::string metrics;
    if (HttpGet(metricsPort, "/metrics", metrics) != 200) return -1L;
    const std::size_t at = metrics.find("\nlogserver_unfinished_bytes ");
    return at == std::string::npos ? -1L : std::atol(metrics.c_str() + at + 28);
  };
  const std::string body(7996, 's');
  TDescriptor tpkt = SocketConnect("127.0.0.1", service.ServicePort());
  const std::string frame = std::string("\x03\x00\x40\x00", 4) + body;  // claims 16,384 bytes
  ASSERT_TRUE(SocketWriteAll(tpkt.Get(), frame.data(), frame.size()));
  ASSERT_TRUE(WaitUntil([&] { return unfinished() == 8000; })) << unfinished();
  std::vector<TDescriptor> stalled;
  for (int i = 0; i < 2; ++i) {
    stalled.push_back(SocketConnect("127.0.0.1", port));
    const std::string begun = "<13>" + std::to_string(i) + body.substr(1);
    ASSERT_TRUE(SocketWriteAll(stalled.back().Get(), begun.data(), begun.size()));
    if (i == 0) {
      ASSERT_TRUE(WaitUntil([&] { return unfinished() == 16000; })) << unfinished();
    }
  }
  EXPECT_TRUE(ClosedByService(tpkt.Get()));
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("STALLED CONNECTIONS CLOSED: 1 (") != std::string::npos; }))
      << service.Stderr();
  EXPECT_EQ(unfinished(), 16000);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(SocketWriteAll(stalled[i].Get(), "\n", 1));
  EXPECT_TRUE(WaitUntil([&] { return SplitCrLf(Stored()).size() == 5; })) << Stored().size();
  EXPECT_NE(Stored().find("<13>0" + body.substr(1) + "\r\n"), std::string::npos);
  EXPECT_NE(Stored().find("<13>1" + body.substr(1) + "\r\n"), std::string::npos);
  stalled.clear();
  StopService();
}

TEST_F(SyslogTcpTest, DualStackStoresIPv6SendersByTheirAddressAndIPv4SendersAsBefore) {
  {
    TDescriptor probe = SocketCreateStreamFor("::1");
    if (!probe || SocketBindTo(probe.Get(), "::1", 0) != 0) GTEST_SKIP() << "no IPv6 loopback here";
  }
  StartService("ListenAddress=::\n");
  for (const std::string from : {"::1", "127.0.0.1"}) {
    Send("<13>TCP from " + from + "\n", from);
    TDescriptor udp = SocketConnectDatagram(from, service.SysLogPort());
    const std::string datagram = "<13>UDP from " + from;
    ASSERT_GT(SocketWrite(udp.Get(), datagram.data(), datagram.size()), 0);
    TLogClient client;
    ASSERT_TRUE(client.Connect(from, service.ServicePort()));
    ASSERT_TRUE(client.Send({"tpkt", "m", "", "TPKT from " + from, 0.0}));
    ASSERT_TRUE(client.Finish(5000));
  }
  auto stored = [&](const std::string& directory) { return JoinedFilesBelow(service.LogsDir() + directory); };
  ASSERT_TRUE(WaitUntil([&] {
    return SplitCrLf(stored("::1/SYSLOG/syslog/")).size() == 2 &&
           SplitCrLf(stored("127.0.0.1/SYSLOG/syslog/")).size() == 2 &&
           SplitCrLf(stored("::1/tpkt/m/")).size() == 1 && SplitCrLf(stored("127.0.0.1/tpkt/m/")).size() == 1;
  })) << stored("::1/SYSLOG/syslog/") << stored("127.0.0.1/SYSLOG/syslog/");
  EXPECT_NE(stored("::1/SYSLOG/syslog/").find("<13>UDP from ::1\r\n"), std::string::npos);
  EXPECT_NE(stored("::1/SYSLOG/syslog/").find("<13>TCP from ::1\r\n"), std::string::npos);
  EXPECT_NE(stored("127.0.0.1/SYSLOG/syslog/").find("<13>UDP from 127.0.0.1\r\n"), std::string::npos);
  EXPECT_EQ(SplitCrLf(stored("::1/tpkt/m/")), std::vector<std::string>{"TPKT from ::1"});
  for (const std::string& path : FilesBelow(service.LogsDir()))
    EXPECT_EQ(path.find("::ffff:"), std::string::npos) << path;
  StopService();
}

TEST_F(SyslogTcpTest, OneAddressCannotTakeEverySlotAndIdleConnectionsAreClosed) {
  StartService("MaxConnections=5\nIdleSeconds=2\n[Senders]\nMaxConnectionsPerAddress=3\n");
  std::vector<TDescriptor> held;
  for (int i = 0; i < 3; ++i) held.push_back(SocketConnect("127.0.0.1", port));
  ASSERT_TRUE(WaitUntil([&] { return StatisticsCount(service.RequestStatistics(), "syslog-tcp connections=") == 3; }));
  TDescriptor fourth = SocketConnect("127.0.0.1", port);
  ASSERT_TRUE(fourth.Valid());
  EXPECT_TRUE(ClosedByService(fourth.Get()));
  // Another address still gets in while the first holds its share.
  TDescriptor other = SocketCreateStream();
  ASSERT_EQ(SocketBindTo(other.Get(), "127.0.0.2", 0), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(other.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  const std::string text = "<13>from another address\n";
  ASSERT_TRUE(SocketWriteAll(other.Get(), text.data(), text.size()));
  ASSERT_TRUE(WaitUntil([&] {
    return JoinedFilesBelow(service.LogsDir() + "127.0.0.2/SYSLOG/syslog/") == "<13>from another address\r\n";
  }));
  // Two seconds without a byte, and the service lets them go.
  for (TDescriptor& fd : held) EXPECT_TRUE(ClosedByService(fd.Get()));
  EXPECT_TRUE(ClosedByService(other.Get()));
  // Reported at most once a minute: the refusal came first.
  EXPECT_TRUE(WaitUntil([&] {
    return service.Stderr().find("1 connections refused (their address held 3 connections") != std::string::npos;
  })) << service.Stderr();
  StopService();
}

TEST_F(SyslogTcpTest, RunningOutOfDescriptorsRestsTheListenerInsteadOfSpinning) {
  port = FreeTcpPort();
  service.WriteConfig("LogMode=0\n", "[Syslog]\nTcpPort=" + std::to_string(port) + "\n");
  service.Start(false, -1, /*descriptorLimit=*/64);
  ASSERT_TRUE(service.WaitUntilServing());
  // More connections than the service has descriptors: the rest wait in
  // the backlog while the listener rests.
  std::vector<TDescriptor> held;
  for (int i = 0; i < 80; ++i) held.push_back(SocketConnect("127.0.0.1", port));
  ASSERT_TRUE(WaitUntil([&] { return service.OpenDescriptors() >= 63; }));
  const double before = service.CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return std::chrono::steady_clock::now() - start > std::chrono::seconds(3); }, 5000));
  // A spinning loop would have used about the 3 s; resting, next to nothing.
  EXPECT_LT(service.CpuSeconds() - before, 1.0);
  // Once connections go, the waiting ones are served.
  held.erase(held.begin(), held.begin() + 40);
  const std::string text = "<13>served after the rest\n";
  ASSERT_TRUE(SocketWriteAll(held.back().Get(), text.data(), text.size()));
  EXPECT_TRUE(WaitStored("<13>served after the rest\r\n"));
  held.clear();
  StopService();
}


TEST_F(SyslogTcpTest, TlsCarriesBothFramingsChecksClientsAndTakesNewCertificatesAndPortsOnSighup) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
  TCertificates certificates;
  ASSERT_TRUE(certificates.Make());
  const std::uint16_t tls = FreeTcpPort();
  WriteFile(certificates.Path("server-in-use.pem"), ReadFile(certificates.Path("server.pem")));
  WriteFile(certificates.Path("server-in-use.key"), ReadFile(certificates.Path("server.key")));
  StartService("TlsPort=" + std::to_string(tls) + "\nTlsCertificate=" + certificates.Path("server-in-use.pem") +
               "\nTlsKey=" + certificates.Path("server-in-use.key") + "\nTlsClientCA=" +
               certificates.Path("ca.pem") + "\n");
  ASSERT_NE(service.Stderr().find(", syslog TLS port " + std::to_string(tls) + " listening"), std::string::npos);
  // A connection that never shakes hands is dropped after 10 s.
  TDescriptor silent = SocketConnect("127.0.0.1", tls);
  ASSERT_TRUE(silent.Valid());

  EXPECT_NE(SendOverTls(tls, "15 <13>counted one<13>lf line\n", certificates, "client").find("CN = first"),
            std::string::npos);
  ASSERT_TRUE(WaitStored("<13>lf line\r\n"));
  EXPECT_EQ(Stored(), "<13>counted one\r\n<13>lf line\r\n");
  // No client certificate, or no TLS at all: no handshake, nothing stored.
  SendOverTls(tls, "<13>without a certificate\n", certificates);
  {
    TDescriptor plain = SocketConnect("127.0.0.1", tls);
    const std::string text = "<13>not TLS\n";
    ASSERT_TRUE(SocketWriteAll(plain.Get(), text.data(), text.size()));
    EXPECT_TRUE(ClosedByService(plain.Get()));
  }

  // Rotation: the new certificate for new connections after SIGHUP; one
  // that cannot be read keeps the one in use.
  WriteFile(certificates.Path("server-in-use.pem"), ReadFile(certificates.Path("rotated.pem")));
  WriteFile(certificates.Path("server-in-use.key"), ReadFile(certificates.Path("rotated.key")));
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(service.WaitForServiceLog("TLS CERTIFICATE RELOADED"));
  WriteFile(certificates.Path("server-in-use.pem"), "not a certificate");
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("TLS CERTIFICATE NOT RELOADED: ") != std::string::npos; }));
  EXPECT_NE(SendOverTls(tls, "<13>after the rotation\n", certificates, "client").find("CN = rotated"),
            std::string::npos);
  ASSERT_TRUE(WaitStored("<13>after the rotation\r\n"));
  EXPECT_EQ(Stored().find("without a certificate"), std::string::npos);
  // Other files named in the configuration are taken at the next SIGHUP.
  auto configure = [&](std::uint16_t tcp) {
    service.WriteConfig("LogMode=0\n", "[Syslog]\nTcpPort=" + std::to_string(tcp) + "\nTlsPort=" +
                                           std::to_string(tls) + "\nTlsCertificate=" + certificates.Path("server.pem") +
                                           "\nTlsKey=" + certificates.Path("server.key") +
                                           "\nTlsClientCA=" + certificates.Path("ca.pem") + "\n");
  };
  configure(port);
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(WaitUntil([&] {
    const std::string log = service.ServiceLog();
    return log.find("TLS CERTIFICATE RELOADED") != log.rfind("TLS CERTIFICATE RELOADED");
  }));
  EXPECT_NE(SendOverTls(tls, "<13>from the named files\n", certificates, "client").find("CN = first"),
            std::string::npos);
  ASSERT_TRUE(WaitStored("<13>from the named files\r\n"));
  // The TCP port moves: a port that cannot be bound refuses the reload; a
  // free one listens before the old one closes, and a connection made on
  // the old one goes on.
  TDescriptor kept = SocketConnect("127.0.0.1", port);
  ASSERT_TRUE(kept.Valid());
  const std::uint16_t busy = FreeTcpPort();
  TDescriptor blocker = SocketCreateStream();
  ASSERT_EQ(SocketBindTo(blocker.Get(), "0.0.0.0", busy), 0);
  ASSERT_EQ(SocketListen(blocker.Get(), 1), 0);
  configure(busy);
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(WaitUntil([&] {
    return service.Stderr().find("[Syslog] TcpPort: port " + std::to_string(busy) + " cannot be bound") !=
           std::string::npos;
  })) << service.Stderr();
  const std::uint16_t moved = FreeTcpPort();
  configure(moved);
  ASSERT_TRUE(service.Signal(SIGHUP));
  // The new port answers first; the old one closes right after.
  ASSERT_TRUE(WaitUntil([&] { return SocketConnect("127.0.0.1", moved).Valid(); }));
  EXPECT_TRUE(WaitUntil([&] { return !SocketConnect("127.0.0.1", port).Valid(); }));
  port = moved;
  Send("<13>on the new port\n");
  const std::string more = "<13>on the kept connection\n";
  ASSERT_TRUE(SocketWriteAll(kept.Get(), more.data(), more.size()));
  ASSERT_TRUE(WaitStored("<13>on the new port\r\n"));
  ASSERT_TRUE(WaitStored("<13>on the kept connection\r\n"));

  EXPECT_TRUE(ClosedByService(silent.Get()));
  const std::string statistics = service.RequestStatistics();
  EXPECT_EQ(StatisticsCount(statistics, " syslog-tls="), 4) << statistics;
  EXPECT_EQ(StatisticsCount(statistics, " failed-handshakes="), 3) << statistics;
  StopService();
}

// The example configurations the package installs pass the check as they
// stand, once their TLS files and base directory exist.
TEST(ExampleConfigurationTest, EveryExampleOfTheServicePassesTheCheck) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
  TCertificates certificates;
  ASSERT_TRUE(certificates.Make());
  for (const char* name : {"single-host", "tls-relay", "stream-collector"}) {
    SCOPED_TRACE(name);
    TServiceProcess service;
    std::string text = ReadFile(std::string(LOGSERVER_EXAMPLES) + name + ".conf");
    ASSERT_FALSE(text.empty());
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"/etc/logserver/tls/", certificates.Path("")},
                                   {"/var/log/logserver/", service.Dir() + "logs/"}})
      for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    service.WriteRawConfig(text);
    service.StartWith({"--check-config"});
    int status = -1;
    ASSERT_TRUE(service.WaitExit(status));
    EXPECT_EQ(status, 0) << service.Stdout();
    EXPECT_EQ(service.Stdout(), "");
  }
}

TEST_F(SyslogTcpTest, RsyslogForwardsOverTls) {
  if (!TRsyslog::Installed() || !Exists("/usr/lib/x86_64-linux-gnu/rsyslog/lmnsd_gtls.so"))
    GTEST_SKIP() << "rsyslog with its GnuTLS driver (rsyslog-gnutls) is not installed";
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
  TCertificates certificates;
  ASSERT_TRUE(certificates.Make());
  const std::uint16_t tls = StartServiceWithTls(certificates.Path("server.pem"), certificates.Path("server.key"));
  const std::uint16_t input = FreeUdpPort();
  TRsyslog forwarder("global(DefaultNetstreamDriverCAFile=\"" + certificates.Path("ca.pem") + "\")\n"
                     "module(load=\"imudp\")\ninput(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
                     std::to_string(input) + "\")\n"
                     "template(name=\"t\" type=\"string\" string=\"<%PRI%>tls %msg:2:$%\")\n"
                     "action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" + std::to_string(tls) +
                     "\" protocol=\"tcp\" StreamDriver=\"gtls\" StreamDriverMode=\"1\" "
                     "StreamDriverAuthMode=\"x509/certvalid\" TCP_Framing=\"octet-counted\" template=\"t\" "
                     "action.resumeRetryCount=\"-1\" queue.type=\"LinkedList\")\n");
  ASSERT_TRUE(forwarder.Start()) << forwarder.Errors();
  SendNumbered(input, 0, 100);
  ASSERT_TRUE(WaitStored("<13>tls message 99\r\n")) << forwarder.Errors();
  EXPECT_EQ(NumberedByMark({"tls"}), std::vector<int>{100});
  StopService();
}

// syslog-ng as the sender, over TCP (LF framing) and TLS. Debian's package
// conflicts with rsyslog, so it is unpacked beside it
// (`dpkg -x syslog-ng-core_*.deb DIR`) and named by SYSLOG_NG_ROOT.
TEST_F(SyslogTcpTest, SyslogNgForwardsOverTcpAndTls) {
  const char* root = std::getenv("SYSLOG_NG_ROOT");
  if (root == nullptr || !Exists(std::string(root) + "/usr/sbin/syslog-ng"))
    GTEST_SKIP() << "syslog-ng is not unpacked (set SYSLOG_NG_ROOT to the dpkg -x tree)";
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
  TCertificates certificates;
  ASSERT_TRUE(certificates.Make());
  const std::uint16_t tls = StartServiceWithTls(certificates.Path("server.pem"), certificates.Path("server.key"));
  const std::uint16_t input = FreeUdpPort();
  TTempDir work;
  auto destination = [&](const std::string& name, std::uint16_t to, const std::string& transport) {
    return "destination d_" + name + " { network(\"127.0.0.1\" port(" + std::to_string(to) + ") transport(\"" +
           transport + "\") template(\"<${PRI}>" + name + " ${MSG}\\n\")" +
           (transport == "tls" ? " tls(ca-file(\"" + certificates.Path("ca.pem") + "\") peer-verify(optional-untrusted))"
                               : std::string()) +
           "); };\n";
  };
  WriteFile(work.Path() + "syslog-ng.conf",
            "@version: 3.38\noptions { use-dns(no); dns-cache(no); stats-freq(0); };\n"
            "source s_in { network(ip(\"127.0.0.1\") port(" + std::to_string(input) + ") transport(\"udp\")); };\n" +
                destination("tcp", port, "tcp") + destination("tls", tls, "tls") +
                "log { source(s_in); destination(d_tcp); destination(d_tls); };\n");
  const std::string modules = std::string(root) + "/usr/lib/syslog-ng";
  TChildProcess syslogNg;
  syslogNg.SetEnvironment("LD_LIBRARY_PATH", modules);
  syslogNg.Start({std::string(root) + "/usr/sbin/syslog-ng", "--module-path=" + modules + "/3.38", "-F", "--no-caps",
                  "-f", work.Path() + "syslog-ng.conf", "-p", work.Path() + "pid", "-c", work.Path() + "ctl", "-R",
                  work.Path() + "persist"},
                 work.Path() + "out.txt", work.Path() + "err.txt");
  ASSERT_TRUE(WaitUntil([&] { return Exists(work.Path() + "pid"); })) << ReadFile(work.Path() + "err.txt");
  SendNumbered(input, 0, 50);
  ASSERT_TRUE(WaitStored("<13>tcp message 49\r\n")) << ReadFile(work.Path() + "err.txt");
  ASSERT_TRUE(WaitStored("<13>tls message 49\r\n")) << ReadFile(work.Path() + "err.txt");
  EXPECT_EQ(NumberedByMark({"tcp", "tls"}), (std::vector<int>{50, 50}));
  syslogNg.Signal(SIGTERM);
  int status = 0;
  syslogNg.WaitExit(status);
  StopService();
}

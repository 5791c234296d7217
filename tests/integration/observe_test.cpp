// What an operator sees from outside: /metrics (checked by Prometheus's own
// parser and scraped by a real Prometheus), systemd's notifications and
// watchdog, --check-config and the other command-line flags.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace logserver;
using namespace testing_support;

namespace {

bool Installed(const char* path) { return access(path, X_OK) == 0; }

// The value of a sample line `name` (with its labels) of a scrape; -1 when
// it is not there.
double Sample(const std::string& metrics, const std::string& name) {
  const std::size_t at = metrics.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atof(metrics.c_str() + at + name.size() + 2);
}

// Runs a shell command with `input` on its standard input; its exit status
// and what it printed (both streams).
int RunShell(const std::string& command, const std::string& input, std::string& output) {
  TTempDir dir;
  WriteFile(dir.Path() + "in", input);
  const int status = std::system((command + " < " + dir.Path() + "in > " + dir.Path() + "out 2>&1").c_str());
  output = ReadFile(dir.Path() + "out");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    metricsPort = ClaimPort();
    service.WriteConfig("LogMode=0\n", "[Metrics]\nListen=127.0.0.1:" + std::to_string(metricsPort) + "\n");
    service.Start();
    ASSERT_TRUE(service.WaitUntilServing());
  }
  void TearDown() override {
    if (!service.Signal(SIGTERM)) return;
    int status = -1;
    EXPECT_TRUE(service.WaitExit(status));
    EXPECT_EQ(status, 0) << service.Stderr();
    EXPECT_EQ(service.ForeignStderr(), "");
  }
  std::string Scrape() {
    std::string body;
    EXPECT_EQ(HttpGet(metricsPort, "/metrics", body), 200);
    return body;
  }
  void SendDatagrams(int count, std::size_t size) {
    const TDescriptor udp = SocketCreateDatagram();
    const TSocketAddress to{ParseIPv4("127.0.0.1"), service.SysLogPort()};
    const std::string text(size, 'd');
    for (int i = 0; i < count; ++i) SocketSendTo(udp.Get(), text.data(), text.size(), to);
  }

  TServiceProcess service;
  std::uint16_t metricsPort = 0;
};

}  // namespace

TEST_F(MetricsTest, CountersFollowWhatIsSentWrittenAndDroppedInTheFormatPrometheusReads) {
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(client.Send({"app", "m", "", "message", 0.0}));
  ASSERT_TRUE(client.SendRaw("0123456789abcdef"));  // no TPKT
  SendDatagrams(5, 64);
  ASSERT_TRUE(WaitUntil([&] { return Sample(Scrape(), "logserver_written_lines_total") == 25; }));
  const std::string metrics = Scrape();
  EXPECT_EQ(Sample(metrics, "logserver_received_messages_total{intake=\"tpkt\"}"), 20);
  EXPECT_EQ(Sample(metrics, "logserver_received_messages_total{intake=\"udp\"}"), 5);
  EXPECT_EQ(Sample(metrics, "logserver_received_bytes_total{intake=\"udp\"}"), 5 * 64);
  EXPECT_EQ(Sample(metrics, "logserver_dropped_bytes_total{reason=\"not_tpkt\"}"), 14);
  EXPECT_EQ(Sample(metrics, "logserver_connections{intake=\"tpkt\"}"), 1);
  EXPECT_GE(Sample(metrics, "logserver_write_delay_seconds_count"), 25);
  EXPECT_NE(metrics.find("logserver_build_info{version=\""), std::string::npos);
  EXPECT_GT(Sample(metrics, "process_start_time_seconds"), 1.7e9);
  // Only GET /metrics is served.
  std::string body;
  EXPECT_EQ(HttpGet(metricsPort, "/", body), 404);
  EXPECT_EQ(HttpGet(metricsPort, "/metrics/x", body), 404);
  // A hundred clients dribbling their headers leave a scrape a worker (the
  // scrape gives up after 5 s without a byte).
  std::vector<TDescriptor> slow;
  for (int i = 0; i < 100; ++i) {
    slow.push_back(SocketConnect("127.0.0.1", metricsPort));
    ASSERT_TRUE(SocketWriteAll(slow.back().Get(), "GET /metrics HTTP/1.1\r\n", 23));
  }
  std::atomic<bool> dribbling{true};
  std::thread dribbler([&] {
    for (int round = 0; round < 300 && dribbling.load(); ++round) {
      for (const TDescriptor& fd : slow) SocketWriteAll(fd.Get(), "X", 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  EXPECT_EQ(HttpGet(metricsPort, "/metrics", body), 200);
  dribbling.store(false);
  dribbler.join();
  if (!Installed("/usr/bin/promtool")) GTEST_SKIP() << "promtool (Debian's prometheus) is not installed";
  std::string lint;
  EXPECT_EQ(RunShell("/usr/bin/promtool check metrics", metrics, lint), 0) << lint;
  EXPECT_EQ(lint, "");
}

TEST_F(MetricsTest, TheKernelsDropsOnTheSyslogSocketAreCounted) {
  // A stopped service reads nothing: the socket's buffer fills and the
  // kernel drops the rest, which the service learns with its next read.
  const double buffer = Sample(Scrape(), "logserver_udp_receive_buffer_bytes");
  ASSERT_GT(buffer, 0);
  ASSERT_TRUE(service.Signal(SIGSTOP));
  // Each datagram costs the buffer more than its bytes: twice the buffer's
  // size in payload overflows it surely.
  SendDatagrams(static_cast<int>(2 * buffer / 100) + 1000, 100);
  ASSERT_TRUE(service.Signal(SIGCONT));
  // The kernel tells the count with the datagrams queued after a drop: one
  // more is sent on each look, until one finds room.
  EXPECT_TRUE(WaitUntil([&] {
    SendDatagrams(1, 100);
    return Sample(Scrape(), "logserver_udp_kernel_drops_total") > 0;
  }));
}

TEST(MetricsServerTest, APrometheusServerScrapesTheService) {
  if (!Installed("/usr/bin/prometheus")) GTEST_SKIP() << "prometheus (Debian's package) is not installed";
  TServiceProcess service;
  const std::uint16_t metricsPort = ClaimPort();
  service.WriteConfig("LogMode=0\n", "[Metrics]\nListen=127.0.0.1:" + std::to_string(metricsPort) + "\n");
  service.Start();
  ASSERT_TRUE(service.WaitUntilServing());
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(client.Send({"app", "m", "", "scraped", 0.0}));
  ASSERT_TRUE(client.Finish(5000));

  TTempDir prometheusDir;
  const std::uint16_t prometheusPort = ClaimPort();
  WriteFile(prometheusDir.Path() + "prometheus.yml",
            "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: logserver\n"
            "    static_configs:\n      - targets: ['127.0.0.1:" + std::to_string(metricsPort) + "']\n");
  TChildProcess prometheus;
  prometheus.Start({"/usr/bin/prometheus", "--config.file=" + prometheusDir.Path() + "prometheus.yml",
                    "--storage.tsdb.path=" + prometheusDir.Path() + "data",
                    "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
                   prometheusDir.Path() + "out.txt", prometheusDir.Path() + "err.txt");
  std::string answer;
  EXPECT_TRUE(WaitUntil(
      [&] {
        return HttpGet(prometheusPort, "/api/v1/query?query=logserver_written_lines_total", answer) == 200 &&
               answer.find("\"7\"]") != std::string::npos;
      },
      30000))
      << answer << ReadFile(prometheusDir.Path() + "err.txt");
  prometheus.Signal(SIGTERM);
  int status = 0;
  prometheus.WaitExit(status);
  ASSERT_TRUE(service.Signal(SIGTERM));
  EXPECT_TRUE(service.WaitExit(status));
}

TEST(SystemdTest, TheServiceManagerHearsReadyWatchdogPingsAndStopping) {
  // A datagram socket of our own stands for systemd's NOTIFY_SOCKET.
  TTempDir dir;
  const std::string socketPath = dir.Path() + "notify";
  TDescriptor notify(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(notify.Valid());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(notify.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto receive = [&](int timeoutMs) {
    bool readable = false, writable = false;
    if (SocketWait(notify.Get(), true, false, timeoutMs, readable, writable) <= 0) return std::string();
    char buffer[4096];
    const long n = SocketRead(notify.Get(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  };
  auto waitFor = [&](const std::string& state) {
    for (int i = 0; i < 100; ++i)
      if (receive(10000).find(state) != std::string::npos) return true;
    return false;
  };
  TServiceProcess service;
  service.WriteConfig("LogMode=0\n");
  service.SetEnvironment("NOTIFY_SOCKET", socketPath);
  service.SetEnvironment("WATCHDOG_USEC", "1000000");  // a ping at least every 0.5 s
  service.Start();
  EXPECT_TRUE(waitFor("READY=1"));
  EXPECT_TRUE(waitFor("STATUS="));
  EXPECT_TRUE(waitFor("WATCHDOG=1"));
  EXPECT_TRUE(waitFor("WATCHDOG=1"));
  // A main loop that stands still pings no more (here it is stopped
  // whole). The window is the one systemd allows: twice the interval.
  ASSERT_TRUE(service.Signal(SIGSTOP));
  while (!receive(0).empty()) {
  }
  EXPECT_EQ(receive(2000), "");
  ASSERT_TRUE(service.Signal(SIGCONT));
  EXPECT_TRUE(waitFor("WATCHDOG=1"));
  ASSERT_TRUE(service.Signal(SIGTERM));
  EXPECT_TRUE(waitFor("STOPPING=1"));
  int status = -1;
  EXPECT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0);
}

TEST(CommandLineTest, CheckConfigReportsEveryFallbackAndWritesNothing) {
  TServiceProcess service;
  const std::string bad = "[Common]\nServicePort=70000\nLogMode=2 ; two\nColour=blue\nRunMode=0\n"
                          "[Providers]\nnot|four=x.so\n[Metrics]\nListen=nowhere\n";
  service.WriteRawConfig(bad);
  service.StartWith({"--check-config"});
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 1);
  const std::string path = service.ConfigPath();
  EXPECT_EQ(service.Stdout(),
            path + ": line 4: unknown key Colour in [Common] is ignored\n" +
            path + ": line 2: ServicePort=70000 is no port (0 to 65535): 4464 is used instead\n" +
            path + ": line 3: LogMode=2 ; two is not a whole number: 1 is used instead\n" +
            path + ": line 7: [Providers] key \"not|four\" is not address|application|module|prefix: it is ignored\n" +
            path + ": line 9: Listen=nowhere is not ADDRESS:PORT: metrics are off\n" +
            path + ": line 2: ServicePort=70000 would be written back as ServicePort=4464\n" +
            path + ": line 3: LogMode=2 ; two would be written back as LogMode=1\n" +
            path + ": BaseCatalog would be added\n" +
            path + ": ModuleNameAsFilePrefix would be added\n" +
            path + ": TimePlacementMask would be added\n");
  EXPECT_EQ(ReadFile(path), bad);  // nothing written
  EXPECT_FALSE(Exists(service.LogsDir()));
  // The typical slips, each named where it stands: a misspelt section
  // (which would turn syslog TCP off), a key file that is not there, a
  // BaseCatalog without its '/'.
  TServiceProcess slips;
  const std::string base = slips.Dir() + "logs";
  slips.WriteRawConfig("[Common]\nBaseCatalog=" + base + "\n[Syslgo]\nTcpPort=1514\n[Syslog]\nTlsPort=6514\n" +
                       "TlsCertificate=" + slips.Dir() + "none.crt\nTlsKey=" + slips.Dir() + "none.key\nTlsPrt=1\n");
  slips.StartWith({"--check-config"});
  ASSERT_TRUE(slips.WaitExit(status));
  EXPECT_EQ(status, 1);
  for (const std::string& expected : std::vector<std::string>
       {": line 3: [Syslgo] is no section the service reads (did you mean [Syslog]?): it is ignored\n",
        ": line 9: unknown key TlsPrt in [Syslog] is ignored (did you mean TlsPort?)\n",
        ": line 2: BaseCatalog=" + base + " does not end with /: the service's files would land in " + base +
            "0.0.0.0/ and each sender's beside it\n",
        ": line 6: TlsPort=6514 cannot be served: certificate " + slips.Dir() + "none.crt not usable"})
    EXPECT_NE(slips.Stdout().find(slips.ConfigPath() + expected), std::string::npos) << slips.Stdout();
  // A file the service starts with as it is: the keys it lacks are notes.
  TServiceProcess fine;
  fine.WriteConfig();
  fine.StartWith({"--check-config"});
  ASSERT_TRUE(fine.WaitExit(status));
  ASSERT_EQ(status, 0) << fine.Stdout();
  EXPECT_NE(fine.Stdout().find("BaseCatalog would be added"), std::string::npos) << fine.Stdout();
  fine.Start();
  ASSERT_TRUE(fine.WaitUntilServing());
  ASSERT_TRUE(fine.Signal(SIGTERM));
  ASSERT_TRUE(fine.WaitExit(status));
  TServiceProcess again;
  again.WriteRawConfig(ReadFile(fine.ConfigPath()));
  again.StartWith({"--check-config=" + again.ConfigPath()});
  ASSERT_TRUE(again.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(again.Stdout(), "");
}

TEST(CommandLineTest, VersionHelpAnotherConfigurationAndUnknownArguments) {
  TServiceProcess service;
  int status = -1;
  service.StartWith({"--version"});
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0);
  const std::string version = service.Stdout();
  EXPECT_EQ(version.rfind("LogServer ", 0), 0u);
  EXPECT_EQ(std::count(version.begin(), version.end(), '\n'), 1);
  service.StartWith({"--help"});
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_NE(service.Stdout().find("--check-config"), std::string::npos);
  service.StartWith({"--frobnicate"});
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 2);
  EXPECT_NE(service.Stderr().find("usage: LogServer"), std::string::npos);
  // --config names the file read and written back instead of the one beside
  // the executable.
  TTempDir elsewhere;
  const std::string other = elsewhere.Path() + "other.conf";
  WriteFile(other, "[Common]\nServicePort=" + std::to_string(service.ServicePort()) + "\nSysLogPort=" +
                       std::to_string(service.SysLogPort()) + "\nLogMode=0\n");
  service.StartWith({"--config=" + other});
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("configuration " + other) != std::string::npos; }));
  ASSERT_TRUE(service.Signal(SIGTERM));
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Exists(service.ConfigPath()));
  EXPECT_NE(ReadFile(other).find("BaseCatalog="), std::string::npos);
}

// Client log messages over TCP into the real LogServer, checked byte for
// byte in the files it writes.
#include "core/uLogClient.h"
#include "net/uTPKTFilter.h"
#include "platform/uSocket.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <thread>

using namespace logserver;
using namespace testing_support;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// The 57-byte frame of the worked example: application app, module mod, no
// prefix, EventTime 45356.5 (2024-03-05 12:00:00.000), text hi.
std::string WorkedExampleFrame() {
  return Bytes({0x03, 0x00, 0x00, 0x39, 0x00, 0x35, 0x00, 0x00, 0x00, 0x2d, 0x00, 0x00,
                0x00, 0x03, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
                0x00, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x00, 0x90, 0x25, 0xe6, 0x40, 0x33, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
                0x00, 0x61, 0x70, 0x70, 0x6d, 0x6f, 0x64, 0x68, 0x69});
}

bool IsLineStamp(const std::string& s) {  // hh:nn:ss.zzz
  if (s.size() != 12) return false;
  for (std::size_t i = 0; i < 12; ++i) {
    const bool digit = s[i] >= '0' && s[i] <= '9';
    if ((i == 2 || i == 5) ? s[i] != ':' : i == 8 ? s[i] != '.' : !digit) return false;
  }
  return true;
}

class TcpTest : public ::testing::Test {
 protected:
  void StartService(const std::string& extra = "LogMode=1\n") {
    service.WriteConfig(extra);
    service.Start();
    ASSERT_TRUE(service.WaitUntilServing());
  }

  void Connect(TLogClient& client) {
    ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  }

  void StopService() { ExpectOrderlyStop(service); }

  // Everything written for one sender, application and module.
  std::string Written(const std::string& app, const std::string& module) {
    return JoinedFilesBelow(service.LogsDir() + "127.0.0.1/" + app + "/" + module + "/");
  }
  bool WaitForLines(const std::string& app, const std::string& module, std::size_t lines) {
    return WaitUntil([&] { return SplitCrLf(Written(app, module)).size() >= lines; }, 20000);
  }

  TServiceProcess service;
};

}  // namespace

TEST_F(TcpTest, WorkedExampleGivesItsLineByteForByte) {
  StartService();
  TLogClient client;
  Connect(client);
  ASSERT_TRUE(client.SendRaw(WorkedExampleFrame()));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitForLines("app", "mod", 1));
  const auto files = FilesBelow(service.LogsDir() + "127.0.0.1/");
  ASSERT_EQ(files.size(), 1u);
  const std::string rest = files[0].substr((service.LogsDir() + "127.0.0.1/app/mod/").size());
  EXPECT_EQ(rest.size(), std::string("yyyy_mm_dd/mod_hh.log").size()) << rest;
  EXPECT_EQ(rest.substr(10, 5), "/mod_");
  const std::string text = ReadFile(files[0]);
  EXPECT_TRUE(IsLineStamp(text.substr(0, 12))) << text;
  EXPECT_EQ(text.substr(12), "[12:00:00.000] : hi\r\n");
  StopService();
}

TEST_F(TcpTest, PrefixRulesAndEventTimeZero) {
  StartService();
  TLogClient client;
  Connect(client);
  ASSERT_TRUE(client.Send({"a", "m", "", "no time", 0.0}));
  ASSERT_TRUE(client.Send({"a", "m", "own", "own prefix", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitForLines("a", "m", 2));
  const auto files = FilesBelow(service.LogsDir() + "127.0.0.1/a/m/");
  ASSERT_EQ(files.size(), 2u);
  // "<prefix>_<hh>.log": the hour is whatever the clock said, so only its
  // shape is checked.
  std::vector<std::string> names;
  for (const auto& f : files) {
    const std::string name = f.substr(f.rfind('/') + 1);
    ASSERT_GE(name.size(), 7u) << name;
    const std::string hour = name.substr(name.size() - 6, 2);
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(hour[0])) &&
                std::isdigit(static_cast<unsigned char>(hour[1])) && hour < "24")
        << name;
    EXPECT_EQ(name.substr(name.size() - 7, 1) + name.substr(name.size() - 4), "_.log") << name;
    names.push_back(name.substr(0, name.size() - 7) + ":" + ReadFile(f));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"m:no time\r\n", "own:own prefix\r\n"}))
      << "files: " << files[0] << " " << files[1];
  StopService();
}

TEST_F(TcpTest, WithoutModulePrefixAnEmptyPrefixNamesTheFileByTheHourAlone) {
  StartService("ModuleNameAsFilePrefix=0\n");
  TLogClient client;
  Connect(client);
  ASSERT_TRUE(client.Send({"a", "m", "", "plain", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitForLines("a", "m", 1));
  const auto files = FilesBelow(service.LogsDir() + "127.0.0.1/a/m/");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].substr(files[0].rfind('/')).size(), std::string("/hh.log").size());
  StopService();
}

TEST_F(TcpTest, FramesMergedAndSplitAcrossWritesAllArrive) {
  StartService();
  TLogClient client;
  Connect(client);
  std::string burst;
  for (int i = 0; i < 100; ++i) burst += BuildClientLogFrame({"burst", "m", "", "line " + std::to_string(i), 0.0});
  ASSERT_TRUE(client.SendRaw(burst));
  const std::string one = BuildClientLogFrame({"split", "m", "", "in three writes", 0.0});
  ASSERT_TRUE(client.SendRaw(one.substr(0, 3)));
  ASSERT_TRUE(WaitForLines("burst", "m", 100));
  ASSERT_TRUE(client.SendRaw(one.substr(3, 30)));
  ASSERT_TRUE(client.SendRaw(one.substr(33)));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitForLines("split", "m", 1));
  const auto lines = SplitCrLf(Written("burst", "m"));
  ASSERT_EQ(lines.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(lines[i], "line " + std::to_string(i));
  EXPECT_EQ(Written("split", "m"), "in three writes\r\n");
  StopService();
}

TEST_F(TcpTest, MalformedRecordsAreDroppedAndTheConnectionStaysOpen) {
  StartService();
  TLogClient client;
  Connect(client);
  std::string wrongType = BuildClientLogMessage({"bad", "m", "", "x", 0.0});
  wrongType[0] = 1;
  std::string beyond = BuildClientLogMessage({"bad", "m", "", "x", 0.0});
  beyond[41] = 100;  // text runs past MessageSize
  ASSERT_TRUE(client.SendRaw(BuildTpktFrame(wrongType)));
  ASSERT_TRUE(client.SendRaw(BuildTpktFrame(std::string(44, '\0'))));
  ASSERT_TRUE(client.SendRaw(BuildTpktFrame(beyond)));
  ASSERT_TRUE(client.SendRaw(Bytes({0x03, 0x00, 0x00, 0x00, 0x42, 0x42})));  // bad header
  ASSERT_TRUE(client.SendRaw(Bytes({0x03, 0x00, 0x00, 0x04})));              // header only
  ASSERT_TRUE(client.Send({"good", "m", "", "after the garbage", 0.0}));
  ASSERT_TRUE(WaitForLines("good", "m", 1));
  EXPECT_EQ(Written("good", "m"), "after the garbage\r\n");
  EXPECT_FALSE(Exists(service.LogsDir() + "127.0.0.1/bad"));
  ASSERT_TRUE(client.Finish(5000));
  StopService();
}

TEST_F(TcpTest, ConnectedClientsReceiveOnlyKeepAliveFrames) {
  StartService();
  TLogClient client;
  Connect(client);
  ASSERT_TRUE(client.Send({"a", "m", "", "x", 0.0}));
  const std::string received = client.Receive(7500);
  ASSERT_GE(received.size(), 8u);
  ASSERT_EQ(received.size() % 4, 0u);
  for (std::size_t i = 0; i < received.size(); i += 4)
    EXPECT_EQ(received.substr(i, 4), Bytes({3, 0, 0, 4}));
  ASSERT_TRUE(client.Finish(5000));
  StopService();
}

// One address holds at most its share of the TPKT port, another gets in
// beside it, an exempt one is not counted, and clients silent for the idle
// time are let go.
TEST_F(TcpTest, OneAddressCannotHoldEverySlotAndSilentClientsAreLetGo) {
  service.WriteConfig("LogMode=1\n", "[Tpkt]\nMaxConnectionsPerAddress=2\n"
                                     "[Senders]\nUnlimited=127.0.0.3, 10.0.0.0/8\n");
  service.Start();
  ASSERT_TRUE(service.WaitUntilServing());
  auto connectFrom = [](const char* source, std::uint16_t port) {
    TDescriptor fd = SocketCreateStream();
    EXPECT_EQ(SocketBindTo(fd.Get(), source, 0), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    return fd;
  };
  auto closedByService = [](int fd) {
    return WaitUntil([&] {
      bool readable = false, writable = false;
      char bytes[64];
      // Keep-alive frames come first; the end comes as a read of nothing.
      return SocketWait(fd, true, false, 100, readable, writable) > 0 && readable &&
             SocketRead(fd, bytes, sizeof bytes) <= 0;
    });
  };
  // The start's probe (from 127.0.0.1) must be gone first: its end may be
  // taken after the probe saw the connection close.
  ASSERT_TRUE(WaitUntil([&] { return StatisticsCount(service.RequestStatistics(), "connections=") == 0; }));
  std::vector<TDescriptor> held;
  for (int i = 0; i < 2; ++i) held.push_back(connectFrom("127.0.0.1", service.ServicePort()));
  for (int i = 0; i < 3; ++i) held.push_back(connectFrom("127.0.0.3", service.ServicePort()));
  ASSERT_TRUE(WaitUntil([&] { return StatisticsCount(service.RequestStatistics(), "connections=") == 5; }));
  TDescriptor third = connectFrom("127.0.0.1", service.ServicePort());
  EXPECT_TRUE(closedByService(third.Get()));
  TDescriptor other = connectFrom("127.0.0.2", service.ServicePort());
  const std::string frame = WorkedExampleFrame();
  ASSERT_TRUE(SocketWriteAll(other.Get(), frame.data(), frame.size()));
  EXPECT_TRUE(WaitUntil([&] { return !JoinedFilesBelow(service.LogsDir() + "127.0.0.2/app/mod/").empty(); }));
  EXPECT_TRUE(WaitUntil([&] {
    return service.Stderr().find("TPKT: 1 connections refused (their address held 2 connections)") !=
           std::string::npos;
  })) << service.Stderr();
  StopService();
  // With an idle time, a client that sends nothing is let go; the idle
  // time is off otherwise, so the clients above stayed.
  TServiceProcess idle;
  idle.WriteConfig("LogMode=1\n", "[Tpkt]\nIdleSeconds=1\n");
  idle.Start();
  ASSERT_TRUE(idle.WaitUntilServing());
  TDescriptor silent = connectFrom("127.0.0.1", idle.ServicePort());
  EXPECT_TRUE(closedByService(silent.Get()));
  EXPECT_TRUE(WaitUntil([&] { return idle.Stderr().find("connections closed idle (1 s") != std::string::npos; }))
      << idle.Stderr();
  ExpectOrderlyStop(idle);
}

TEST_F(TcpTest, ASenderOverItsRateIsSlowedOnTcpAndLosesDatagramsOnUdpAloneAndAReloadLiftsIt) {
  std::uint16_t metricsPort = FreeTcpPort();
  service.WriteConfig("LogMode=1\n", "[Senders]\nMessagesPerSecond=1000\nBurstSeconds=1\nUnlimited=127.0.0.3\n"
                                     "[Metrics]\nListen=127.0.0.1:" + std::to_string(metricsPort) + "\n");
  service.Start();
  ASSERT_TRUE(service.WaitUntilServing());
  auto metric = [&](const std::string& sample) {
    std::string metrics;
    if (HttpGet(metricsPort, "/metrics", metrics) != 200) return -1L;
    const std::size_t at = metrics.find("\n" + sample + " ");
    return at == std::string::npos ? -1L : std::atol(metrics.c_str() + at + sample.size() + 2);
  };
  // TPKT: 5,000 messages against 1,000 a second and a burst of 1,000. The
  // service reads a sender that owes nothing, at most 64 KiB (about 1,100
  // of these) at once, so the last read cannot come before 2.9 s; nothing
  // is lost, nothing reordered.
  constexpr int kTpkt = 5000;
  const auto started = std::chrono::steady_clock::now();
  {
    TLogClient client;
    Connect(client);
    for (int m = 0; m < kTpkt; ++m)
      ASSERT_TRUE(client.Send({"rate", "m", "", "tpkt " + std::to_string(m) + std::string(30, 'x'), 0.0}));
    ASSERT_TRUE(client.Finish(20000));
  }
  ASSERT_TRUE(WaitForLines("rate", "m", kTpkt));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  const auto lines = SplitCrLf(Written("rate", "m"));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kTpkt));
  for (int m = 0; m < kTpkt; ++m) ASSERT_EQ(lines[m], "tpkt " + std::to_string(m) + std::string(30, 'x'));
  EXPECT_GT(metric("logserver_rate_limited_messages_total{intake=\"tpkt\"}"), 0);
  // UDP, right after: the same address (one allowance for all its intakes)
  // loses what is beyond it, counted; another address within its own
  // allowance, and an unlimited one far beyond it, lose nothing.
  auto sendFrom = [&](const char* source, const std::string& tag, int count) {
    TDescriptor fd = SocketCreateDatagram();
    EXPECT_EQ(SocketBind(fd.Get(), ParseIPv4(source), 0), 0);
    const TSocketAddress to{ParseIPv4("127.0.0.1"), service.SysLogPort()};
    for (int m = 0; m < count; ++m) {
      const std::string datagram = tag + " " + std::to_string(m);
      EXPECT_EQ(SocketSendTo(fd.Get(), datagram.data(), datagram.size(), to), static_cast<long>(datagram.size()));
      // About 5,000 a second: the socket's buffer never fills.
      if (m % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  constexpr int kUdp = 3000;
  const auto udpStarted = std::chrono::steady_clock::now();
  sendFrom("127.0.0.1", "over", kUdp);
  const double udpSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - udpStarted).count();
  sendFrom("127.0.0.2", "within", 500);
  sendFrom("127.0.0.3", "unlimited", kUdp);
  auto count = [&](const std::string& address, const std::string& tag) {
    const std::string text = JoinedFilesBelow(service.LogsDir() + address + "/SYSLOG/syslog/");
    long n = 0;
    for (std::size_t at = text.find(tag + " "); at != std::string::npos; at = text.find(tag + " ", at + 1)) ++n;
    return n;
  };
  const std::string dropped = "logserver_rate_limited_messages_total{intake=\"udp\"}";
  ASSERT_TRUE(WaitUntil([&] {
    return count("127.0.0.2", "within") == 500 && count("127.0.0.3", "unlimited") == kUdp &&
           count("127.0.0.1", "over") + metric(dropped) == kUdp;
  })) << count("127.0.0.1", "over") << " written, " << metric(dropped) << " dropped";
  EXPECT_EQ(metric("logserver_udp_kernel_drops_total"), 0);
  EXPECT_GT(metric(dropped), 0);
  EXPECT_LE(count("127.0.0.1", "over"), 1000 + static_cast<long>(1000 * (udpSeconds + 0.5)));
  // Told once when it began, and once when it had been quiet for 10 s,
  // with what it lost.
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("RATE LIMIT ENDED: 127.0.0.1 (") != std::string::npos; },
                        30000))
      << service.Stderr();
  const std::string err = service.Stderr();
  EXPECT_NE(err.find("RATE LIMIT ENDED: 127.0.0.1 (" + std::to_string(metric(dropped)) + " messages dropped, "),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("RATE LIMITED: 127.0.0.1"), err.rfind("RATE LIMITED: 127.0.0.1"));
  EXPECT_EQ(err.find("RATE LIMITED: 127.0.0.2"), std::string::npos);
  EXPECT_EQ(err.find("RATE LIMITED: 127.0.0.3"), std::string::npos);
  EXPECT_EQ(metric("logserver_rate_limited_senders"), 0);
  // SIGHUP reads the file again: the limit goes at once, /metrics moves,
  // syslog over TCP begins, the run mode waits for the next start (and
  // says so), and the file is not rewritten.
  const std::uint16_t oldMetricsPort = metricsPort;
  const std::string metricsSection = "[Metrics]\nListen=127.0.0.1:" + std::to_string(FreeTcpPort()) + "\n";
  const std::uint16_t syslogTcpPort = FreeTcpPort();
  service.WriteConfig("LogMode=1\nRunMode=1\n", "[Senders]\nMessagesPerSecond=0\nUnlimited=127.0.0.3\n[Syslog]\nTcpPort=" +
                                                     std::to_string(syslogTcpPort) + "\n" + metricsSection);
  const std::string reloaded = ReadFile(service.ConfigPath());
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(service.WaitForServiceLog("CONFIGURATION RELOADED: changed, and used from the next start: [Common] RunMode"))
      << service.Stderr();
  {
    TDescriptor tcp = SocketConnect("127.0.0.1", syslogTcpPort);
    ASSERT_TRUE(tcp.Valid());
    const std::string line = "<13>over tcp now\n";
    ASSERT_TRUE(SocketWriteAll(tcp.Get(), line.data(), line.size()));
  }
  ASSERT_TRUE(WaitUntil([&] { return count("127.0.0.1", "<13>over tcp") == 1; }));
  metricsPort = static_cast<std::uint16_t>(std::atoi(metricsSection.c_str() + metricsSection.rfind(':') + 1));
  EXPECT_EQ(metric("logserver_syslog_tcp_framing_errors_total"), 0);
  std::string body;
  EXPECT_EQ(HttpGet(oldMetricsPort, "/metrics", body), 0);
  const long droppedBefore = metric(dropped);
  sendFrom("127.0.0.1", "free", kUdp);
  ASSERT_TRUE(WaitUntil([&] { return count("127.0.0.1", "free") == kUdp; }));
  EXPECT_EQ(metric(dropped), droppedBefore);
  EXPECT_EQ(ReadFile(service.ConfigPath()), reloaded);
  // A file the service would not start with changes nothing, its valid
  // limit included.
  service.WriteConfig("LogMode=1\n", "[Senders]\nMessagesPerSecond=100\nBurstSeconds=soon\n" + metricsSection);
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(WaitUntil([&] { return metric("logserver_config_reloads_total{result=\"refused\"}") == 1; }));
  EXPECT_NE(service.Stderr().find("CONFIGURATION NOT RELOADED: "), std::string::npos) << service.Stderr();
  EXPECT_EQ(metric("logserver_config_reloads_total{result=\"applied\"}"), 1);
  EXPECT_EQ(metric("logserver_config_last_reload_success"), 0);
  sendFrom("127.0.0.1", "still", 1500);
  ASSERT_TRUE(WaitUntil([&] { return count("127.0.0.1", "still") == 1500; }));
  StopService();
}

TEST_F(TcpTest, LogModeTwoWritesClientAndMessageLines) {
  StartService("LogMode=2\n");
  TLogClient client;
  Connect(client);
  const std::string peer = "[127.0.0.1:" + std::to_string(client.LocalPort()) + "]";
  ASSERT_TRUE(client.Send({"a", "m", "", "hello", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(service.WaitForServiceLog("CLIENT DISCONNECTED: " + peer));
  const auto texts = service.ServiceLogTexts();
  const auto at = std::find(texts.begin(), texts.end(), "CLIENT CONNECTED: " + peer);
  ASSERT_NE(at, texts.end());
  ASSERT_LE(at + 3, texts.end());
  EXPECT_EQ(*(at + 1), "NEW MSG: " + peer + " \"hello\"");
  EXPECT_EQ(*(at + 2), "CLIENT DISCONNECTED: " + peer);
  StopService();
}

TEST_F(TcpTest, LogModeZeroWritesNoClientLines) {
  StartService("LogMode=0\n");
  TLogClient client;
  Connect(client);
  ASSERT_TRUE(client.Send({"a", "m", "", "quiet", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitForLines("a", "m", 1));
  StopService();
  for (const std::string& text : service.ServiceLogTexts()) {
    EXPECT_EQ(text.find("CLIENT"), std::string::npos) << text;
    EXPECT_EQ(text.find("NEW MSG"), std::string::npos) << text;
  }
}

TEST_F(TcpTest, APortTakenAtStartIsReportedOnceAndServedOnceFree) {
  TDescriptor blocker = SocketCreateStream();
  ASSERT_TRUE(blocker.Valid());
  SocketSetReuseAddress(blocker.Get());
  ASSERT_EQ(SocketBind(blocker.Get(), ParseIPv4("0.0.0.0"), service.ServicePort()), 0);
  ASSERT_EQ(SocketListen(blocker.Get(), 4), 0);
  service.WriteConfig();
  service.Start();
  const std::string fail = "FAIL while create listen point [code=" + std::to_string(EADDRINUSE) + "]";
  ASSERT_TRUE(service.WaitForServiceLog(fail));
  // Standard error hears of it right after the service log.
  EXPECT_TRUE(WaitUntil([&] {
    return service.Stderr().find("TCP port " + std::to_string(service.ServicePort()) +
                                 " is not listening: Address already in use") != std::string::npos;
  })) << service.Stderr();
  blocker.Reset();
  TLogClient client;
  ASSERT_TRUE(WaitUntil([&] { return client.Connect("127.0.0.1", service.ServicePort()); }));
  ASSERT_TRUE(client.Send({"late", "m", "", "served without a restart", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitForLines("late", "m", 1));
  StopService();
  const auto texts = service.ServiceLogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), fail), 1);
}

TEST_F(TcpTest, HundredConcurrentClientsLoseNothing) {
  StartService();
  constexpr int kClients = 100, kMessages = 100;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<TLogClient>> clients;
      for (int c = t; c < kClients; c += 4) {
        clients.push_back(std::make_unique<TLogClient>());
        if (!clients.back()->Connect("127.0.0.1", service.ServicePort())) ++failures;
      }
      for (int m = 0; m < kMessages; ++m) {
        int c = t;
        for (auto& client : clients) {
          const std::string text = "client " + std::to_string(c) + " message " + std::to_string(m) +
                                   " " + std::string(static_cast<std::size_t>(m * 7 % 300), 'x');
          if (!client->Send({"load", "m", "", text, 0.0})) ++failures;
          c += 4;
        }
      }
      for (auto& client : clients)
        if (!client->Finish(20000)) ++failures;
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(failures.load(), 0);
  ASSERT_TRUE(WaitForLines("load", "m", kClients * kMessages));
  std::vector<int> next(kClients, 0);
  const auto lines = SplitCrLf(Written("load", "m"));
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kClients * kMessages));
  for (const std::string& line : lines) {
    int c = -1, m = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "client %d message %d", &c, &m), 2) << line;
    ASSERT_TRUE(c >= 0 && c < kClients) << line;
    EXPECT_EQ(m, next[c]) << "client " << c << " out of order";
    next[c] = m + 1;
    const std::string expected = "client " + std::to_string(c) + " message " + std::to_string(m) +
                                 " " + std::string(static_cast<std::size_t>(m * 7 % 300), 'x');
    EXPECT_EQ(line, expected);
  }
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(next[c], kMessages) << "client " << c;
  StopService();
}

TEST_F(TcpTest, SigtermWithClientsConnectedStopsCleanly) {
  StartService();
  std::vector<std::unique_ptr<TLogClient>> clients;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(std::make_unique<TLogClient>());
    Connect(*clients.back());
    ASSERT_TRUE(clients.back()->Send({"a", "m", "", "still here", 0.0}));
  }
  ASSERT_TRUE(WaitForLines("a", "m", 30));
  ASSERT_TRUE(service.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status, 5000));
  EXPECT_EQ(status, 0);
  const auto texts = service.ServiceLogTexts();
  const auto stop = StopSequenceTexts();
  ASSERT_GE(texts.size(), stop.size());
  EXPECT_EQ(std::vector<std::string>(texts.end() - static_cast<long>(stop.size()), texts.end()), stop);
  EXPECT_EQ(service.Stdout(), "Process MainThread \"SHUTDOWN\" ...OK\n");
}

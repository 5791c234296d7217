// Reloads of the configuration against the real LogServer while every
// intake is busy: nothing lost, doubled or reordered, what a reload moves
// answers at once, and a file the service would not start with changes
// nothing.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/Certificates.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

using namespace logserver;
using namespace testing_support;

namespace {

// Every line with "mark=NAME seq=N": per name, the next number expected
// and how often a number was not the one expected (lost, doubled or out of
// order).
struct TSequence {
  long Next = 0;
  long Wrong = 0;
};
std::map<std::string, TSequence> Sequences(const std::string& text) {
  std::map<std::string, TSequence> seen;
  for (const std::string& line : SplitCrLf(text)) {
    const std::size_t at = line.find("mark=");
    char name[64] = {};
    long n = -1;
    if (at == std::string::npos || std::sscanf(line.c_str() + at, "mark=%63s seq=%ld", name, &n) != 2) continue;
    TSequence& sequence = seen[name];
    if (n != sequence.Next) ++sequence.Wrong;
    sequence.Next = n + 1;
  }
  return seen;
}

long Metric(std::uint16_t port, const std::string& sample) {
  std::string body;
  if (HttpGet(port, "/metrics", body) != 200) return -1;
  const std::size_t at = body.find("\n" + sample + " ");
  return at == std::string::npos ? -1 : std::atol(body.c_str() + at + sample.size() + 2);
}

bool Answers(std::uint16_t port) { return SocketConnect("127.0.0.1", port).Valid(); }

// Runs `body` every 10 ms until `stop`.
std::thread Paced(const std::atomic<bool>& stop, std::function<void()> body) {
  return std::thread([&stop, body = std::move(body)] {
    while (!stop.load()) {
      body();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
}

}  // namespace

TEST(ReloadTest, ReloadsEverySecondUnderFloodsLoseNothingAndMoveWhatTheyChange) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
  TCertificates certificates;
  ASSERT_TRUE(certificates.Make());
  TServiceProcess service;
  const std::uint16_t tcp[2] = {FreeTcpPort(), FreeTcpPort()};
  const std::uint16_t tls = FreeTcpPort(), metrics = FreeTcpPort();
  const std::string tlsLines = "TlsPort=" + std::to_string(tls) + "\nTlsCertificate=" + certificates.Path("server.pem") +
                               "\nTlsKey=" + certificates.Path("server.key") + "\n";
  // Two configurations that differ in LogMode, the syslog TCP port, the
  // metrics and a provider; and two the service would not start with.
  const auto configure = [&](int which) {
    if (which == 0)
      service.WriteConfig("LogMode=0\n", "[Syslog]\nTcpPort=" + std::to_string(tcp[0]) + "\n" + tlsLines +
                                             "[Metrics]\nListen=127.0.0.1:" + std::to_string(metrics) +
                                             "\n[Providers]\n127.0.0.1|provided|m|=" + TEST_PROVIDER_FULL + "\n");
    else
      service.WriteConfig("LogMode=1\n", "[Syslog]\nTcpPort=" + std::to_string(tcp[1]) + "\n" + tlsLines);
  };
  TDescriptor blocker = SocketCreateStream();
  const std::uint16_t busy = FreeTcpPort();
  ASSERT_EQ(SocketBindTo(blocker.Get(), "0.0.0.0", busy), 0);
  ASSERT_EQ(SocketListen(blocker.Get(), 1), 0);
  const std::string unusable[2] = {
      "[Syslog]\nTcpPort=" + std::to_string(busy) + "\n" + tlsLines,
      "[Syslog]\nTcpPort=" + std::to_string(tcp[0]) + "\nTlsPort=" + std::to_string(tls) +
          "\nTlsCertificate=" + certificates.Path("server.pem") + "\nTlsKey=" + certificates.Path("missing.key") + "\n"};
  configure(0);
  service.Start();
  ASSERT_TRUE(service.WaitUntilServing());

  // The floods, paced so that the disk keeps up: three TPKT connections,
  // one UDP sender at 50,000 a second, one syslog TCP connection (on the
  // port the reloads take away and give back: it goes on), TLS connections
  // one after the other.
  const double scale = std::min(LoadScale(), 1.0);
  const int perTick = std::max(1, static_cast<int>(50 * scale));
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  // However the test ends, the senders stop first.
  struct TJoin {
    std::atomic<bool>& Stop;
    std::vector<std::thread>& Threads;
    ~TJoin() {
      Stop = true;
      for (std::thread& thread : Threads)
        if (thread.joinable()) thread.join();
    }
  } join{stop, senders};
  std::atomic<long> tpktSent[3] = {}, udpSent{0}, tcpSent{0}, tlsRuns{0};
  TLogClient clients[3];
  for (int c = 0; c < 3; ++c) {
    ASSERT_TRUE(clients[c].Connect("127.0.0.1", service.ServicePort()));
    senders.push_back(Paced(stop, [&, c] {
      std::string batch;
      for (int i = 0; i < perTick; ++i)
        batch += BuildClientLogFrame({"flood", "m", "", "mark=tpkt" + std::to_string(c) + " seq=" +
                                                            std::to_string(tpktSent[c]++), 0.0});
      EXPECT_TRUE(clients[c].SendRaw(batch));
    }));
  }
  TDescriptor udp = SocketConnectDatagram("127.0.0.1", service.SysLogPort());
  senders.push_back(Paced(stop, [&] {
    for (int i = 0; i < 10 * perTick; ++i) {
      const std::string datagram = "mark=udp seq=" + std::to_string(udpSent++);
      EXPECT_GT(SocketWrite(udp.Get(), datagram.data(), datagram.size()), 0);
    }
  }));
  TDescriptor stream = SocketConnect("127.0.0.1", tcp[0]);
  ASSERT_TRUE(stream.Valid());
  senders.push_back(Paced(stop, [&] {
    std::string lines;
    for (int i = 0; i < perTick; ++i) lines += "<13>mark=tcp seq=" + std::to_string(tcpSent++) + "\n";
    EXPECT_TRUE(SocketWriteAll(stream.Get(), lines.data(), lines.size()));
  }));
  senders.emplace_back([&] {
    while (!stop.load()) {
      const long run = tlsRuns.load();
      std::string lines;
      for (int i = 0; i < 2000; ++i) lines += "<13>mark=tls" + std::to_string(run) + " seq=" + std::to_string(i) + "\n";
      const std::string input = certificates.Path("flood-input"), output = certificates.Path("flood-output");
      WriteFile(input, lines);
      std::system(("openssl s_client -connect 127.0.0.1:" + std::to_string(tls) + " -CAfile " +
                   certificates.Path("ca.pem") + " < " + input + " > " + output + " 2>&1")
                      .c_str());
      tlsRuns++;
    }
  });

  // A reload a second, alternating; every fourth one refused.
  const int reloads = std::max(6, static_cast<int>(30 * scale));
  const int answerMs = scale >= 1.0 ? 1000 : 5000;
  int current = 0, applied = 0, refused = 0;
  std::vector<bool> provided(static_cast<std::size_t>(reloads) + 1, false);
  auto count = [&](const std::string& text) {
    const auto texts = service.ServiceLogTexts();
    return std::count(texts.begin(), texts.end(), text);
  };
  for (int r = 1; r <= reloads; ++r) {
    SCOPED_TRACE("reload " + std::to_string(r));
    const auto started = std::chrono::steady_clock::now();
    const bool refuse = r % 4 == 0;
    if (refuse) {
      service.WriteConfig("LogMode=0\n", unusable[(r / 4) % 2]);
      ASSERT_TRUE(service.Signal(SIGHUP));
      ++refused;
      ASSERT_TRUE(WaitUntil([&] {
        const auto texts = service.ServiceLogTexts();
        return std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
                 return t.rfind("CONFIGURATION NOT RELOADED: ", 0) == 0;
               }) == refused;
      }));
    } else {
      current = 1 - current;
      configure(current);
      ASSERT_TRUE(service.Signal(SIGHUP));
      ++applied;
      ASSERT_TRUE(WaitUntil([&] { return count("CONFIGURATION RELOADED") == applied; })) << service.Stderr();
    }
    // What the configuration in effect names answers within a second; what
    // it took away no longer does. A refused reload changed nothing.
    EXPECT_TRUE(WaitUntil([&] { return Answers(tcp[current]); }, answerMs));
    EXPECT_TRUE(WaitUntil([&] { return !Answers(tcp[1 - current]); }, answerMs));
    if (current == 0) {
      EXPECT_TRUE(WaitUntil([&] { return Metric(metrics, "logserver_config_last_reload_success") == !refuse; },
                            answerMs));
    } else {
      EXPECT_TRUE(WaitUntil([&] { return !Answers(metrics); }, answerMs));
    }
    // A provider takes its messages only while it is configured: the
    // message is routed when it is written, which the line after it on the
    // same connection tells.
    provided[static_cast<std::size_t>(r)] = current == 0;
    TLogClient once;
    ASSERT_TRUE(once.Connect("127.0.0.1", service.ServicePort()));
    ASSERT_TRUE(once.Send({"provided", "m", "", "reload " + std::to_string(r), 0.0}));
    ASSERT_TRUE(once.Send({"after", "m", "", "reload " + std::to_string(r), 0.0}));
    ASSERT_TRUE(once.Finish(10000));
    ASSERT_TRUE(WaitUntil([&] {
      return JoinedFilesBelow(service.LogsDir() + "127.0.0.1/after/m/").find("reload " + std::to_string(r) + "\r\n") !=
             std::string::npos;
    }));
    std::this_thread::sleep_until(started + std::chrono::seconds(1));
  }
  stop = true;
  for (std::thread& sender : senders) sender.join();
  for (TLogClient& client : clients) EXPECT_TRUE(client.Finish(60000));
  stream.Reset();
  if (current != 0) {
    configure(0);
    ASSERT_TRUE(service.Signal(SIGHUP));
    ASSERT_TRUE(WaitUntil([&] { return count("CONFIGURATION RELOADED") == applied + 1; }));
  }

  // Every stream line once and in order; every datagram but those the
  // kernel dropped (none at this rate).
  const std::string syslogDir = service.LogsDir() + "127.0.0.1/SYSLOG/syslog/";
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto tpkt = Sequences(JoinedFilesBelow(service.LogsDir() + "127.0.0.1/flood/m/"));
        auto syslog = Sequences(JoinedFilesBelow(syslogDir));
        const long drops = Metric(metrics, "logserver_udp_kernel_drops_total");
        for (int c = 0; c < 3; ++c)
          if (tpkt["tpkt" + std::to_string(c)].Next != tpktSent[c]) return false;
        for (long run = 0; run < tlsRuns; ++run)
          if (syslog["tls" + std::to_string(run)].Next != 2000) return false;
        return syslog["tcp"].Next == tcpSent && drops >= 0 && syslog["udp"].Next + drops >= udpSent;
      },
      60000));
  EXPECT_EQ(Metric(metrics, "logserver_udp_kernel_drops_total"), 0);
  for (const auto& [mark, sequence] : Sequences(JoinedFilesBelow(service.LogsDir() + "127.0.0.1/flood/m/")))
    EXPECT_EQ(sequence.Wrong, 0) << mark;
  const auto syslog = Sequences(JoinedFilesBelow(syslogDir));
  for (const auto& [mark, sequence] : syslog) {
    EXPECT_EQ(sequence.Wrong, 0) << mark;
    if (mark.rfind("tls", 0) == 0) {
      EXPECT_EQ(sequence.Next, 2000) << mark;
    }
  }
  EXPECT_EQ(syslog.at("udp").Next, udpSent.load());
  EXPECT_GE(tlsRuns.load(), 2);
  // The provider's messages reached the files only under the configuration
  // without it.
  const std::string files = JoinedFilesBelow(service.LogsDir() + "127.0.0.1/provided/m/");
  for (int r = 1; r <= reloads; ++r)
    EXPECT_EQ(files.find("reload " + std::to_string(r) + "\r\n") == std::string::npos,
              provided[static_cast<std::size_t>(r)])
        << r;
  ExpectOrderlyStop(service);
}


TEST(ReloadTest, AReloadMovesTheTpktAndUdpPortsAndTheTree) {
  TServiceProcess service;
  service.WriteConfig("LogMode=0\n");
  service.Start();
  ASSERT_TRUE(service.WaitUntilServing());
  TLogClient kept;
  ASSERT_TRUE(kept.Connect("127.0.0.1", service.ServicePort()));
  ASSERT_TRUE(kept.Send({"app", "m", "", "before", 0.0}));
  const auto sendDatagram = [](std::uint16_t port, const std::string& text) {
    TDescriptor udp = SocketConnectDatagram("127.0.0.1", port);
    EXPECT_GT(SocketWrite(udp.Get(), text.data(), text.size()), 0);
  };
  sendDatagram(service.SysLogPort(), "<13>udp before");
  const std::string old = service.LogsDir(), moved = service.Dir() + "Moved/";
  ASSERT_TRUE(WaitUntil([&] {
    return JoinedFilesBelow(old + "127.0.0.1/app/m/") == "before\r\n" &&
           JoinedFilesBelow(old + "127.0.0.1/SYSLOG/syslog/") == "<13>udp before\r\n";
  }));

  const std::uint16_t tpkt = FreeTcpPort(), udp = FreeUdpPort();
  service.WriteRawConfig("[Common]\nServicePort=" + std::to_string(tpkt) + "\nSysLogPort=" + std::to_string(udp) +
                         "\nLogMode=0\nBaseCatalog=" + moved + "\n");
  ASSERT_TRUE(service.Signal(SIGHUP));
  // The old tree's own log tells where the lines go on; the new one goes on
  // from there.
  ASSERT_TRUE(service.WaitForServiceLog("BASE DIRECTORY NOW " + moved)) << service.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return JoinedFilesBelow(moved + "0.0.0.0/").find("CONFIGURATION RELOADED") != std::string::npos; }));
  EXPECT_TRUE(Answers(tpkt));
  EXPECT_FALSE(Answers(service.ServicePort()));
  // The connection made on the old port goes on, into the new tree.
  ASSERT_TRUE(kept.Send({"app", "m", "", "after", 0.0}));
  TLogClient fresh;
  ASSERT_TRUE(fresh.Connect("127.0.0.1", tpkt));
  ASSERT_TRUE(fresh.Send({"app", "m", "", "on the new port", 0.0}));
  sendDatagram(udp, "<13>udp after");
  ASSERT_TRUE(kept.Finish(10000));
  ASSERT_TRUE(fresh.Finish(10000));
  ASSERT_TRUE(WaitUntil([&] {
    const std::string text = JoinedFilesBelow(moved + "127.0.0.1/app/m/");
    return text.find("after\r\n") != std::string::npos && text.find("on the new port\r\n") != std::string::npos &&
           JoinedFilesBelow(moved + "127.0.0.1/SYSLOG/syslog/") == "<13>udp after\r\n";
  }));
  EXPECT_EQ(JoinedFilesBelow(old + "127.0.0.1/app/m/"), "before\r\n");
  EXPECT_EQ(JoinedFilesBelow(old + "127.0.0.1/SYSLOG/syslog/"), "<13>udp before\r\n");
  ExpectOrderlyStop(service);
  EXPECT_NE(JoinedFilesBelow(moved + "0.0.0.0/").find("Log Server stopped"), std::string::npos);
}

// Syslog datagrams into the real LogServer.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

using namespace logserver;
using namespace testing_support;

namespace {

class UdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sender = SocketCreateDatagram();
    ASSERT_TRUE(sender.Valid());
    ASSERT_EQ(SocketBind(sender.Get(), ParseIPv4("127.0.0.1"), 0), 0);
  }
  void TearDown() override { sender.Reset(); }

  void StartService(const std::string& extra = "") {
    service.WriteConfig(extra);
    service.Start();
    ASSERT_TRUE(service.WaitForServiceLog("Log Server started AS APPLICATION..."));
  }
  void StopService() { ExpectOrderlyStop(service); }
  void Send(const std::string& datagram) {
    TSocketAddress to{ParseIPv4("127.0.0.1"), service.SysLogPort()};
    ASSERT_EQ(SocketSendTo(sender.Get(), datagram.data(), datagram.size(), to),
              static_cast<long>(datagram.size()));
  }
  std::string Syslog() { return JoinedFilesBelow(service.LogsDir() + "127.0.0.1/SYSLOG/syslog/"); }
  // Sends `marker` until it has been written: the service binds its port on
  // its own thread, so the first datagrams may find no socket yet.
  void SendUntilWritten(const std::string& marker) {
    ASSERT_TRUE(WaitUntil(
        [&] {
          Send(marker);
          return WaitUntil([&] { return Syslog().find(marker + "\r\n") != std::string::npos; }, 200);
        },
        10000));
  }

  TServiceProcess service;
  TDescriptor sender;
};

}  // namespace

TEST_F(UdpTest, DatagramsBecomeLinesWithTrailingBlanksRemoved) {
  StartService();
  SendUntilWritten("ready");
  const std::size_t before = Syslog().size();
  Send("<13>Mar  5 14:07:09 host app: hello\n");
  Send("   \t ");
  Send("");
  Send(std::string(10000, 'x'));
  Send("  leading blanks stay");
  ASSERT_TRUE(WaitUntil([&] { return Syslog().find("stay\r\n") != std::string::npos; }));
  EXPECT_EQ(Syslog().substr(before), "<13>Mar  5 14:07:09 host app: hello\r\n\r\n" +
                                         std::string(8192, 'x') + "\r\n  leading blanks stay\r\n");
  const auto files = FilesBelow(service.LogsDir() + "127.0.0.1/SYSLOG/syslog/");
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(files[0].substr(files[0].rfind('/')).size(), std::string("/hh.log").size());
  StopService();
}

TEST_F(UdpTest, TheSystemLoggerIsUnderstood) {
  if (std::system("command -v logger >/dev/null 2>&1") != 0) GTEST_SKIP() << "logger is not installed";
  StartService();
  SendUntilWritten("ready");
  const std::string command = "logger -n 127.0.0.1 -P " + std::to_string(service.SysLogPort()) +
                              " -d --rfc3164 -t logtest 'sent by the system logger'";
  ASSERT_TRUE(WaitUntil(
      [&] {
        if (std::system(command.c_str()) != 0) return false;
        return WaitUntil(
            [&] {
              const std::string text = JoinedFilesBelow(service.LogsDir() + "127.0.0.1/SYSLOG/");
              return text.find("logtest: sent by the system logger\r\n") != std::string::npos;
            },
            1000);
      },
      10000));
  StopService();
}

TEST_F(UdpTest, LogModeTwoNamesTheSendersPort) {
  StartService("LogMode=2\n");
  SendUntilWritten("with mode two");
  const std::string line =
      "NEW MSG: [127.0.0.1:" + std::to_string(SocketLocalAddress(sender.Get()).Port) + "] \"with mode two\"";
  EXPECT_TRUE(service.WaitForServiceLog(line));
  StopService();
}

TEST_F(UdpTest, ASyslogPortInUseIsReportedAndTakenOnceFreeWhileTcpServes) {
  TDescriptor holder = SocketCreateDatagram();
  ASSERT_EQ(SocketBind(holder.Get(), ParseIPv4("0.0.0.0"), service.SysLogPort()), 0);
  StartService();
  TLogClient client;
  ASSERT_TRUE(WaitUntil([&] { return client.Connect("127.0.0.1", service.ServicePort()); }));
  ASSERT_TRUE(client.Send({"tcp", "m", "", "still served", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitUntil([&] {
    return JoinedFilesBelow(service.LogsDir() + "127.0.0.1/tcp/m/") == "still served\r\n";
  }));
  const std::string code = std::to_string(EADDRINUSE);
  ASSERT_TRUE(service.WaitForServiceLog("FAIL while create syslog point [code=" + code + "]"));
  // Standard error hears of it right after the service log.
  EXPECT_TRUE(WaitUntil([&] {
    return service.Stderr().find("syslog UDP port " + std::to_string(service.SysLogPort()) +
                                 " is not bound: Address already in use") != std::string::npos;
  })) << service.Stderr();
  // Once the port is free the service takes it, and then holds it alone.
  holder.Reset();
  SendUntilWritten("taken later");
  TDescriptor intruder = SocketCreateDatagram();
  SocketSetReuseAddress(intruder.Get());
  EXPECT_NE(SocketBind(intruder.Get(), ParseIPv4("0.0.0.0"), service.SysLogPort()), 0);
  EXPECT_EQ(errno, EADDRINUSE);
  StopService();
  const auto texts = service.ServiceLogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "FAIL while create syslog point [code=" + code + "]"), 1);
}

TEST_F(UdpTest, SigtermDuringABurstStopsInOrder) {
  StartService();
  SendUntilWritten("ready");
  std::atomic<bool> stop{false};
  std::thread burst([&] {
    const TSocketAddress to{ParseIPv4("127.0.0.1"), service.SysLogPort()};
    const std::string datagram = "<14>burst of datagrams " + std::string(200, 'b');
    for (int i = 0; i < 200000 && !stop.load(); ++i)
      SocketSendTo(sender.Get(), datagram.data(), datagram.size(), to);
  });
  ASSERT_TRUE(WaitUntil([&] { return Syslog().find("burst") != std::string::npos; }));
  ASSERT_TRUE(service.Signal(SIGTERM));
  int status = -1;
  const bool ended = service.WaitExit(status, 10000);
  stop = true;
  burst.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(status, 0);
  const auto texts = service.ServiceLogTexts();
  const auto expected = StopSequenceTexts();
  ASSERT_GE(texts.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(texts.end() - static_cast<long>(expected.size()), texts.end()),
            expected);
  // Every line written is whole.
  for (const std::string& line : SplitCrLf(Syslog()))
    EXPECT_TRUE(line == "ready" || line == "<14>burst of datagrams " + std::string(200, 'b')) << line;
}

// Messages claimed by a [Providers] entry reach a real syslog collector
// (rsyslog, on loopback) through the forwarding provider.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/Rsyslog.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace logserver;
using namespace testing_support;

namespace {

// rsyslogd with one TCP input and one output file.
class TCollector {
 public:
  TCollector()
      : Port_(FreeTcpPort()),
        Rsyslog("module(load=\"imtcp\")\n"
                "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(Port_) + "\")\n"
                "template(name=\"plain\" type=\"string\" string=\"%hostname% %app-name% %msgid% %msg%\\n\")\n"
                "*.* action(type=\"omfile\" file=\"@DIR@received.log\" template=\"plain\")\n") {}

  bool Start() {
    return Rsyslog.Start() && WaitUntil([&] { return SocketConnect("127.0.0.1", Port_).Valid(); });
  }
  void Stop() { Rsyslog.Stop(); }
  std::uint16_t Port() const { return Port_; }
  bool Received(const std::string& line, int timeoutMs = 15000) const {
    return WaitUntil([&] { return ReadFile(Rsyslog.Path() + "received.log").find(line + "\n") != std::string::npos; },
                     timeoutMs);
  }

 private:
  std::uint16_t Port_;
  TRsyslog Rsyslog;
};

class ForwardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TRsyslog::Installed()) GTEST_SKIP() << "rsyslog is not installed";
    ASSERT_TRUE(collector.Start());
    service.WriteConfig("LogMode=0\n", "[Providers]\n127.0.0.1|fwd|core|=" + std::string(LOGSERVER_FORWARD) +
                                           " tcp://127.0.0.1:" + std::to_string(collector.Port()) + "\n");
    service.Start();
    ASSERT_TRUE(service.WaitForServiceLog("Log Server started AS APPLICATION..."));
    ASSERT_TRUE(WaitUntil([&] { return client.Connect("127.0.0.1", service.ServicePort()); }));
  }
  void TearDown() override {
    if (!service.Signal(SIGTERM)) return;
    int status = -1;
    EXPECT_TRUE(service.WaitExit(status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(service.ForeignStderr(), "");
  }
  void Send(const std::string& text) { ASSERT_TRUE(client.Send({"fwd", "core", "", text, 0.0})); }

  TCollector collector;
  TServiceProcess service;
  TLogClient client;
};

}  // namespace

TEST_F(ForwardTest, ClaimedMessagesReachTheCollectorAndNoFile) {
  for (int i = 0; i < 20; ++i) Send("forwarded message " + std::to_string(i));
  for (int i = 0; i < 20; ++i)
    EXPECT_TRUE(collector.Received("127.0.0.1 fwd core forwarded message " + std::to_string(i)));
  ASSERT_TRUE(client.Send({"local", "core", "", "not claimed", 0.0}));
  ASSERT_TRUE(WaitUntil([&] { return Exists(service.LogsDir() + "127.0.0.1/local"); }));
  EXPECT_FALSE(Exists(service.LogsDir() + "127.0.0.1/fwd"));
  const auto texts = service.ServiceLogTexts();
  for (const std::string& text : texts) EXPECT_EQ(text.find("NOT USED"), std::string::npos) << text;
}

TEST_F(ForwardTest, TheForwarderRecoversWhenTheCollectorComesBack) {
  Send("before the outage");
  ASSERT_TRUE(collector.Received("127.0.0.1 fwd core before the outage"));
  collector.Stop();
  for (int i = 0; i < 10; ++i) Send("during the outage " + std::to_string(i));
  ASSERT_TRUE(collector.Start());
  Send("after the outage");
  EXPECT_TRUE(collector.Received("127.0.0.1 fwd core after the outage"));
  for (int i = 0; i < 10; ++i)
    EXPECT_TRUE(collector.Received("127.0.0.1 fwd core during the outage " + std::to_string(i), 1000));
}

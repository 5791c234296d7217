// Messages claimed by a [Providers] entry reach a real syslog collector
// (rsyslog, on loopback) through the forwarding provider.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace logserver;
using namespace testing_support;

namespace {

const char* const kRsyslogd = "/usr/sbin/rsyslogd";

// rsyslogd in the foreground with one TCP input and one output file.
class TCollector {
 public:
  TCollector() : Port_(FreeTcpPort()) {
    WriteFile(Directory.Path() + "rsyslog.conf",
              "global(workDirectory=\"" + Directory.Path() + "\")\n"
              "module(load=\"imtcp\")\n"
              "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(Port_) + "\")\n"
              "template(name=\"plain\" type=\"string\" string=\"%hostname% %app-name% %msgid% %msg%\\n\")\n"
              "*.* action(type=\"omfile\" file=\"" + Output() + "\" template=\"plain\")\n");
  }
  ~TCollector() { Stop(); }

  bool Start() {
    Process.Start({kRsyslogd, "-n", "-f", Directory.Path() + "rsyslog.conf", "-i", Directory.Path() + "pid"},
                   Directory.Path() + "out.txt", Directory.Path() + "err.txt");
    return WaitUntil([&] {
      return SocketConnect("127.0.0.1", Port_).Valid();
    });
  }
  void Stop() {
    if (!Process.Running()) return;
    Process.Signal(SIGTERM);
    int status = 0;
    Process.WaitExit(status);
  }
  std::uint16_t Port() const { return Port_; }
  std::string Output() const { return Directory.Path() + "received.log"; }
  bool Received(const std::string& line, int timeoutMs = 15000) const {
    return WaitUntil([&] { return ReadFile(Output()).find(line + "\n") != std::string::npos; },
                     timeoutMs);
  }

 private:
  TTempDir Directory;
  std::uint16_t Port_;
  TChildProcess Process;
};

class ForwardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(kRsyslogd)) GTEST_SKIP() << "rsyslog is not installed";
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

// Load and fault tests against the real LogServer, bounded in count and time,
// on loopback. Every message carries its sender and a sequence number, and
// the files are checked for every line once, in order per sender, untorn.
// LOGSERVER_LOAD_SCALE (make load: 10) multiplies the message counts.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>

using namespace logserver;
using namespace testing_support;

namespace {

std::string Text(int sender, int sequence) {
  // Lengths vary so that lines cross write and frame boundaries unevenly.
  return "sender " + std::to_string(sender) + " seq " + std::to_string(sequence) + " " +
         std::string(static_cast<std::size_t>((sender * 31 + sequence * 7) % 120), 'p');
}

// Checks that `lines` hold, for every sender, 0..counts[sender]-1 in order,
// each whole. Lines of other shapes are reported.
void ExpectAllInOrder(const std::vector<std::string>& lines, const std::vector<int>& counts) {
  std::vector<int> next(counts.size(), 0);
  int bad = 0;
  for (const std::string& line : lines) {
    int sender = -1, sequence = -1;
    if (std::sscanf(line.c_str(), "sender %d seq %d", &sender, &sequence) != 2 || sender < 0 ||
        sender >= static_cast<int>(counts.size()) || line != Text(sender, sequence)) {
      if (++bad <= 5) ADD_FAILURE() << "torn or foreign line: " << line;
      continue;
    }
    if (sequence != next[sender] && ++bad <= 5)
      ADD_FAILURE() << "sender " << sender << " got " << sequence << ", expected " << next[sender];
    next[sender] = sequence + 1;
  }
  for (std::size_t s = 0; s < counts.size(); ++s)
    EXPECT_EQ(next[s], counts[s]) << "sender " << s;
  EXPECT_EQ(bad, 0);
}

class LoadTest : public ::testing::Test {
 protected:
  void StartService(const std::string& extra = "LogMode=0\n") {
    service.WriteConfig(extra);
    service.Start();
    ASSERT_TRUE(service.WaitUntilServing());
  }
  void StopWithin(int milliseconds) {
    ASSERT_TRUE(service.Signal(SIGTERM));
    int status = -1;
    ASSERT_TRUE(service.WaitExit(status, milliseconds)) << "no exit within " << milliseconds << " ms";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(service.ForeignStderr(), "");
  }
  std::string Written(const std::string& app) {
    return JoinedFilesBelow(service.LogsDir() + "127.0.0.1/" + app + "/m/");
  }
  bool WaitForLines(const std::string& app, std::size_t n, int timeoutMs = 60000) {
    return WaitUntil([&] { return SplitCrLf(Written(app)).size() >= n; }, timeoutMs);
  }

  TServiceProcess service;
};

// Sends `count` messages from each of `clients` connections, one thread per
// connection, and returns whether every send and every finish succeeded.
bool SendFromClients(std::uint16_t port, int clients, int count, const std::string& app,
                     const std::atomic<bool>* stop = nullptr) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      TLogClient client;
      if (!client.Connect("127.0.0.1", port)) {
        ++failures;
        return;
      }
      std::string batch;
      for (int s = 0; s < count && !(stop && stop->load()); ++s) {
        batch += BuildClientLogFrame({app, "m", "", Text(c, s), 0.0});
        if (batch.size() > 32768 || s + 1 == count) {
          if (!client.SendRaw(batch)) {
            if (!stop) ++failures;
            return;
          }
          batch.clear();
        }
      }
      if (!stop && !client.Finish(60000)) ++failures;
    });
  }
  for (auto& t : threads) t.join();
  return failures.load() == 0;
}

}  // namespace

TEST_F(LoadTest, FiftyConnectionsLoseNothing) {
  StartService();
  const int clients = 50;
  const int each = static_cast<int>(20000 * LoadScale());  // 1,000,000 in all at scale 1
  ASSERT_TRUE(SendFromClients(service.ServicePort(), clients, each, "load"));
  ASSERT_TRUE(WaitForLines("load", static_cast<std::size_t>(clients) * each, 120000));
  ExpectAllInOrder(SplitCrLf(Written("load")), std::vector<int>(clients, each));
  EXPECT_LT(service.RssKiB(), 512 * 1024);
  StopWithin(5000);
}

TEST_F(LoadTest, SigtermInTheMiddleOfTcpLoadStopsCleanly) {
  StartService();
  std::atomic<bool> stop{false};
  // Bounded, yet far more than is written by the time the signal comes.
  const int each = static_cast<int>(50000 * LoadScale());
  std::thread load([&] { SendFromClients(service.ServicePort(), 20, each, "busy", &stop); });
  ASSERT_TRUE(WaitForLines("busy", 10000));
  StopWithin(5000);
  stop = true;
  load.join();
  // What was written is whole and in order, even if not everything was.
  std::map<int, int> next;
  for (const std::string& line : SplitCrLf(Written("busy"))) {
    int sender = -1, sequence = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "sender %d seq %d", &sender, &sequence), 2) << line;
    ASSERT_EQ(line, Text(sender, sequence));
    ASSERT_EQ(sequence, next[sender]) << "sender " << sender;
    next[sender] = sequence + 1;
  }
}

TEST_F(LoadTest, TwoThousandConnectionsAreAllServed) {
  const int clients = 2000;
  if (RaiseDescriptorLimit(8192) < 8192) GTEST_SKIP() << "cannot raise the descriptor limit";
  StartService();
  std::vector<std::unique_ptr<TLogClient>> open;
  for (int c = 0; c < clients; ++c) {
    open.push_back(std::make_unique<TLogClient>());
    ASSERT_TRUE(open.back()->Connect("127.0.0.1", service.ServicePort())) << c;
    ASSERT_TRUE(open.back()->Send({"many", "m", "", Text(c, 0), 0.0}));
  }
  ASSERT_TRUE(WaitForLines("many", clients));
  EXPECT_GT(service.OpenDescriptors(), clients);  // descriptors above 1024 in use
  for (int c = 0; c < clients; ++c) ASSERT_TRUE(open[c]->Send({"many", "m", "", Text(c, 1), 0.0}));
  ASSERT_TRUE(WaitForLines("many", 2 * clients));
  ExpectAllInOrder(SplitCrLf(Written("many")), std::vector<int>(clients, 2));
  StopWithin(10000);
}

TEST_F(LoadTest, TenThousandSyslogSendersKeepDescriptorsBounded) {
  if (RaiseDescriptorLimit(4096) < 1024) GTEST_SKIP();
  StartService();
  const int senders = 10000;
  const TSocketAddress to{ParseIPv4("127.0.0.1"), service.SysLogPort()};
  int sent = 0;
  std::uint16_t port = 20000;
  while (sent < senders && port < 65000) {
    // Sent in rounds that the service absorbs, so that the kernel drops none.
    const int round = std::min(senders - sent, 500);
    for (int i = 0; i < round && port < 65000; ++port) {
      TDescriptor fd = SocketCreateDatagram();
      ASSERT_TRUE(fd.Valid());
      if (SocketBind(fd.Get(), ParseIPv4("127.0.0.1"), port) == 0) {
        const std::string text = Text(sent + i, 0);
        SocketSendTo(fd.Get(), text.data(), text.size(), to);
        ++i;
      }
      fd.Reset();
    }
    sent += round;
    ASSERT_TRUE(WaitUntil([&] {
      return SplitCrLf(JoinedFilesBelow(service.LogsDir() + "127.0.0.1/SYSLOG/")).size() >=
             static_cast<std::size_t>(sent);
    }, 30000)) << "after " << sent;
    EXPECT_LT(service.OpenDescriptors(), 300);
  }
  ASSERT_EQ(sent, senders);
  std::vector<std::string> lines = SplitCrLf(JoinedFilesBelow(service.LogsDir() + "127.0.0.1/SYSLOG/"));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(std::unique(lines.begin(), lines.end()) - lines.begin(), senders);
  // TCP and the service log still work.
  ASSERT_TRUE(SendFromClients(service.ServicePort(), 3, 100, "after"));
  ASSERT_TRUE(WaitForLines("after", 300));
  EXPECT_LT(service.OpenDescriptors(), 300);
  StopWithin(10000);
  const auto texts = service.ServiceLogTexts();
  EXPECT_EQ(texts.back(), "Log Server stopped");
}

TEST_F(LoadTest, HostileClientsDoNotDisturbTheOthers) {
  StartService();
  std::atomic<bool> stop{false};
  std::vector<std::thread> hostile;
  // Resets in the middle of a frame.
  hostile.emplace_back([&] {
    const std::string frame = BuildClientLogFrame({"hostile", "m", "", "never complete", 0.0});
    for (int i = 0; i < 300 && !stop; ++i) {
      TDescriptor fd = SocketConnect("127.0.0.1", service.ServicePort());
      if (!fd) continue;
      SocketWrite(fd.Get(), frame.data(), frame.size() / 2);
      const linger reset{1, 0};
      SocketSetOption(fd.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      fd.Reset();
    }
  });
  // Garbage for seconds.
  hostile.emplace_back([&] {
    TDescriptor fd = SocketConnect("127.0.0.1", service.ServicePort());
    if (!fd) return;
    std::string garbage(4096, '\0');
    unsigned seed = 7;
    for (int i = 0; i < 2000 && !stop; ++i) {
      for (char& c : garbage) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
      if (SocketWrite(fd.Get(), garbage.data(), garbage.size()) < 0) break;
    }
    fd.Reset();
  });
  // Thousands of connections opened and closed.
  hostile.emplace_back([&] {
    for (int i = 0; i < 3000 && !stop; ++i) SocketConnect("127.0.0.1", service.ServicePort()).Reset();
  });
  const bool polite = SendFromClients(service.ServicePort(), 5, 2000, "polite");
  const bool written = polite && WaitForLines("polite", 5 * 2000);
  // The stop comes while the hostile clients are still at it.
  StopWithin(5000);
  stop = true;
  for (auto& t : hostile) t.join();
  ASSERT_TRUE(written);
  ExpectAllInOrder(SplitCrLf(Written("polite")), std::vector<int>(5, 2000));
  EXPECT_FALSE(Exists(service.LogsDir() + "127.0.0.1/hostile"));
}

TEST_F(LoadTest, ASenderOfEverNewDeepNamesCannotHoldUpAnothersLines) {
  StartService();
  TLogClient steady;
  ASSERT_TRUE(steady.Connect("127.0.0.1", service.ServicePort()));
  ASSERT_TRUE(steady.Send({"steady", "m", "", "before", 0.0}));
  ASSERT_TRUE(WaitForLines("steady", 1));
  // Never the same name twice, fourteen levels each: every message would
  // make a dozen directories.
  std::atomic<bool> stop{false}, done{false};
  std::atomic<long> sent{0};
  std::thread flood([&] {
    TLogClient client;
    if (client.Connect("127.0.0.1", service.ServicePort())) {
      std::string batch;
      for (long i = 0; i < 5000000 && !stop; ++i) {
        const std::string n = std::to_string(i);
        batch += BuildClientLogFrame({"a" + n + "/b/c/d/e/f/g", "m" + n + "/b/c/d/e/f/g", "", "deep", 0.0});
        if (batch.size() > 16384) {
          if (!client.SendRaw(batch)) break;
          batch.clear();
          sent = i + 1;
        }
      }
    }
    done = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return sent > 5000 || done; }, 30000));
  std::string lines;
  for (int i = 0; i < 100; ++i) lines += BuildClientLogFrame({"steady", "m", "", "during " + std::to_string(i), 0.0});
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(steady.SendRaw(lines));
  const bool arrived = WaitForLines("steady", 101, 60000);
  const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  const bool stillSending = !done;
  stop = true;
  flood.join();
  std::printf("the steady client's 100 lines took %lld ms while %ld deep ones had been sent\n",
              static_cast<long long>(delay.count()), sent.load());
  EXPECT_TRUE(arrived);
  EXPECT_TRUE(stillSending);
  ASSERT_TRUE(WaitUntil([&] { return service.ServiceLog().find("NEW PATHS OVER BUDGET: ") != std::string::npos; }));
  EXPECT_TRUE(Exists(service.LogsDir() + "127.0.0.1/overflow~0000000000000000"));
  ASSERT_TRUE(steady.Finish(5000));
}

TEST_F(LoadTest, AFullDiskDropsOnlyWhatCannotBeWrittenAndRecovers) {
  const std::string logs = service.LogsDir();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return std::system(("mkdir -p " + logs).c_str()) == 0; }));
  if (mount("logserver-test", logs.c_str(), "tmpfs", 0, "size=2m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{logs};

  StartService();
  ASSERT_TRUE(SendFromClients(service.ServicePort(), 1, 100, "disk"));
  ASSERT_TRUE(WaitForLines("disk", 100));
  // Fill the filesystem to the last byte.
  const std::string filler = logs + "filler";
  std::system(("dd if=/dev/zero of=" + filler + " bs=4k >/dev/null 2>&1").c_str());
  std::system(("dd if=/dev/zero of=" + filler + "-tail bs=1 >/dev/null 2>&1").c_str());
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  int s = 100;
  for (; s < 5100; ++s) ASSERT_TRUE(client.Send({"disk", "m", "", Text(0, s), 0.0}));
  ASSERT_TRUE(client.Finish(30000));
  EXPECT_LT(service.RssKiB(), 256 * 1024);
  // The first line that found no room is reported at once.
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("LOST LOG LINES: ") != std::string::npos; }));
  EXPECT_NE(service.Stderr().find("No space left on device"), std::string::npos) << service.Stderr();
  // Free the space: writing resumes with the next line.
  std::remove(filler.c_str());
  std::remove((filler + "-tail").c_str());
  TLogClient after;
  ASSERT_TRUE(after.Connect("127.0.0.1", service.ServicePort()));
  ASSERT_TRUE(after.Send({"disk", "m", "", "after the disk was freed", 0.0}));
  ASSERT_TRUE(after.Finish(10000));
  ASSERT_TRUE(WaitUntil([&] { return Written("disk").find("after the disk was freed\r\n") != std::string::npos; }));
  // Everything that reached the file is whole, and in order.
  const auto lines = SplitCrLf(Written("disk"));
  int next = 0;
  for (const std::string& line : lines) {
    if (line == "after the disk was freed") continue;
    int sender = -1, sequence = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "sender %d seq %d", &sender, &sequence), 2) << line;
    ASSERT_EQ(line, Text(sender, sequence));
    ASSERT_GE(sequence, next);
    next = sequence + 1;
  }
  EXPECT_GE(lines.size(), 101u);
  EXPECT_LT(lines.size(), 5101u);  // the full disk did drop lines
  StopWithin(5000);
}

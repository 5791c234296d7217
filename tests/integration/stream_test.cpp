// Collectors publishing to real NATS JetStream servers on loopback, and the
// archive writer rebuilding the tree from the stream: the archive's files
// must equal the collectors' byte for byte, through server kills, outages,
// collector restarts and crashes of the writer itself.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

using namespace logserver;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const char* const kNatsServer = "/usr/sbin/nats-server";

bool PortTakesClients(std::uint16_t port) {
  TLogClient probe;
  return probe.Connect("127.0.0.1", port);
}

// One nats-server with JetStream, alone or one node of a cluster.
class TNatsServer {
 public:
  TNatsServer(const std::string& name, const std::string& dir)
      : Name(name), Dir(dir), Port(ClaimPort()), ClusterPort(ClaimPort()) {}

  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(Port); }
  std::string Route() const { return "nats://127.0.0.1:" + std::to_string(ClusterPort); }

  void Start(const std::vector<std::string>& routes = {}) {
    std::vector<std::string> argv{kNatsServer, "-js",   "-sd", Dir + Name + "-js", "-a", "127.0.0.1",
                                  "-p",        std::to_string(Port), "-n", Name};
    if (!routes.empty()) {
      std::string joined;
      for (const std::string& route : routes) joined += (joined.empty() ? "" : ",") + route;
      argv.insert(argv.end(), {"--cluster_name", "logs", "--cluster", Route(), "--routes", joined});
    }
    Process = std::make_unique<TChildProcess>();
    Process->Start(argv, Dir + Name + ".out", Dir + Name + ".err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!PortTakesClients(Port) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  void Kill() {
    Process->Signal(SIGKILL);
    int status = 0;
    Process->WaitExit(status);
  }

  const std::string Name, Dir;
  const std::uint16_t Port, ClusterPort;
  std::unique_ptr<TChildProcess> Process;
};

// Every file below `dir` by its path relative to it, with its bytes.
std::map<std::string, std::string> TreeFiles(const std::string& dir) {
  std::map<std::string, std::string> files;
  if (!fs::exists(dir)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    files[fs::relative(entry.path(), dir).string()] = content.str();
  }
  return files;
}

std::size_t Lines(const std::map<std::string, std::string>& files) {
  std::size_t lines = 0;
  for (const auto& [path, content] : files) lines += static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'));
  return lines;
}

std::string ReadTail(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kNatsServer)) GTEST_SKIP() << "nats-server is not installed (apt-get install nats-server)";
  }

  // Servers: one alone, or three in a cluster.
  void StartServers(int count) {
    for (int i = 0; i < count; ++i)
      Servers.push_back(std::make_unique<TNatsServer>("n" + std::to_string(i), Work.Path()));
    std::vector<std::string> routes;
    if (count > 1)
      for (const auto& server : Servers) routes.push_back(server->Route());
    for (const auto& server : Servers) server->Start(routes);
  }
  std::string ServerUrls() const {
    std::string urls;
    for (const auto& server : Servers) urls += (urls.empty() ? "" : ",") + server->Url();
    return urls;
  }

  void StartCollector(TServiceProcess& collector, int replicas) {
    collector.WriteConfig("LogMode=1\n", "[Stream]\nServers=" + ServerUrls() +
                                             "\nReplicas=" + std::to_string(replicas) + "\n");
    collector.Start();
    ASSERT_TRUE(collector.WaitUntilServing());
    ASSERT_TRUE(collector.WaitForServiceLog("STREAM LINK UP: " + ServerUrls(), 30000)) << collector.ServiceLog();
  }

  void StartArchive() {
    std::ofstream(Work.Path() + "archive.conf")
        << "[Archive]\nServers=" << ServerUrls() << "\nBaseCatalog=" << ArchiveDir() << "\n";
    Archive = std::make_unique<TChildProcess>();
    // Each run's own standard error, all shown when the archive is wrong.
    Archive->Start({LOGSERVER_ARCHIVE, "--config=" + Work.Path() + "archive.conf"},
                   Work.Path() + "archive.out", Work.Path() + "archive-" + std::to_string(++ArchiveRuns) + ".err");
  }
  std::string ArchiveDir() const { return Work.Path() + "archive/"; }

  // Client records "<tag> <n>" for n in [from, to) on one connection.
  static void Send(TServiceProcess& collector, const std::string& module, int from, int to) {
    TLogClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", collector.ServicePort()));
    tClientLogMessage message;
    message.ApplicationName = "app";
    message.ModuleName = module;
    message.EventTime = 45356.5;
    for (int n = from; n < to; ++n) {
      message.Text = module + " " + std::to_string(n);
      ASSERT_TRUE(client.Send(message));
    }
    ASSERT_TRUE(client.Finish(30000));
  }

  // Waits until the collector has written `lines` lines for its senders.
  static void WaitWritten(TServiceProcess& collector, std::size_t lines) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Lines(TreeFiles(collector.LogsDir() + "127.0.0.1/")) < lines &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(Lines(TreeFiles(collector.LogsDir() + "127.0.0.1/")), lines);
  }

  // The archive holds exactly what the collectors wrote for their senders.
  // With `inOrder` false each file must hold the same lines, in any order.
  void ExpectArchiveEquals(const std::vector<TServiceProcess*>& collectors, std::size_t lines,
                           bool inOrder = true, int timeoutMs = 90000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::map<std::string, std::string> expected;
    while (std::chrono::steady_clock::now() < deadline) {
      expected.clear();
      for (TServiceProcess* collector : collectors)
        for (auto& [path, content] : TreeFiles(collector->LogsDir() + "127.0.0.1/"))
          expected[path] += content;
      if (Lines(expected) >= lines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(Lines(expected), lines) << collectors.front()->ServiceLog() << [&] {
      std::string counts;
      for (const auto& [path, content] : expected)
        counts += path + " " + std::to_string(std::count(content.begin(), content.end(), '\n')) + "\n";
      return counts;
    }();
    std::map<std::string, std::string> archived;
    while (std::chrono::steady_clock::now() < deadline) {
      archived = TreeFiles(ArchiveDir() + "127.0.0.1/");
      if (Lines(archived) >= lines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (Lines(archived) != lines) {
      for (const auto& server : Servers) std::cerr << ReadTail(server->Dir + server->Name + ".err");
      for (int run = 1; run <= ArchiveRuns; ++run) std::cerr << ReadTail(Work.Path() + "archive-" + std::to_string(run) + ".err");
      // The first lines written and not archived, if any.
      std::map<std::string, int> have;
      for (const auto& entry : archived) {
        std::istringstream in(entry.second);
        for (std::string line; std::getline(in, line);) ++have[entry.first + "|" + line];
      }
      int shown = 0;
      for (const auto& entry : expected) {
        std::istringstream in(entry.second);
        for (std::string line; std::getline(in, line) && shown < 20;)
          if (have[entry.first + "|" + line]-- <= 0 && ++shown) std::cerr << "not archived in " << entry.first << ": " << line << "\n";
      }
      // The lines archived more than once, if any.
      std::map<std::string, int> seen;
      for (const auto& entry : archived) {
        std::istringstream in(entry.second);
        for (std::string line; std::getline(in, line);)
          if (++seen[line] == 2) std::cerr << "archived twice in " << entry.first << ": " << line << "\n";
      }
      for (TServiceProcess* collector : collectors) {
        collector->Signal(SIGTERM);
        int status = 0;
        collector->WaitExit(status);
        std::cerr << ReadTail(collector->LogsDir() + "0.0.0.0/") << collector->ServiceLog();
      }
    }
    ASSERT_EQ(Lines(archived), lines);
    ASSERT_EQ(archived.size(), expected.size());
    auto sorted = [](const std::string& text) {
      std::vector<std::string> items;
      std::istringstream in(text);
      for (std::string line; std::getline(in, line);) items.push_back(line);
      std::sort(items.begin(), items.end());
      return items;
    };
    for (const auto& entry : expected) {
      // Named, not bound: a lambda may not take a structured binding (C++20 in clang 14).
      const std::string& path = entry.first;
      const std::string& content = entry.second;
      EXPECT_TRUE(inOrder ? archived[path] == content : sorted(archived[path]) == sorted(content))
          << path << ": " << archived[path].size() << " bytes archived, " << content.size() << " written"
          << [&] {
               // Where they part, and the archive's files.
               const std::string& a = archived[path];
               std::size_t at = 0;
               while (at < a.size() && at < content.size() && a[at] == content[at]) ++at;
               std::string shown = "\nfirst difference at byte " + std::to_string(at) + ": archived \"" +
                                   a.substr(at, 120) + "\" written \"" + content.substr(at, 120) + "\"\n";
               for (const auto& [name, bytes] : archived) shown += name + "\n";
               return shown;
             }();
    }
  }

  void StopArchive() {
    Archive->Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(Archive->WaitExit(status));
    EXPECT_EQ(status, 0);
  }

  TTempDir Work;
  std::vector<std::unique_ptr<TNatsServer>> Servers;
  std::unique_ptr<TChildProcess> Archive;
  int ArchiveRuns = 0;
};

// Two collectors into a three-node cluster (3 replicas), hostile names
// among the modules, one archive writer: every line once, in order, in the
// same file. Then one server is killed and started again during a second
// flood: still every line once (a message sent again after the failure may
// be stored after later ones, so the order within a file may differ there).
TEST_F(StreamTest, TwoCollectorsThroughAClusterAreArchivedExactlyAlsoWhenAServerIsKilled) {
  StartServers(3);
  TServiceProcess first, second;
  StartCollector(first, 3);
  StartCollector(second, 3);
  TDescriptor udp = SocketCreateDatagram();
  const std::string datagram = "<13>Dec 10 06:00:00 host tag: over udp";
  ASSERT_EQ(SocketSendTo(udp.Get(), datagram.data(), datagram.size(),
                         TSocketAddress{ParseIPv4("127.0.0.1"), second.SysLogPort()}),
            static_cast<long>(datagram.size()));
  WaitWritten(second, 1);
  const int n = static_cast<int>(20000 * std::max(LoadScale(), 0.25));
  {
    std::thread a([&] { Send(first, "first", 0, n); });
    Send(second, "a.*.> b", 0, n);
    a.join();
  }
  StartArchive();
  std::size_t total = static_cast<std::size_t>(2 * n + 1);
  ExpectArchiveEquals({&first, &second}, total);

  std::thread a([&] { Send(first, "other", 0, n); });
  Send(second, "late", 0, n / 2);
  Servers[1]->Kill();
  Send(second, "later", 0, n / 2);
  Servers[1]->Start({Servers[0]->Route(), Servers[1]->Route(), Servers[2]->Route()});
  a.join();
  Send(first, "after", 0, n / 4);
  total += static_cast<std::size_t>(n + n / 2 + n / 2 + n / 4);
  ExpectArchiveEquals({&first, &second}, total, /*inOrder=*/false);
  ExpectOrderlyStop(first);
  ExpectOrderlyStop(second);
  EXPECT_NE(first.ServiceLog().find(" 0 dropped, 0 bytes left in the spool"), std::string::npos)
      << first.ServiceLog();
  StopArchive();
}

// All servers gone during a flood: the collector keeps writing its files
// and spools; stopped and started again while they are gone, it keeps its
// spool; once they are back everything reaches the archive once.
TEST_F(StreamTest, AnOutageAndACollectorRestartLoseNothing) {
  StartServers(1);
  TServiceProcess collector;
  StartCollector(collector, 1);
  const int n = static_cast<int>(20000 * std::max(LoadScale(), 0.25));
  Send(collector, "before", 0, n);
  Servers[0]->Kill();
  Send(collector, "during", 0, n);
  ASSERT_TRUE(collector.WaitForServiceLog("STREAM LINK DOWN: " + ServerUrls(), 15000));
  Send(collector, "down", 0, n);
  WaitWritten(collector, static_cast<std::size_t>(3 * n));
  ExpectOrderlyStop(collector);
  const std::string spool = collector.LogsDir() + "0.0.0.0/.stream-spool/";
  std::uintmax_t spooled = 0;
  for (const auto& entry : fs::directory_iterator(spool)) spooled += entry.file_size();
  EXPECT_GT(spooled, 0u);

  collector.Start();
  ASSERT_TRUE(collector.WaitUntilServing());
  Send(collector, "restarted", 0, n);
  Servers[0]->Start();
  StartArchive();
  ExpectArchiveEquals({&collector}, static_cast<std::size_t>(4 * n));
  ExpectOrderlyStop(collector);
  EXPECT_TRUE(fs::is_empty(spool));
  StopArchive();
}

// The archive writer killed while it writes, again and again: no line lost,
// none written twice. (What a killed writer had taken may come again after
// later messages, so the order within a file may differ there.)
TEST_F(StreamTest, AnArchiveWriterKilledMidBatchWritesEveryLineOnce) {
  StartServers(1);
  TServiceProcess collector;
  StartCollector(collector, 1);
  const int n = static_cast<int>(60000 * std::max(LoadScale(), 0.25));
  Send(collector, "one", 0, n);
  Send(collector, "two", 0, n);
  for (int kill = 1; kill <= 2; ++kill) {
    StartArchive();
    // Killed once it has written a part.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Lines(TreeFiles(ArchiveDir() + "127.0.0.1/")) < static_cast<std::size_t>(kill * n * 2 / 3) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Archive->Signal(SIGKILL);
    int status = 0;
    ASSERT_TRUE(Archive->WaitExit(status));
  }
  StartArchive();
  ExpectArchiveEquals({&collector}, static_cast<std::size_t>(2 * n), /*inOrder=*/false);
  StopArchive();
  ExpectOrderlyStop(collector);
}

}  // namespace

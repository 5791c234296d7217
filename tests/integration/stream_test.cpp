// Collectors publishing to real NATS JetStream servers on loopback, and the
// archive writer rebuilding the tree from the stream: the archive's files
// must equal the collectors' byte for byte, through server kills, outages,
// collector restarts and crashes of the writer itself.
#include "core/uLogClient.h"
#include "platform/uByteOrder.h"
#include "platform/uSocket.h"
#include "producers/uLogProducerHolder.h"
#include "stream/uStreamRecord.h"
#include "support/NatsClient.h"
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

  void StartCollector(TServiceProcess& collector, int replicas, const std::string& streamLines = "") {
    collector.WriteConfig("LogMode=1\n", "[Stream]\nServers=" + ServerUrls() + "\nReplicas=" +
                                             std::to_string(replicas) + "\n" + streamLines);
    collector.Start();
    ASSERT_TRUE(collector.WaitUntilServing());
    ASSERT_TRUE(collector.WaitForServiceLog("STREAM LINK UP: " + ServerUrls(), 30000)) << collector.ServiceLog();
  }

  void StartArchive(const std::string& base = "") {
    std::ofstream(Work.Path() + "archive.conf")
        << "[Archive]\nServers=" << ServerUrls() << "\nBaseCatalog=" << (base.empty() ? ArchiveDir() : base) << "\n";
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

  // Client records "<module> <n>" from `from` on, until `to` or until the
  // collector goes; returns how many it took.
  static int SendUntilGone(std::uint16_t port, const std::string& module, int from, int to) {
    TLogClient client;
    if (!client.Connect("127.0.0.1", port)) return 0;
    tClientLogMessage message;
    message.ApplicationName = "app";
    message.ModuleName = module;
    message.EventTime = 45356.5;
    int n = from;
    for (; n < to; ++n) {
      message.Text = module + " " + std::to_string(n);
      if (!client.Send(message)) break;
    }
    return n - from;
  }

  // The numbers of the lines "<module> <n>" in `files`, in file order.
  static std::vector<int> Numbers(const std::map<std::string, std::string>& files, const std::string& module) {
    std::vector<int> numbers;
    for (const auto& entry : files) {
      std::istringstream in(entry.second);
      for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find(" : " + module + " ");
        if (at != std::string::npos) numbers.push_back(std::stoi(line.substr(at + 4 + module.size())));
      }
    }
    return numbers;
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
  // Where the journal collects it too.
  EXPECT_TRUE(WaitUntil([&] { return collector.Stderr().find("LogServer: STREAM LINK DOWN: ") != std::string::npos; }))
      << collector.Stderr();
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

// A collector killed (-9) during a flood, with its files and without: every
// record it had taken in (dispatched) reaches the archive once after a new
// start, and every line its files hold is there byte for byte. (The spool is
// ahead of the files: lines still waiting to be written when it was killed
// are in the archive and not in its files.)
TEST_F(StreamTest, ACollectorKilledUnderAFloodLosesNothingItHadTakenIn) {
  StartServers(1);
  const int n = static_cast<int>(400000 * std::max(LoadScale(), 0.25));
  for (const bool files : {true, false}) {
    SCOPED_TRACE(files ? "Files=1" : "Files=0");
    TServiceProcess collector;
    StartCollector(collector, 1, files ? "" : "Files=0\n");
    const std::string module = files ? "kept" : "streamed";
    const std::string spool = collector.LogsDir() + "0.0.0.0/.stream-spool/";
    std::thread flood([&] { SendUntilGone(collector.ServicePort(), module, 0, n); });
    struct TJoin {
      std::thread& Thread;
      ~TJoin() {
        if (Thread.joinable()) Thread.join();
      }
    } join{flood};
    // Killed once a good part is written ahead.
    auto spooled = [&] {
      // Segments go while this looks: whatever vanished counts nothing.
      std::uintmax_t bytes = 0;
      std::error_code error;
      for (fs::directory_iterator it(spool, error), end; !error && it != end; it.increment(error)) {
        const std::uintmax_t size = fs::file_size(it->path(), error);
        if (!error) bytes += size;
        error.clear();
      }
      return bytes;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (spooled() < (2u << 20) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(spooled(), 2u << 20) << collector.ServiceLog();
    ASSERT_TRUE(collector.Signal(SIGKILL));
    int status = 0;
    ASSERT_TRUE(collector.WaitExit(status));
    flood.join();
    const std::map<std::string, std::string> kept = TreeFiles(collector.LogsDir() + "127.0.0.1/");
    collector.Start();
    ASSERT_TRUE(collector.WaitUntilServing());
    if (!Archive) StartArchive();
    // A prefix of what was sent, each once: what was dispatched before the
    // kill; only what still waited in memory, not yet taken, is gone.
    std::map<std::string, std::string> archive;
    std::vector<int> archived;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    std::size_t last = 0;
    auto stableSince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < until) {
      archive = TreeFiles(ArchiveDir() + "127.0.0.1/");
      archived = Numbers(archive, module);
      if (archived.size() != last) {
        last = archived.size();
        stableSince = std::chrono::steady_clock::now();
      } else if (last >= Lines(kept) && last > 0 &&
                 std::chrono::steady_clock::now() - stableSince > std::chrono::seconds(2)) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(archived.empty());
    std::sort(archived.begin(), archived.end());
    for (std::size_t i = 0; i < archived.size(); ++i) ASSERT_EQ(archived[i], static_cast<int>(i)) << "at " << i;
    // Every whole line of the collector's files, in the same file. (The kill
    // may land inside a write: the kernel then leaves a torn last line, the
    // whole of which is in the spool.)
    for (const auto& [path, content] : kept) {
      std::map<std::string, int> have;
      std::istringstream in(archive[path]);
      for (std::string line; std::getline(in, line);) ++have[line];
      std::istringstream want(content.substr(0, content.rfind('\n') + 1));
      for (std::string line; std::getline(want, line);) ASSERT_GT(have[line]--, 0) << path << ": " << line;
    }
    EXPECT_EQ(files, !kept.empty());
    ExpectOrderlyStop(collector);
  }
  StopArchive();
}

// At no load a lone message leaves within the batch's short wait: its
// stream message is on the subject well under 50 ms after it was sent.
TEST_F(StreamTest, ALoneMessageReachesTheStreamAtOnce) {
  StartServers(1);
  TServiceProcess collector;
  StartCollector(collector, 1);
  TNatsClient watcher(ServerUrls(), "LOGS", "logs");
  ASSERT_TRUE(watcher.Connected());
  ASSERT_TRUE(watcher.Watch("logs.>"));
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", collector.ServicePort()));
  std::vector<double> delays;
  for (int i = 0; i < 7; ++i) {
    tClientLogMessage message;
    message.ApplicationName = "app";
    message.ModuleName = "lone";
    message.Text = "lone " + std::to_string(i);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.Send(message));
    const auto deadline = sent + std::chrono::seconds(10);
    while (watcher.Received() <= static_cast<std::size_t>(i) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_GT(watcher.Received(), static_cast<std::size_t>(i));
    delays.push_back(std::chrono::duration<double, std::milli>(watcher.Arrivals()[static_cast<std::size_t>(i)] - sent).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // alone again
  }
  std::sort(delays.begin(), delays.end());
  EXPECT_LT(delays[delays.size() / 2], 50.0) << "median of " << delays.size() << ", slowest " << delays.back() << " ms";
  // A reload that names another server: the link to the first one is
  // closed in order, the next message goes to the new one.
  TNatsServer other("other", Work.Path());
  other.Start();
  collector.WriteConfig("LogMode=1\n", "[Stream]\nServers=" + other.Url() + "\n");
  ASSERT_TRUE(collector.Signal(SIGHUP));
  ASSERT_TRUE(collector.WaitForServiceLog(
      "STOPPED STREAM...OK: 7 acknowledged, 0 resent, 7 spooled, 0 dropped, 0 bytes left in the spool", 15000))
      << collector.ServiceLog();
  ASSERT_TRUE(collector.WaitForServiceLog("STREAM LINK UP: " + other.Url(), 30000)) << collector.ServiceLog();
  TNatsClient otherWatcher(other.Url(), "LOGS", "logs");
  ASSERT_TRUE(otherWatcher.Connected());
  ASSERT_TRUE(otherWatcher.Watch("logs.>"));
  tClientLogMessage moved;
  moved.ApplicationName = "app";
  moved.ModuleName = "lone";
  moved.Text = "after the reload";
  ASSERT_TRUE(client.Send(moved));
  EXPECT_TRUE(WaitUntil([&] { return otherWatcher.Received() == 1; }, 15000));
  EXPECT_EQ(watcher.Received(), 7u);
  ExpectOrderlyStop(collector);
  other.Kill();
}

// A stream an earlier collector wrote (one message per record, the rest in
// headers) is archived after the upgrade as that collector wrote its files.
TEST_F(StreamTest, AStreamOfTheEarlierFormatIsArchivedAsItWasWritten) {
  StartServers(1);
  TNatsClient publisher(ServerUrls(), "LOGS", "logs");
  ASSERT_TRUE(publisher.Connected());
  // The files the earlier collector wrote, made here by the same producers.
  const std::string expectedDir = Work.Path() + "expected/";
  {
    TLogFileTable table;
    tLogProducerHolder producers(expectedDir, TIniEntries{}, TProducerEnvironment{&table, nullptr});
    for (int n = 0; n < 300; ++n) {
      const std::string module = n % 3 ? "old module" : "a.*.>";
      const std::string prefix = n % 5 ? "" : "pre";
      const std::string text = "old " + std::to_string(n) + (n % 7 ? "" : " \x01 %");
      const double event = n % 4 ? 45356.25 + n / 86400.0 : 0.0;
      const double server = 46000.5 + n / 86400.0;
      const std::string address = n % 2 ? "127.0.0.1" : "10.0.0.9";
      producers.AddMessage(TLogMessage{address, "5140", "app", module, prefix, text, event, server});
      ASSERT_TRUE(publisher.Publish(RouteSubject("logs", address, "app", module),
                                    {{"Nats-Msg-Id", "0123456789abcdef-" + std::to_string(n + 1)},
                                     {"Logserver-Address", EscapeHeaderValue(address)},
                                     {"Logserver-Port", "5140"},
                                     {"Logserver-Application", "app"},
                                     {"Logserver-Module", EscapeHeaderValue(module)},
                                     {"Logserver-Prefix", EscapeHeaderValue(prefix)},
                                     {"Logserver-Event-Time", FormatStreamTime(event)},
                                     {"Logserver-Server-Time", FormatStreamTime(server)}},
                                    text));
    }
  }
  StartArchive();
  const std::map<std::string, std::string> expected = TreeFiles(expectedDir);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::map<std::string, std::string> archived;
  while (std::chrono::steady_clock::now() < deadline) {
    archived = TreeFiles(ArchiveDir());
    for (auto it = archived.begin(); it != archived.end();) it = it->first[0] == '.' ? archived.erase(it) : std::next(it);
    if (Lines(archived) >= 300) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(archived, expected);
  StopArchive();
}

// Anyone who may publish to the subjects is no collector: a message whose
// headers or body would lead a line out of the tree, or that does not add
// up, is refused, counted and reported, and the writer goes on.
TEST_F(StreamTest, HostileMessagesAreRefusedAndNothingIsWrittenOutsideTheArchive) {
  StartServers(1);
  TNatsClient publisher(ServerUrls(), "LOGS", "logs");
  ASSERT_TRUE(publisher.Connected());
  auto frame = [](const std::string& text, double event, double server) {
    TLogMessage m;
    m.Port = "5140";
    m.Text = text;
    m.EventTime = event;
    m.ServerTime = server;
    std::string body;
    AppendBatchFrame(body, m);
    return body;
  };
  auto batch = [&](const std::string& id, const std::string& address, const std::string& body, int records) {
    return publisher.Publish("logs.x.app.m", {{"Nats-Msg-Id", id},
                                              {"Logserver-Format", "2"},
                                              {"Logserver-Address", EscapeHeaderValue(address)},
                                              {"Logserver-Application", "app"},
                                              {"Logserver-Module", "m"},
                                              {"Logserver-Records", std::to_string(records)}},
                             body);
  };
  const double now = 46000.5;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ASSERT_TRUE(batch("h-1", "../../escape", frame("up", 0, now), 1));
  ASSERT_TRUE(batch("h-2", "/tmp/absolute", frame("abs", 0, now), 1));
  ASSERT_TRUE(batch("h-3", std::string("10.0.0.1\0/..", 13), frame("nul", 0, now), 1));
  ASSERT_TRUE(batch("h-4", "10.0.0.1", frame("nan", nan, now), 1));
  ASSERT_TRUE(batch("h-5", "10.0.0.1", frame("inf", 0, std::numeric_limits<double>::infinity()), 1));
  ASSERT_TRUE(batch("h-6", "10.0.0.1", frame("year 20000", 0, 7000000.0), 1));
  ASSERT_TRUE(batch("h-7", "10.0.0.1", frame("short", 0, now).substr(3), 1));
  ASSERT_TRUE(batch("h-8", "10.0.0.1", frame("count", 0, now), 4000000));
  ASSERT_TRUE(batch("h-9", "..", frame("dots", 0, now), 1));
  ASSERT_TRUE(publisher.Publish("logs.x.app.m", {{"Nats-Msg-Id", "h-10"}}, "no headers"));
  ASSERT_TRUE(publisher.Publish("logs.x.app.m",
                                {{"Nats-Msg-Id", "h-11"}, {"Logserver-Address", "..%2F..%2Fold"},
                                 {"Logserver-Event-Time", "0"}, {"Logserver-Server-Time", "46000.5"}},
                                "old format up"));
  ASSERT_TRUE(batch("ok-1", "10.0.0.1", frame("fine", 0, now), 1));
  const std::string nest = Work.Path() + "a/b/c/";
  StartArchive(nest + "archive/");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Lines(TreeFiles(nest + "archive/10.0.0.1/")) < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::map<std::string, std::string> written = TreeFiles(nest + "archive/10.0.0.1/");
  ASSERT_EQ(Lines(written), 1u);
  EXPECT_EQ(written.begin()->second, "fine\r\n");  // no event time: stored as syslog is
  // Nothing beside the tree, at any level above it.
  for (const std::string& level : {Work.Path() + "a/", Work.Path() + "a/b/", nest}) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(level)) names.push_back(entry.path().filename());
    EXPECT_EQ(names.size(), 1u) << level;
  }
  for (const auto& entry : fs::directory_iterator(nest + "archive/"))
    EXPECT_TRUE(entry.path().filename() == "10.0.0.1" || entry.path().filename().string()[0] == '.')
        << entry.path();
  EXPECT_FALSE(fs::exists("/tmp/absolute"));
  StopArchive();
  std::ifstream err(Work.Path() + "archive-" + std::to_string(ArchiveRuns) + ".err");
  const std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
  EXPECT_NE(said.find("REFUSED: "), std::string::npos) << said;
  EXPECT_NE(said.find("11 refused"), std::string::npos) << said;
}

}  // namespace

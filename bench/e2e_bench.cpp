// The service end to end: starts the real LogServer in a directory of its
// own, drives it over loopback, and prints what it achieves: messages per
// second, loss and CPU microseconds per message for syslog datagrams (100k/s,
// 200k/s, unthrottled) and TPKT records (1 and 10 connections, and 1 again
// with /metrics scraped every 100 ms, for what scraping costs), the cost of
// 1,000 idle connections, and the delay from sending a message to its line
// being in the file. Then how the cost grows: TPKT spread over 1,000 and
// 10,000 routes (distinct files), UDP at 100k/s from 1,000 and 10,000 source
// addresses, 64- and 8,000-byte messages, 100 connections, and (with
// faketime installed) the pause at an hour change with 10,000 open files,
// and what making the same trees costs with plain calls (the floor).
//
//   e2e_bench LOGSERVER [messages] [part]
//     part: all (default), base, scale, hour, scrape, syslog, spoofed, stream, floor
//
// Speed is measured here and nowhere else. Every message carries a sequence
// number; lines are counted in the files the service writes.
#include "core/uLogClient.h"
#include "platform/uFiles.h"
#include "platform/uSocket.h"
#include "platform/uTime.h"

#include <openssl/ssl.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <openssl/ssl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace logserver;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kTextBytes = 200;
// Debian's faketime package.
constexpr const char* kFakeTimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::uint16_t FreePort(bool stream) {
  TDescriptor fd = stream ? SocketCreateStream() : SocketCreateDatagram();
  SocketBind(fd.Get(), ParseIPv4("127.0.0.1"), 0);
  return SocketLocalAddress(fd.Get()).Port;
}

std::string Text(int source, int sequence, std::size_t size = kTextBytes) {
  char head[64];
  std::snprintf(head, sizeof head, "src=%03d seq=%010d ", source, sequence);
  std::string text = head;
  text.resize(std::max(size, text.size()), 'x');
  return text;
}

std::string Route(int routes, int sequence) {
  if (routes <= 1) return "m";
  char module[16];
  std::snprintf(module, sizeof module, "m%05d", sequence % routes);
  return module;
}

// User and system time of a child so far.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i)
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One LogServer, copied into a fresh directory with its own configuration.
class TServer {
 public:
  // `fakeTime` ("2026-12-09 13:59:50"): the service runs under faketime,
  // its clock starting there.
  // `metrics`: /metrics served on a port of its own (MetricsPort).
  // `extra`: more configuration, after [Common].
  explicit TServer(const std::string& executable, const char* fakeTime = nullptr, bool metrics = false,
                   const std::string& extra = std::string()) {
    char pattern[] = "/tmp/logserver-e2e-XXXXXX";
    Directory = mkdtemp(pattern);
    Directory += "/";
    fs::copy_file(executable, Directory + "LogServer");
    TcpPort = FreePort(true);
    UdpPort = FreePort(false);
    if (metrics) MetricsPort_ = FreePort(true);
    std::ofstream(Directory + "LogServer.conf")
        << "[Common]\nServicePort=" << TcpPort << "\nSysLogPort=" << UdpPort
        << "\nLogMode=0\nBaseCatalog=" << Directory << "logs/\n"
        << (metrics ? "[Metrics]\nListen=127.0.0.1:" + std::to_string(MetricsPort_) + "\n" : std::string())
        << extra;
    std::fflush(stdout);  // the child would print what is buffered again
    StartedAt = Clock::now();
    ChildPid = fork();
    if (ChildPid == 0) {
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
      const std::string self = Directory + "LogServer";
      if (fakeTime != nullptr) {
        // libfaketime in the service itself (not its wrapper program, which
        // would stand between this process and the service): the wall clock
        // starts at fakeTime and runs on; intervals stay real.
        setenv("LD_PRELOAD", kFakeTimeLibrary, 1);
        setenv("FAKETIME", (std::string("@") + fakeTime).c_str(), 1);
        setenv("FAKETIME_DONT_FAKE_MONOTONIC", "1", 1);
      }
      execl(self.c_str(), "LogServer", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Serving once a client gets through.
    for (int i = 0; i < 500; ++i) {
      TLogClient probe;
      if (probe.Connect("127.0.0.1", TcpPort) && probe.Finish(2000)) break;
      SleepMilliseconds(20);
    }
    SleepMilliseconds(200);  // the syslog socket is bound on its own thread
  }
  ~TServer() {
    kill(ChildPid, SIGTERM);
    int status = 0;
    waitpid(ChildPid, &status, 0);
    std::error_code ec;
    fs::remove_all(Directory, ec);
  }

  std::uint16_t Tcp() const { return TcpPort; }
  std::string LogsDir() const { return Directory + "logs/"; }
  // When the process was started (its fake clock's origin).
  Clock::time_point StartedAt;
  std::uint16_t Udp() const { return UdpPort; }
  std::uint16_t MetricsPort() const { return MetricsPort_; }
  pid_t Pid() const { return ChildPid; }

  double CpuSeconds() const { return ProcessCpuSeconds(ChildPid); }
  long RssKiB() const {
    std::ifstream status("/proc/" + std::to_string(ChildPid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }
  // The files of the senders, every address but the service's own 0.0.0.0.
  std::vector<fs::path> SenderFiles() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& sender : fs::directory_iterator(Directory + "logs", ec)) {
      if (sender.path().filename() == "0.0.0.0") continue;
      std::error_code walk;
      for (const auto& e : fs::recursive_directory_iterator(sender.path(), walk))
        if (e.is_regular_file(walk)) files.push_back(e.path());
    }
    return files;
  }
  std::uintmax_t OutputBytes() const {
    std::uintmax_t bytes = 0;
    for (const fs::path& file : SenderFiles()) {
      std::error_code ec;
      const std::uintmax_t size = fs::file_size(file, ec);
      if (!ec) bytes += size;
    }
    return bytes;
  }
  std::uintmax_t Lines() const {
    std::uintmax_t lines = 0;
    std::vector<char> buffer(1 << 20);
    for (const fs::path& file : SenderFiles()) {
      std::ifstream in(file, std::ios::binary);
      while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        lines += static_cast<std::uintmax_t>(std::count(buffer.data(), buffer.data() + in.gcount(), '\n'));
    }
    return lines;
  }
  std::string FirstFile() const {
    const std::vector<fs::path> files = SenderFiles();
    return files.empty() ? std::string() : files.front().string();
  }

 private:
  std::string Directory;
  std::uint16_t TcpPort = 0, UdpPort = 0, MetricsPort_ = 0;
  pid_t ChildPid = 0;
};

// GET /metrics; the bytes of the answer.
std::size_t Scrape(std::uint16_t port) {
  TDescriptor fd = SocketConnect("127.0.0.1", port);
  if (!fd) return 0;
  const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
  if (!SocketWriteAll(fd.Get(), request.data(), request.size())) return 0;
  std::size_t bytes = 0;
  char buffer[65536];
  for (long n; (n = SocketRead(fd.Get(), buffer, sizeof buffer)) > 0;) bytes += static_cast<std::size_t>(n);
  return bytes;
}

// Waits until the output has not grown for a second; returns when it last grew.
Clock::time_point WaitQuiet(const TServer& server) {
  std::uintmax_t last = server.OutputBytes();
  Clock::time_point changed = Clock::now();
  while (Seconds(changed, Clock::now()) < 1.0) {
    SleepMilliseconds(20);
    const std::uintmax_t now = server.OutputBytes();
    if (now != last) {
      last = now;
      changed = Clock::now();
    }
  }
  return changed;
}

void Report(const char* what, std::uintmax_t sent, const TServer& server, double cpu0,
            Clock::time_point start) {
  const Clock::time_point end = WaitQuiet(server);
  const double cpu = server.CpuSeconds() - cpu0;
  const std::uintmax_t lines = server.Lines();
  const double span = Seconds(start, end);
  std::printf("%-24s %9.0f msgs/s  loss %6.2f %%  %5.2f us CPU/msg\n", what,
              span > 0 ? static_cast<double>(lines) / span : 0.0,
              sent ? 100.0 * static_cast<double>(sent - std::min(sent, lines)) / static_cast<double>(sent) : 0.0,
              lines ? 1e6 * cpu / static_cast<double>(lines) : 0.0);
  std::fflush(stdout);
}

// Per-sender rate limits far above what the runs send: every read and
// datagram pays for the check, nobody is slowed.
const std::string kLimitsOn = "[Senders]\nMessagesPerSecond=100000000\nBytesPerSecond=2000000000\n";

void Udp(const std::string& exe, double rate, int count, const std::string& extra = std::string()) {
  TServer server(exe, nullptr, false, extra);
  TDescriptor fd = SocketCreateDatagram();
  const TSocketAddress to{ParseIPv4("127.0.0.1"), server.Udp()};
  const double cpu0 = server.CpuSeconds();
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (rate > 0) {
      // Paced in steps of a millisecond's worth.
      const auto due = start + std::chrono::duration<double>(i / rate);
      if (i % 64 == 0) std::this_thread::sleep_until(due);
    }
    const std::string text = Text(0, i);
    SocketSendTo(fd.Get(), text.data(), text.size(), to);
  }
  char what[64];
  if (rate > 0)
    std::snprintf(what, sizeof what, "UDP %.0fk/s", rate / 1000);
  else
    std::snprintf(what, sizeof what, "UDP unthrottled");
  if (!extra.empty()) std::strncat(what, ", limits on", sizeof what - std::strlen(what) - 1);
  Report(what, static_cast<std::uintmax_t>(count), server, cpu0, start);
}

// UDP at `rate` from `senders` source addresses 127.1.x.y, one after the other.
void UdpSenders(const std::string& exe, double rate, int count, int senders) {
  TServer server(exe);
  TDescriptor fd = SocketCreateDatagram();
  const TSocketAddress to{ParseIPv4("127.0.0.1"), server.Udp()};
  const double cpu0 = server.CpuSeconds();
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto due = start + std::chrono::duration<double>(i / rate);
    if (i % 64 == 0) std::this_thread::sleep_until(due);
    const int sender = i % senders;
    const std::string address = "127.1." + std::to_string(sender / 250) + "." + std::to_string(1 + sender % 250);
    const std::string text = Text(0, i);
    SocketSendFrom(fd.Get(), text.data(), text.size(), to, ParseIPv4(address));
  }
  char what[64];
  std::snprintf(what, sizeof what, "UDP %.0fk/s, %d senders", rate / 1000, senders);
  Report(what, static_cast<std::uintmax_t>(count), server, cpu0, start);
}

// What the file system alone asks for the trees of the runs above: 10,000
// route trees (module/day/hour file) and 10,000 sender trees
// (address/application/module/day/hour file), made with plain calls and one
// line each, in the time and CPU the service would spend on them per message
// of a `count`-message run. Made twice, the second right after the first was
// removed, as a run that follows another one finds the file system (ext4
// without a journal passes over recently freed inodes when it allocates).
void TreeFloor(int count) {
  char pattern[] = "/tmp/logserver-floor-XXXXXX";
  const fs::path root = mkdtemp(pattern);
  const auto make = [&](const fs::path& base, bool senders) {
    const double cpu0 = ProcessCpuSeconds(getpid());
    const Clock::time_point start = Clock::now();
    fs::create_directory(base);
    char name[64];
    for (int i = 0; i < 10000; ++i) {
      fs::path day;
      if (senders) {
        std::snprintf(name, sizeof name, "127.1.%d.%d", i / 250, 1 + i % 250);
        day = base / name / "SYSLOG" / "syslog" / "2026_12_10";
      } else {
        std::snprintf(name, sizeof name, "load%05d", i);
        day = base / name / "2026_12_10";
      }
      fs::create_directories(day);
      std::ofstream(day / "09.log", std::ios::app) << "x\r\n";
    }
    const double span = Seconds(start, Clock::now());
    return std::pair{span, 1e6 * (ProcessCpuSeconds(getpid()) - cpu0) / count};
  };
  for (const bool senders : {false, true}) {
    const auto first = make(root / "a", senders);
    fs::remove_all(root / "a");
    const auto again = make(root / "b", senders);
    fs::remove_all(root / "b");
    std::printf("%-24s %.2f s, %.2f us CPU/msg; again after removing it: %.2f s, %.2f us CPU/msg\n",
                senders ? "floor: 10,000 senders" : "floor: 10,000 routes", first.first, first.second,
                again.first, again.second);
  }
  fs::remove_all(root);
  std::fflush(stdout);
}

// Syslog from 50,000 forged source addresses, one datagram each at 100k/s:
// the service's memory once they are written, and once it has forgotten
// them (silent for 5 s here; the check runs every 3 s).
void SpoofedSenders(const std::string& exe) {
  constexpr int kSenders = 50000;
  TServer server(exe, nullptr, false, "[Senders]\nIdleSeconds=5\n");
  const long before = server.RssKiB();
  TDescriptor fd = SocketCreateDatagram();
  const TSocketAddress to{ParseIPv4("127.0.0.1"), server.Udp()};
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kSenders; ++i) {
    if (i % 64 == 0) std::this_thread::sleep_until(start + std::chrono::duration<double>(i / 100000.0));
    const std::string address = "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
    const std::string text = Text(0, i);
    SocketSendFrom(fd.Get(), text.data(), text.size(), to, ParseIPv4(address));
  }
  for (int i = 0; i < 3000 && server.Lines() < static_cast<std::uintmax_t>(kSenders); ++i) SleepMilliseconds(10);
  const long written = server.RssKiB();
  SleepMilliseconds(10000);
  std::printf("%-24s RSS %.1f MiB at start, %.1f MiB with them, %.1f MiB once forgotten (%ju lines)\n",
              "50,000 forged senders", static_cast<double>(before) / 1024.0,
              static_cast<double>(written) / 1024.0, static_cast<double>(server.RssKiB()) / 1024.0,
              server.Lines());
  std::fflush(stdout);
}

// TPKT over `connections`, spread over `routes` modules (files).
// With `scrape`, /metrics is fetched every 100 ms until the report is made.
void Tpkt(const std::string& exe, int connections, int count, int routes = 1,
          std::size_t size = kTextBytes, bool scrape = false, const std::string& extra = std::string()) {
  TServer server(exe, nullptr, scrape, extra);
  std::atomic<bool> reported{false};
  std::atomic<int> scrapes{0};
  std::thread scraper;
  if (scrape)
    scraper = std::thread([&] {
      for (Clock::time_point next = Clock::now(); !reported.load(); next += std::chrono::milliseconds(100)) {
        if (Scrape(server.MetricsPort()) > 0) ++scrapes;
        std::this_thread::sleep_until(next + std::chrono::milliseconds(100));
      }
    });
  const double cpu0 = server.CpuSeconds();
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> senders;
  for (int c = 0; c < connections; ++c) {
    senders.emplace_back([&, c] {
      TLogClient client;
      if (!client.Connect("127.0.0.1", server.Tcp())) return;
      std::string batch;
      for (int s = c; s < count; s += connections) {
        batch += BuildClientLogFrame({"bench", Route(routes, s), "", Text(c, s, size), 0.0});
        if (batch.size() > 60000) {
          client.SendRaw(batch);
          batch.clear();
        }
      }
      client.SendRaw(batch);
      client.Finish(60000);
    });
  }
  for (auto& s : senders) s.join();
  char what[64];
  if (routes > 1)
    std::snprintf(what, sizeof what, "TPKT %d routes", routes);
  else if (size != kTextBytes)
    std::snprintf(what, sizeof what, "TPKT %zu-byte messages", size);
  else if (scrape)
    std::snprintf(what, sizeof what, "TPKT 1, scraped /100 ms");
  else
    std::snprintf(what, sizeof what, "TPKT %d connection%s%s", connections, connections > 1 ? "s" : "",
                  extra.empty() ? "" : ", limits on");
  Report(what, static_cast<std::uintmax_t>(count), server, cpu0, start);
  reported.store(true);
  if (scraper.joinable()) scraper.join();
  if (scrape && scrapes.load() == 0) std::printf("%-24s no scrape was answered\n", "");
}

// The value of one metric without labels; -1 when it is not there.
double ScrapeValue(std::uint16_t port, const std::string& name) {
  TDescriptor fd = SocketConnect("127.0.0.1", port);
  if (!fd) return -1;
  const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
  if (!SocketWriteAll(fd.Get(), request.data(), request.size())) return -1;
  std::string body;
  char buffer[65536];
  for (long n; (n = SocketRead(fd.Get(), buffer, sizeof buffer)) > 0;) body.append(buffer, static_cast<std::size_t>(n));
  const std::size_t at = body.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atof(body.c_str() + at + name.size() + 2);
}

// Total bytes of the regular files below `dir`, dot files left out.
std::uintmax_t TreeBytes(const std::string& dir) {
  std::uintmax_t bytes = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
    if (it->is_regular_file(error) && it->path().filename().string()[0] != '.') bytes += it->file_size(error);
  return bytes;
}

// TPKT on one connection over `routes` modules with [Stream] on, to one
// local nats-server (its own JetStream, replicas 1): the rate until the
// stream has acknowledged every message, and the CPU per message of the
// service and of the server; with `archive`, logserver-archive (beside the
// service) then writes the tree again from the stream, timed until its files
// hold as many bytes as the collector's.
void StreamTpkt(const std::string& exe, int count, int routes = 1, bool archive = false) {
  char what[64];
  std::snprintf(what, sizeof what, routes > 1 ? "TPKT %d routes, [Stream]" : "TPKT 1, [Stream] on", routes);
  const char* natsServer = "/usr/sbin/nats-server";
  if (access(natsServer, X_OK) != 0) {
    std::printf("%-24s skipped: no %s\n", what, natsServer);
    return;
  }
  char pattern[] = "/tmp/logserver-nats-XXXXXX";
  const std::string store = mkdtemp(pattern);
  const std::string port = std::to_string(FreePort(true));
  std::fflush(stdout);
  const pid_t nats = fork();
  if (nats == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr)
      _exit(126);
    execl(natsServer, "nats-server", "-js", "-sd", store.c_str(), "-a", "127.0.0.1", "-p", port.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  {
    TServer server(exe, nullptr, true, "[Stream]\nServers=nats://127.0.0.1:" + port + "\n");
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (ScrapeValue(server.MetricsPort(), "logserver_stream_link_up") != 1 && Clock::now() < deadline)
      SleepMilliseconds(50);
    const double cpu0 = server.CpuSeconds(), natsCpu0 = ProcessCpuSeconds(nats);
    const Clock::time_point start = Clock::now();
    {
      TLogClient client;
      if (client.Connect("127.0.0.1", server.Tcp())) {
        std::string batch;
        for (int s = 0; s < count; ++s) {
          batch += BuildClientLogFrame({"bench", Route(routes, s), "", Text(0, s), 0.0});
          if (batch.size() > 60000) {
            client.SendRaw(batch);
            batch.clear();
          }
        }
        client.SendRaw(batch);
        client.Finish(60000);
      }
    }
    double acknowledged = 0;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(300);
    while ((acknowledged = ScrapeValue(server.MetricsPort(), "logserver_stream_acknowledged_messages_total")) <
               count && Clock::now() < end)
      SleepMilliseconds(10);
    const double span = Seconds(start, Clock::now());
    const double batches = ScrapeValue(server.MetricsPort(), "logserver_stream_published_batches_total");
    std::printf("%-24s %9.0f msgs/s  acknowledged %.0f of %d  %5.2f us CPU/msg (nats-server %.2f), %.0f records a batch\n",
                what, acknowledged / span, acknowledged, count, 1e6 * (server.CpuSeconds() - cpu0) / count,
                1e6 * (ProcessCpuSeconds(nats) - natsCpu0) / count, batches > 0 ? acknowledged / batches : 0.0);
    std::fflush(stdout);
    if (archive) {
      const std::string dir = server.LogsDir() + "../archive/";
      const std::string config = server.LogsDir() + "../archive.conf";
      std::ofstream(config) << "[Archive]\nServers=nats://127.0.0.1:" << port << "\nBaseCatalog=" << dir << "\n";
      const std::uintmax_t want = TreeBytes(server.LogsDir() + "127.0.0.1/");
      const std::string writer = DirectoryPart(exe) + "logserver-archive";
      const Clock::time_point archiveStart = Clock::now();
      std::fflush(stdout);
      const pid_t child = fork();
      if (child == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr)
          _exit(126);
        execl(writer.c_str(), "logserver-archive", ("--config=" + config).c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      const Clock::time_point until = Clock::now() + std::chrono::seconds(300);
      std::uintmax_t got = 0;
      while ((got = TreeBytes(dir)) < want && Clock::now() < until) SleepMilliseconds(10);
      const double took = Seconds(archiveStart, Clock::now());
      const double writerCpu = ProcessCpuSeconds(child);
      kill(child, SIGTERM);
      int childStatus = 0;
      waitpid(child, &childStatus, 0);
      std::printf("%-24s %9.0f msgs/s  %s  %5.2f us CPU/msg\n", "archive writer rebuilds", count / took,
                  got == want ? "all bytes" : "BYTES MISSING", 1e6 * writerCpu / count);
      std::fflush(stdout);
    }
  }
  kill(nats, SIGTERM);
  int status = 0;
  waitpid(nats, &status, 0);
  fs::remove_all(store);
}

// Syslog over TCP on `connections`, octet-counted or LF-framed.
void SyslogTcp(const std::string& exe, int connections, int count, bool octetCounted) {
  const std::uint16_t port = FreePort(true);
  TServer server(exe, nullptr, false, "[Syslog]\nTcpPort=" + std::to_string(port) + "\n[Senders]\nMaxConnectionsPerAddress=0\n");
  const double cpu0 = server.CpuSeconds();
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> senders;
  for (int c = 0; c < connections; ++c) {
    senders.emplace_back([&, c] {
      TDescriptor fd = SocketConnect("127.0.0.1", port);
      if (!fd) return;
      std::string batch;
      for (int s = c; s < count; s += connections) {
        const std::string message = "<13>" + Text(c, s);
        if (octetCounted)
          batch += std::to_string(message.size()) + " " + message;
        else
          batch += message + "\n";
        if (batch.size() > 60000) {
          SocketWriteAll(fd.Get(), batch.data(), batch.size());
          batch.clear();
        }
      }
      SocketWriteAll(fd.Get(), batch.data(), batch.size());
    });
  }
  for (auto& s : senders) s.join();
  char what[64];
  std::snprintf(what, sizeof what, "syslog TCP %d, %s", connections, octetCounted ? "counted" : "LF");
  Report(what, static_cast<std::uintmax_t>(count), server, cpu0, start);
}

// Syslog over TLS on one connection, octet-counted, with a certificate made
// by the openssl tool.
void SyslogTls(const std::string& exe, int count) {
  char pattern[] = "/tmp/logserver-tls-XXXXXX";
  const std::string dir = std::string(mkdtemp(pattern)) + "/";
  const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                           "-subj /CN=bench -keyout " + dir + "key.pem -out " + dir + "cert.pem >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) {
    std::printf("%-24s skipped: needs the openssl tool\n", "syslog TLS");
    return;
  }
  const std::uint16_t port = FreePort(true);
  TServer server(exe, nullptr, false,
                 "[Syslog]\nTlsPort=" + std::to_string(port) + "\nTlsCertificate=" + dir +
                     "cert.pem\nTlsKey=" + dir + "key.pem\n");
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  TDescriptor fd = SocketConnect("127.0.0.1", port);
  SSL* ssl = SSL_new(context);
  if (!fd || ssl == nullptr || SSL_set_fd(ssl, fd.Get()) != 1 || SSL_connect(ssl) != 1) {
    std::printf("%-24s no TLS connection\n", "syslog TLS");
  } else {
    const double cpu0 = server.CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::string batch;
    for (int s = 0; s < count; ++s) {
      const std::string message = "<13>" + Text(0, s);
      batch += std::to_string(message.size()) + " " + message;
      if (batch.size() > 60000 || s + 1 == count) {
        if (SSL_write(ssl, batch.data(), static_cast<int>(batch.size())) <= 0) break;
        batch.clear();
      }
    }
    SSL_shutdown(ssl);
    Report("syslog TLS 1, counted", static_cast<std::uintmax_t>(count), server, cpu0, start);
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// 10,000 syslog TCP connections that send nothing: what they cost.
void IdleSyslogConnections(const std::string& exe) {
  rlimit limit{20000, 20000};
  setrlimit(RLIMIT_NOFILE, &limit);  // the service inherits it
  const std::uint16_t port = FreePort(true);
  TServer server(exe, nullptr, false, "[Syslog]\nTcpPort=" + std::to_string(port) + "\n[Senders]\nMaxConnectionsPerAddress=0\n");
  std::vector<TDescriptor> idle;
  for (int i = 0; i < 10000; ++i) idle.push_back(SocketConnect("127.0.0.1", port));
  SleepMilliseconds(3000);
  const double cpu0 = server.CpuSeconds();
  const Clock::time_point t0 = Clock::now();
  SleepMilliseconds(15000);
  const double cpu = server.CpuSeconds() - cpu0;
  std::printf("%-24s %9.2f %% of a core over %.0f s, RSS %.1f MiB\n", "10,000 idle syslog TCP",
              100.0 * cpu / Seconds(t0, Clock::now()), Seconds(t0, Clock::now()),
              static_cast<double>(server.RssKiB()) / 1024.0);
  std::fflush(stdout);
}

// The hour change with 10,000 open files: the service's clock starts 20 s
// before an hour; 10,000 routes are opened, then they get 50,000 msgs/s
// across the hour while a probe route is timed from send to file.
void HourChange(const std::string& exe) {
  if (access(kFakeTimeLibrary, R_OK) != 0) {
    std::printf("%-24s skipped: needs faketime (apt-get install faketime)\n", "hour change");
    return;
  }
  constexpr int kRoutes = 10000;
  rlimit limit{20000, 20000};
  setrlimit(RLIMIT_NOFILE, &limit);  // the service inherits it
  TServer server(exe, "2026-12-09 13:59:40");
  TLogClient flood;
  if (!flood.Connect("127.0.0.1", server.Tcp())) return;
  std::string batch;
  for (int i = 0; i < kRoutes; ++i) batch += BuildClientLogFrame({"bench", Route(kRoutes, i), "", Text(0, i), 0.0});
  flood.SendRaw(batch);
  // The files made before the flood starts: the measure is the hour's.
  while (server.SenderFiles().size() < static_cast<std::size_t>(kRoutes)) SleepMilliseconds(100);
  std::atomic<bool> done{false};
  std::thread load([&] {
    // 50,000 msgs/s in steps of a millisecond until told to stop.
    const Clock::time_point start = Clock::now();
    for (int i = kRoutes, step = 0; !done.load(); ++step) {
      std::string frames;
      for (int k = 0; k < 50; ++k, ++i)
        frames += BuildClientLogFrame({"bench", Route(kRoutes, i), "", Text(0, i), 0.0});
      flood.SendRaw(frames);
      std::this_thread::sleep_until(start + std::chrono::milliseconds(step + 1));
    }
  });
  // Probes every 5 ms until 4 s past the hour; each is timed until its
  // file (this hour's or the next's) has grown.
  TLogClient probe;
  probe.Connect("127.0.0.1", server.Tcp());
  const std::string dir = server.LogsDir() + "127.0.0.1/bench/probe/2026_12_09/";
  auto probeBytes = [&] {
    std::uintmax_t bytes = 0;
    for (const char* hour : {"probe_13.log", "probe_14.log"}) {
      std::error_code ec;
      const std::uintmax_t size = fs::file_size(dir + hour, ec);
      if (!ec) bytes += size;
    }
    return bytes;
  };
  std::vector<double> before, across;
  std::uintmax_t seen = 0;
  const Clock::time_point start = server.StartedAt;  // the hour comes 20 s later
  if (Seconds(start, Clock::now()) > 18.0)
    std::printf("%-24s the files took too long to make: no measure\n", "hour change");
  for (int i = 0; Seconds(start, Clock::now()) < 25.0; ++i) {
    const Clock::time_point sent = Clock::now();
    probe.Send({"bench", "probe", "probe", Text(1, i), 0.0});
    while (probeBytes() <= seen && Seconds(sent, Clock::now()) < 5.0) std::this_thread::yield();
    seen = probeBytes();
    const double delay = 1000.0 * Seconds(sent, Clock::now());
    const double at = Seconds(start, sent);
    (at > 19.5 && at < 23.0 ? across : before).push_back(delay);
    std::this_thread::sleep_until(sent + std::chrono::milliseconds(5));
  }
  done = true;
  load.join();
  auto summary = [](std::vector<double>& delays) {
    std::sort(delays.begin(), delays.end());
    char text[96];
    std::snprintf(text, sizeof text, "p50 %.1f ms, p99 %.1f ms, max %.1f ms",
                  delays.empty() ? 0.0 : delays[delays.size() / 2],
                  delays.empty() ? 0.0 : delays[delays.size() * 99 / 100],
                  delays.empty() ? 0.0 : delays.back());
    return std::string(text);
  };
  auto hourFiles = [&] {
    std::size_t thisHour = 0, nextHour = 0;
    for (const fs::path& file : server.SenderFiles())
      (file.filename().string().find("_13.log") != std::string::npos ? thisHour : nextHour) += 1;
    return std::to_string(thisHour) + " files of 13:00, " + std::to_string(nextHour) + " of 14:00";
  };
  std::printf("%-24s probe send to file under 50k msgs/s over 10,000 open files (%s):\n",
              "hour change", hourFiles().c_str());
  std::printf("%-24s   away from the hour %s\n", "", summary(before).c_str());
  std::printf("%-24s   across the hour    %s\n", "", summary(across).c_str());
}

void IdleAndLatency(const std::string& exe) {
  TServer server(exe);
  rlimit limit{4096, 4096};
  setrlimit(RLIMIT_NOFILE, &limit);
  std::vector<TDescriptor> idle;
  for (int i = 0; i < 1000; ++i) idle.push_back(SocketConnect("127.0.0.1", server.Tcp()));
  SleepMilliseconds(3000);
  const double cpu0 = server.CpuSeconds();
  const Clock::time_point t0 = Clock::now();
  SleepMilliseconds(15000);  // keep-alives every 3 s included
  const double cpu = server.CpuSeconds() - cpu0;
  std::printf("%-24s %9.2f %% of a core over %.0f s, RSS %.1f MiB\n", "1,000 idle connections",
              100.0 * cpu / Seconds(t0, Clock::now()), Seconds(t0, Clock::now()),
              static_cast<double>(server.RssKiB()) / 1024.0);
  idle.clear();
  SleepMilliseconds(500);

  TLogClient client;
  client.Connect("127.0.0.1", server.Tcp());
  std::vector<double> delays;
  std::string file;
  std::uintmax_t size = 0;
  for (int i = 0; i < 500; ++i) {
    const Clock::time_point sent = Clock::now();
    client.Send({"latency", "m", "", Text(0, i), 0.0});
    for (;;) {
      if (file.empty()) file = server.FirstFile();
      std::error_code ec;
      const std::uintmax_t now = file.empty() ? 0 : fs::file_size(file, ec);
      if (!ec && now > size) {
        size = now;
        break;
      }
      if (Seconds(sent, Clock::now()) > 1.0) break;
    }
    delays.push_back(1000.0 * Seconds(sent, Clock::now()));
    std::this_thread::sleep_until(sent + std::chrono::milliseconds(1));
  }
  std::sort(delays.begin(), delays.end());
  std::printf("%-24s p50 %.2f ms, p99 %.2f ms (500 messages at about 1k/s)\n", "send to file",
              delays[delays.size() / 2], delays[delays.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: e2e_bench LOGSERVER [messages]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::string exe = fs::absolute(argv[1]).string();
  const int count = argc > 2 ? std::atoi(argv[2]) : 300000;
  const std::string part = argc > 3 ? argv[3] : "all";
  if (part == "hour") {
    HourChange(exe);
    return 0;
  }
  if (part == "syslog") {
    SyslogTcp(exe, 1, count, true);
    SyslogTcp(exe, 1, count, false);
    SyslogTcp(exe, 10, count, true);
    SyslogTcp(exe, 10, count, false);
    SyslogTls(exe, count);
    IdleSyslogConnections(exe);
    return 0;
  }
  if (part == "stream") {
    // The referee's loads: one route and 10,000, files only and stream on.
    Tpkt(exe, 1, count);
    StreamTpkt(exe, count, 1, /*archive=*/true);
    {
      rlimit limit{20000, 20000};
      setrlimit(RLIMIT_NOFILE, &limit);  // the service inherits it
    }
    Tpkt(exe, 1, count, 10000);
    StreamTpkt(exe, count, 10000);
    return 0;
  }
  if (part == "floor") {
    TreeFloor(count);
    return 0;
  }
  if (part == "spoofed") {
    SpoofedSenders(exe);
    return 0;
  }
  if (part == "limits") {
    // What the rate limits' check costs, the runs alternating.
    for (int i = 0; i < 3; ++i) {
      Tpkt(exe, 1, count);
      Tpkt(exe, 1, count, 1, kTextBytes, false, kLimitsOn);
      Udp(exe, 100000, count);
      Udp(exe, 100000, count, kLimitsOn);
    }
    return 0;
  }
  if (part == "scrape") {
    // What scraping costs, the two runs alternating.
    for (int i = 0; i < 3; ++i) {
      Tpkt(exe, 1, count);
      Tpkt(exe, 1, count, 1, kTextBytes, /*scrape=*/true);
    }
    return 0;
  }
  std::printf("LogServer end to end, %d messages of %zu bytes per run, loopback\n", count, kTextBytes);
  if (part == "all" || part == "base") {
    Udp(exe, 100000, count);
    Udp(exe, 200000, count);
    Udp(exe, 0, count);
    Tpkt(exe, 1, count);
    Tpkt(exe, 1, count, 1, kTextBytes, /*scrape=*/true);
    Tpkt(exe, 10, count);
    SyslogTcp(exe, 1, count, true);
    SyslogTcp(exe, 1, count, false);
    SyslogTcp(exe, 10, count, true);
    SyslogTcp(exe, 10, count, false);
    SyslogTls(exe, count);
    IdleAndLatency(exe);
    IdleSyslogConnections(exe);
    SpoofedSenders(exe);
    StreamTpkt(exe, count);
  }
  if (part == "base") return 0;
  std::printf("\nHow the cost grows\n");
  {
    rlimit limit{20000, 20000};
    setrlimit(RLIMIT_NOFILE, &limit);  // the service inherits it
  }
  Tpkt(exe, 1, count);
  Tpkt(exe, 1, count, 1000);
  Tpkt(exe, 1, count, 10000);
  UdpSenders(exe, 100000, count, 1);
  UdpSenders(exe, 100000, count, 1000);
  UdpSenders(exe, 100000, count, 10000);
  TreeFloor(count);
  Tpkt(exe, 1, count, 1, 64);
  Tpkt(exe, 1, count / 8, 1, 8000);
  Tpkt(exe, 100, count);
  HourChange(exe);
  return 0;
}

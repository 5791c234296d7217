// The service end to end: starts the real LogServer in a directory of its
// own, drives it over loopback, and prints what it achieves: messages per
// second, loss and CPU microseconds per message for syslog datagrams (100k/s,
// 200k/s, unthrottled) and TPKT records (1 and 10 connections), the cost of
// 1,000 idle connections, and the delay from sending a message to its line
// being in the file.
//
//   e2e_bench LOGSERVER [messages]
//
// Speed is measured here and nowhere else. Every message carries a sequence
// number; lines are counted in the files the service writes.
#include "core/uLogClient.h"
#include "platform/uSocket.h"
#include "platform/uTime.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::uint16_t FreePort(bool stream) {
  TDescriptor fd = stream ? SocketCreateStream() : SocketCreateDatagram();
  SocketBind(fd.Get(), ParseIPv4("127.0.0.1"), 0);
  return SocketLocalAddress(fd.Get()).Port;
}

std::string Text(int source, int sequence) {
  char head[64];
  std::snprintf(head, sizeof head, "src=%03d seq=%010d ", source, sequence);
  std::string text = head;
  text.resize(kTextBytes, 'x');
  return text;
}

// One LogServer, copied into a fresh directory with its own configuration.
class TServer {
 public:
  explicit TServer(const std::string& executable) {
    char pattern[] = "/tmp/logserver-e2e-XXXXXX";
    Directory = mkdtemp(pattern);
    Directory += "/";
    fs::copy_file(executable, Directory + "LogServer");
    TcpPort = FreePort(true);
    UdpPort = FreePort(false);
    std::ofstream(Directory + "LogServer.conf") << "[Common]\nServicePort=" << TcpPort << "\nSysLogPort="
                                           << UdpPort << "\nLogMode=0\nBaseCatalog=" << Directory
                                           << "logs/\n";
    std::fflush(stdout);  // the child would print what is buffered again
    ChildPid = fork();
    if (ChildPid == 0) {
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
      execl((Directory + "LogServer").c_str(), "LogServer", static_cast<char*>(nullptr));
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
  std::uint16_t Udp() const { return UdpPort; }
  pid_t Pid() const { return ChildPid; }

  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(ChildPid) + "/stat");
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i)
      if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  long RssKiB() const {
    std::ifstream status("/proc/" + std::to_string(ChildPid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }
  // Bytes in the files of the senders (the service's own log aside).
  std::uintmax_t OutputBytes() const {
    std::uintmax_t bytes = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(Directory + "logs/127.0.0.1", ec))
      if (e.is_regular_file(ec)) bytes += e.file_size(ec);
    return bytes;
  }
  std::uintmax_t Lines() const {
    std::uintmax_t lines = 0;
    std::error_code ec;
    std::vector<char> buffer(1 << 20);
    for (const auto& e : fs::recursive_directory_iterator(Directory + "logs/127.0.0.1", ec)) {
      if (!e.is_regular_file(ec)) continue;
      std::ifstream in(e.path(), std::ios::binary);
      while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        lines += static_cast<std::uintmax_t>(std::count(buffer.data(), buffer.data() + in.gcount(), '\n'));
    }
    return lines;
  }
  std::string FirstFile() const {
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(Directory + "logs/127.0.0.1", ec))
      if (e.is_regular_file(ec)) return e.path().string();
    return std::string();
  }

 private:
  std::string Directory;
  std::uint16_t TcpPort = 0, UdpPort = 0;
  pid_t ChildPid = 0;
};

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

void Udp(const std::string& exe, double rate, int count) {
  TServer server(exe);
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
  Report(what, static_cast<std::uintmax_t>(count), server, cpu0, start);
}

void Tpkt(const std::string& exe, int connections, int count) {
  TServer server(exe);
  const double cpu0 = server.CpuSeconds();
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> senders;
  for (int c = 0; c < connections; ++c) {
    senders.emplace_back([&, c] {
      TLogClient client;
      if (!client.Connect("127.0.0.1", server.Tcp())) return;
      std::string batch;
      for (int s = c; s < count; s += connections) {
        batch += BuildClientLogFrame({"bench", "m", "", Text(c, s), 0.0});
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
  std::snprintf(what, sizeof what, "TPKT %d connection%s", connections, connections > 1 ? "s" : "");
  Report(what, static_cast<std::uintmax_t>(count), server, cpu0, start);
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
  std::printf("LogServer end to end, %d messages of %zu bytes per run, loopback\n", count, kTextBytes);
  Udp(exe, 100000, count);
  Udp(exe, 200000, count);
  Udp(exe, 0, count);
  Tpkt(exe, 1, count);
  Tpkt(exe, 10, count);
  IdleAndLatency(exe);
  return 0;
}

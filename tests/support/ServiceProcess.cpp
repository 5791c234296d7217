#include "support/ServiceProcess.h"

#include "core/uLogClient.h"
#include "platform/uSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <fstream>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <ctime>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testing_support {

namespace {

// Whether `port` can be bound now, for TCP and UDP, on every address (the
// service binds 0.0.0.0).
bool Bindable(std::uint16_t port) {
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (!bound) return false;
  }
  return true;
}

// The lowest port the kernel hands out for bind(0) and outgoing connections.
int EphemeralLow() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  return range >> low ? low : 32768;
}

// Ports this test process claimed; their lock files stay open (and locked)
// until it ends.
std::vector<int> gClaimLocks;

}  // namespace

std::uint16_t ClaimPort() {
  // Below the ephemeral range no bind(0) or connect of anybody can take the
  // port from under us; other tests running beside this one are kept off by
  // a lock file per port (flock, released when a test process ends).
  const int high = EphemeralLow();
  const int low = high > 12288 ? high - 12000 : 1024;
  const std::string lockDir = "/tmp/logserver-test-ports";
  mkdir(lockDir.c_str(), 01777);
  const int span = high - low;
  const int start = static_cast<int>((static_cast<unsigned>(getpid()) * 7919u +
                                      static_cast<unsigned>(time(nullptr))) %
                                     static_cast<unsigned>(span));
  for (int i = 0; i < span; ++i) {
    const int port = low + (start + i) % span;
    const std::string lockPath = lockDir + "/" + std::to_string(port);
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !Bindable(static_cast<std::uint16_t>(port))) {
      close(fd);
      continue;
    }
    gClaimLocks.push_back(fd);
    return static_cast<std::uint16_t>(port);
  }
  throw std::runtime_error("no free port to claim");
}

std::uint16_t FreeTcpPort() { return ClaimPort(); }
std::uint16_t FreeUdpPort() { return ClaimPort(); }

long TServiceProcess::RssKiB() const {
  const std::string status = ReadFile("/proc/" + std::to_string(Pid()) + "/status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

double TServiceProcess::CpuSeconds() const {
  std::istringstream stat(ReadFile("/proc/" + std::to_string(Pid()) + "/stat"));
  std::string field;
  double ticks = 0;
  // utime and stime are fields 14 and 15 (the name, field 2, has no blank).
  for (int i = 1; i <= 15 && stat >> field; ++i)
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int TServiceProcess::OpenDescriptors() const {
  std::error_code ec;
  int n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(Pid()) + "/fd", ec);
       !ec && it != fs::end(it); it.increment(ec))
    ++n;
  return ec ? -1 : n;
}

long RaiseDescriptorLimit(long wanted) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (static_cast<long>(limit.rlim_cur) < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = static_cast<rlim_t>(wanted);
    if (static_cast<long>(raised.rlim_max) < wanted) raised.rlim_max = static_cast<rlim_t>(wanted);
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
      raised.rlim_max = limit.rlim_max;
      raised.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &raised);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
}

double LoadScale() {
  const char* scale = std::getenv("LOGSERVER_LOAD_SCALE");
  const double value = scale ? std::atof(scale) : 1.0;
  return value > 0 ? value : 1.0;
}

std::vector<std::string> StopSequenceTexts() {
  return {
      "Have normal TERM SIGNAL",
      "STOPPING CONECTION CONTROLLER...",
      "STOPPED CONECTION CONTROLLER...OK",
      "STOPPING NET TPKT SERVER...",
      "STOPPED NET TPKT SERVER...OK",
      "STOPPING NET SYSLOG SERVER...",
      "STOPPED NET SYSLOG SERVER...OK",
      "STOPPING LOG QUEUE...",
      "STOPPED LOG QUEUE...OK",
      "STOPPING LOG PRODUCER...",
      "STOPPED LOG PRODUCER...OK",
      "Log Server stopped",
  };
}

std::string JoinedFilesBelow(const std::string& dir) {
  std::string text;
  for (const std::string& file : FilesBelow(dir)) text += ReadFile(file);
  return text;
}

bool IsServiceStamp(const std::string& line) {
  if (line.size() < kServiceStampLength) return false;
  const std::string shape = "dd.dd.dddd dd:dd:dd:ddd : ";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return true;
}

TServiceProcess::TServiceProcess() {
  fs::copy_file(LOGSERVER_EXECUTABLE, Executable(), fs::copy_options::overwrite_existing);
  fs::permissions(Executable(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
  ServicePort_ = FreeTcpPort();
  SysLogPort_ = FreeUdpPort();
}

void TServiceProcess::WriteConfig(const std::string& extraCommonLines,
                                  const std::string& otherSections) {
  WriteRawConfig("[Common]\nServicePort=" + std::to_string(ServicePort_) +
                 "\nSysLogPort=" + std::to_string(SysLogPort_) + "\n" + extraCommonLines +
                 otherSections);
}

void TServiceProcess::WriteRawConfig(const std::string& text) { WriteFile(ConfigPath(), text); }

TChildProcess::~TChildProcess() {
  if (IsRunning) {
    kill(ChildPid, SIGKILL);
    int status = 0;
    waitpid(ChildPid, &status, 0);
  }
}

void TChildProcess::Start(const std::vector<std::string>& argv, const std::string& out,
                          const std::string& err, bool unprivileged, long fileSizeLimit,
                          long descriptorLimit) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (o < 0 || e < 0) _exit(126);
    dup2(o, STDOUT_FILENO);
    dup2(e, STDERR_FILENO);
    if (unprivileged && geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    }
    if (chdir("/") != 0) _exit(124);
    for (const auto& [name, value] : Environment) setenv(name.c_str(), value.c_str(), 1);
    if (Umask >= 0) umask(static_cast<mode_t>(Umask));
    if (fileSizeLimit >= 0) {
      const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(123);
    }
    if (descriptorLimit >= 0) {
      const rlimit limit{static_cast<rlim_t>(descriptorLimit), static_cast<rlim_t>(descriptorLimit)};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(122);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  ChildPid = pid;
  IsRunning = true;
}

void TChildProcess::Adopt(pid_t pid) {
  ChildPid = pid;
  IsRunning = true;
}

bool TChildProcess::Signal(int signal) const { return IsRunning && kill(ChildPid, signal) == 0; }

bool TChildProcess::WaitExit(int& status, int timeoutMs) {
  if (!IsRunning) return false;
  int raw = 0;
  const bool ended = WaitUntil([&] { return waitpid(ChildPid, &raw, WNOHANG) == ChildPid; }, timeoutMs);
  if (!ended) return false;
  IsRunning = false;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return true;
}

void TServiceProcess::Start(bool unprivileged, long fileSizeLimit, long descriptorLimit) {
  Process.Start({Executable()}, Dir() + "stdout.txt", Dir() + "stderr.txt", unprivileged,
                fileSizeLimit, descriptorLimit);
}

void TServiceProcess::StartWith(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{Executable()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Process.Start(argv, Dir() + "stdout.txt", Dir() + "stderr.txt");
}

int HttpGet(std::uint16_t port, const std::string& path, std::string& body) {
  body.clear();
  logserver::TDescriptor fd = logserver::SocketConnect("127.0.0.1", port);
  if (!fd) return 0;
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (!logserver::SocketWriteAll(fd.Get(), request.data(), request.size())) return 0;
  std::string answer;
  char buffer[65536];
  for (;;) {
    bool readable = false, writable = false;
    if (logserver::SocketWait(fd.Get(), true, false, 5000, readable, writable) <= 0) break;
    const long n = logserver::SocketRead(fd.Get(), buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t space = answer.find(' ');
  const std::size_t headersEnd = answer.find("\r\n\r\n");
  if (space == std::string::npos || headersEnd == std::string::npos) return 0;
  body = answer.substr(headersEnd + 4);
  return std::atoi(answer.c_str() + space + 1);
}

void TServiceProcess::BecomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

pid_t TServiceProcess::AdoptDetached(int timeoutMs) {
  pid_t found = 0;
  const std::string exe = Executable();
  WaitUntil(
      [&] {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/proc", ec)) {
          const std::string name = entry.path().filename().string();
          if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
          std::error_code linkError;
          const fs::path target = fs::read_symlink(entry.path() / "exe", linkError);
          if (linkError || target.string() != exe) continue;
          const pid_t pid = static_cast<pid_t>(std::stol(name));
          if (pid == Process.Pid()) continue;
          found = pid;
          return true;
        }
        return false;
      },
      timeoutMs);
  if (found != 0) Process.Adopt(found);
  return found;
}

std::string TServiceProcess::ForeignStderr() const {
  std::string foreign;
  const std::string err = Stderr();
  std::size_t start = 0;
  while (start < err.size()) {
    std::size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    const std::string line = err.substr(start, end - start);
    if (line.rfind("LogServer: ", 0) != 0) foreign += line + "\n";
    start = end + 1;
  }
  return foreign;
}

std::string TServiceProcess::ServiceLog() const {
  return JoinedFilesBelow(LogsDir() + "0.0.0.0/LogServer/LogServer/");
}

std::vector<std::string> TServiceProcess::ServiceLogTexts() const {
  std::vector<std::string> texts;
  for (const std::string& line : SplitCrLf(ServiceLog()))
    texts.push_back(IsServiceStamp(line) ? line.substr(kServiceStampLength) : "<bad stamp> " + line);
  return texts;
}

std::string TServiceProcess::RequestStatistics() const {
  auto count = [&] {
    const std::string err = Stderr();
    std::size_t n = 0;
    for (std::size_t at = err.find("STATISTICS: "); at != std::string::npos; at = err.find("STATISTICS: ", at + 1))
      ++n;
    return n;
  };
  const std::size_t before = count();
  // Also the line's end: standard error may be read in the middle of it.
  auto complete = [&] {
    const std::string err = Stderr();
    return count() > before && err.find('\n', err.rfind("STATISTICS: ")) != std::string::npos;
  };
  if (!Signal(SIGUSR1) || !WaitUntil(complete)) return "";
  const std::string err = Stderr();
  const std::size_t at = err.rfind("STATISTICS: ");
  return err.substr(at, err.find('\n', at) - at);
}

void ExpectOrderlyStop(TServiceProcess& service) {
  ASSERT_TRUE(service.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 0) << service.Stderr();
  EXPECT_EQ(service.ForeignStderr(), "");
}

long StatisticsCount(const std::string& statistics, const std::string& name) {
  const std::size_t at = statistics.find(name);
  return at == std::string::npos ? -1 : std::atol(statistics.c_str() + at + name.size());
}

bool TServiceProcess::WaitForServiceLog(const std::string& text, int timeoutMs) const {
  return WaitUntil(
      [&] {
        const std::vector<std::string> texts = ServiceLogTexts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
      },
      timeoutMs);
}

}  // namespace testing_support

namespace testing_support {

bool TServiceProcess::WaitUntilServing(int timeoutMs) const {
  // The start line on stderr comes once both ports are bound (or failed).
  return WaitForServiceLog("Log Server started AS APPLICATION...", timeoutMs) &&
         WaitUntil([&] { return Stderr().find(" started: configuration ") != std::string::npos; },
                   timeoutMs) &&
         WaitUntil(
             [&] {
               logserver::TLogClient probe;
               return probe.Connect("127.0.0.1", ServicePort_) && probe.Finish(5000);
             },
             timeoutMs);
}

}  // namespace testing_support

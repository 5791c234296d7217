// What operators and hostile senders do to a running service: signals, moved
// and deleted files, blocked paths, planted links, limits, long names, a
// taken syslog port, a stop under load. None of it may cost a line silently.
#include "base/uDateTimeMask.h"
#include "core/uLogClient.h"
#include "net/uTPKTFilter.h"
#include "platform/uSocket.h"
#include "platform/uTime.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace logserver;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class FaultTest : public ::testing::Test {
 protected:
  void StartService(const std::string& extra = "LogMode=1\n", long fileSizeLimit = -1,
                    long descriptorLimit = -1) {
    service.WriteConfig(extra);
    service.Start(false, fileSizeLimit, descriptorLimit);
    ASSERT_TRUE(service.WaitUntilServing());
  }
  void StopService() { ExpectOrderlyStop(service); }
  // Sends one message per text on one connection and waits until the
  // service has read them all.
  void Send(const std::string& app, const std::vector<std::string>& texts,
            const std::string& module = "m") {
    TLogClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
    for (const std::string& text : texts) ASSERT_TRUE(client.Send({app, module, "", text, 0.0}));
    ASSERT_TRUE(client.Finish(30000));
  }
  std::string Written(const std::string& app, const std::string& module = "m") {
    return JoinedFilesBelow(service.LogsDir() + "127.0.0.1/" + app + "/" + module + "/");
  }
  bool WaitForText(const std::string& app, const std::string& text, int timeoutMs = 10000) {
    return WaitUntil([&] { return Written(app).find(text + "\r\n") != std::string::npos; }, timeoutMs);
  }
  // The service's hourly file for app/m now: the clock decides date and hour.
  std::string HourlyFile(const std::string& app, double when = Now()) {
    return service.LogsDir() + "127.0.0.1/" + app + "/m/" + FormatDateTime("yyyy_mm_dd", when) +
           "/m_" + FormatDateTime("hh", when) + ".log";
  }
  bool Alive() { return kill(service.Pid(), 0) == 0; }
  // A fresh SIGUSR1 statistics line from stderr, or "" when none came.
  std::string Statistics() { return service.RequestStatistics(); }
  static long Count(const std::string& statistics, const std::string& name) {
    return StatisticsCount(statistics, name);
  }

  TServiceProcess service;
};

std::vector<std::string> Numbered(const std::string& stem, int count) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back(stem + " " + std::to_string(i));
  return texts;
}

std::string Lines(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& t : texts) joined += t + "\r\n";
  return joined;
}

}  // namespace

TEST_F(FaultTest, HangupAfterRotationWritesOnIntoANewFileAtTheOldPath) {
  StartService();
  const auto before = Numbered("before", 50);
  Send("rot", before);
  ASSERT_TRUE(WaitForText("rot", "before 49"));
  const auto files = FilesBelow(service.LogsDir() + "127.0.0.1/rot/");
  ASSERT_EQ(files.size(), 1u);
  const std::string current = files[0];
  ASSERT_EQ(std::rename(current.c_str(), (current + ".1").c_str()), 0);
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(service.WaitForServiceLog("LOG FILES REOPENED"));
  const auto after = Numbered("after", 50);
  Send("rot", after);
  ASSERT_TRUE(WaitForText("rot", "after 49"));
  EXPECT_EQ(ReadFile(current + ".1"), Lines(before));
  std::string reopened;
  for (const std::string& file : FilesBelow(service.LogsDir() + "127.0.0.1/rot/"))
    if (file != current + ".1") reopened += ReadFile(file);
  EXPECT_EQ(reopened, Lines(after));
  // The new file stands at the old path, unless the hour has changed since.
  if (HourlyFile("rot") == current) {
    EXPECT_EQ(ReadFile(current), Lines(after));
  }
  EXPECT_TRUE(Alive());
  StopService();
}

TEST_F(FaultTest, SignalsThatDoNotStopTheServiceLeaveItRunning) {
  StartService();
  for (int signal : {SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXFSZ}) {
    ASSERT_TRUE(service.Signal(signal));
    // The main loop runs to write this line, so the signal was delivered.
    const std::string text = "after signal " + std::to_string(signal);
    Send("sig", {text});
    ASSERT_TRUE(WaitForText("sig", text)) << signal;
    ASSERT_TRUE(Alive()) << signal;
  }
  StopService();
}

TEST_F(FaultTest, StatisticsComeOnSigusr1AndCountWhatWasSentAndWritten) {
  StartService("LogMode=0\n");
  Send("stats", Numbered("tcp", 25));
  {
    // A record that cannot be decoded (too short), and bytes that are no
    // TPKT at all: dropped, and counted.
    TLogClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
    ASSERT_TRUE(client.SendRaw(BuildTpktFrame("short")));
    ASSERT_TRUE(client.SendRaw("0123456789abcdef"));
    ASSERT_TRUE(client.Finish(5000));
  }
  const TDescriptor udp = SocketCreateDatagram();
  const TSocketAddress to{ParseIPv4("127.0.0.1"), service.SysLogPort()};
  for (int i = 0; i < 7; ++i) SocketSendTo(udp.Get(), "datagram", 8, to);
  ASSERT_TRUE(WaitForText("stats", "tcp 24"));
  ASSERT_TRUE(WaitUntil([&] {
    return SplitCrLf(JoinedFilesBelow(service.LogsDir() + "127.0.0.1/SYSLOG/")).size() == 7;
  }));
  ASSERT_TRUE(service.Signal(SIGUSR1));
  const std::string expected =
      "STATISTICS: received tcp=26 udp=7, written=32, to providers=0, dropped queue-full=0 "
      "open-failed=0 write-failed=0 invalid=1 kernel=0, not-tpkt bytes=14, connections=0, open files=";
  ASSERT_TRUE(WaitUntil([&] {
    for (const std::string& t : service.ServiceLogTexts())
      if (t.rfind(expected, 0) == 0) return true;
    return false;
  })) << service.ServiceLog();
  // The journal gets the line too, and the sender of the bytes that are no
  // TPKT is named there.
  EXPECT_NE(service.Stderr().find("LogServer: " + expected), std::string::npos) << service.Stderr();
  EXPECT_NE(service.Stderr().find("NOT TPKT: 14 bytes on TCP port " +
                                  std::to_string(service.ServicePort()) +
                                  " were no TPKT frame and were dropped (last from 127.0.0.1:"),
            std::string::npos)
      << service.Stderr();
  // Still serving, and the start line on stderr named what it serves.
  Send("stats", {"after"});
  ASSERT_TRUE(WaitForText("stats", "after"));
  EXPECT_NE(service.Stderr().find("started: configuration " + service.ConfigPath() + ", logs " +
                                  service.LogsDir() + ", TCP port " +
                                  std::to_string(service.ServicePort()) + " listening, syslog UDP port " +
                                  std::to_string(service.SysLogPort()) + " listening"),
            std::string::npos)
      << service.Stderr();
  StopService();
}

TEST_F(FaultTest, AnUnwritableLogDirectoryIsNamedAtStartAndTheServiceRuns) {
  // A place no one can create a directory in, not even root. There is no
  // service log then, so serving shows only in a client getting through.
  service.WriteConfig("BaseCatalog=/proc/logserver-test/\n");
  service.Start();
  ASSERT_TRUE(WaitUntil([&] {
    TLogClient probe;
    return probe.Connect("127.0.0.1", service.ServicePort()) && probe.Finish(5000);
  }));
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find(" started: ") != std::string::npos; }));
  EXPECT_NE(service.Stderr().find("log directory /proc/logserver-test/ cannot be written: "),
            std::string::npos)
      << service.Stderr();
  Send("nowhere", {"lost"});
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("LOST LOG LINES: ") != std::string::npos; }));
  EXPECT_TRUE(Alive());
  StopService();
}

TEST_F(FaultTest, DeletedTreeIsRecreatedAndItsLinesAreInFilesOrCountedAsLost) {
  StartService();
  // One connection throughout, so its producer keeps its file open.
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  ASSERT_TRUE(client.Send({"del", "m", "", "first", 0.0}));
  ASSERT_TRUE(WaitForText("del", "first"));
  // rm -rf of the whole tree: lines must not go on into the unlinked files,
  // neither the client's nor the service's own.
  fs::remove_all(service.LogsDir());
  int sent = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string text = "second " + std::to_string(sent++);
        return client.Send({"del", "m", "", text, 0.0}) && WaitForText("del", text, 500);
      },
      20000));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitUntil([&] { return !service.ServiceLog().empty(); }));
  // Every line is in a file or counted as lost, also those that went into a
  // file between its deletion and the service noticing it. Only "first",
  // written before the deletion, counts as written or as lost depending on
  // whether a check passed in between.
  const std::string statistics = Statistics();
  const long inFiles = static_cast<long>(SplitCrLf(Written("del")).size());
  const long written = Count(statistics, " written=");
  EXPECT_TRUE(written == inFiles || written == inFiles + 1) << inFiles << " in files, " << statistics;
  EXPECT_EQ(Count(statistics, "received tcp="), 1 + sent);
  EXPECT_EQ(1 + sent, written + Count(statistics, " open-failed=") + Count(statistics, " write-failed="))
      << statistics;
  StopService();
}

TEST_F(FaultTest, ABlockedPathIsReportedAndRecoversWithinSeconds) {
  StartService();
  // A plain file where a directory must go: lost and reported, until it goes.
  ASSERT_TRUE(fs::create_directories(service.LogsDir() + "127.0.0.1"));
  WriteFile(service.LogsDir() + "127.0.0.1/blocked", "in the way");
  Send("blocked", {"lost"});
  const std::string report = "LOST LOG LINES: 1 (" + service.LogsDir() + "127.0.0.1/blocked/";
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find(report) != std::string::npos; })) << service.Stderr();
  ASSERT_EQ(std::remove((service.LogsDir() + "127.0.0.1/blocked").c_str()), 0);
  ASSERT_TRUE(WaitUntil(
      [&] {
        Send("blocked", {"recovered"});
        return WaitForText("blocked", "recovered", 500);
      },
      10000));
  EXPECT_EQ(Written("blocked").find("lost"), std::string::npos);
  EXPECT_NE(service.ServiceLog().find(report), std::string::npos) << service.ServiceLog();
  StopService();
}

TEST_F(FaultTest, LogFilesAndDirectoriesGetTheirModesWhateverTheUmask) {
  auto modeOf = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  // The base directory's top-of-hierarchies flag; -1 where the file system
  // has no such flags.
  auto topDirectoryFlag = [](const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    const bool read = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return read ? (flags & FS_TOPDIR_FL) != 0 : -1;
  };
  // Started by hand with umask 000, the tree is still no one else's.
  service.SetUmask(0);
  StartService();
  Send("modes", {"line"});
  ASSERT_TRUE(WaitForText("modes", "line"));
  const std::string file = HourlyFile("modes");
  EXPECT_EQ(modeOf(file), 0640u);
  for (const std::string& dir : {service.LogsDir(), service.LogsDir() + "127.0.0.1/", service.LogsDir() + "127.0.0.1/modes/m/"})
    EXPECT_EQ(modeOf(dir), 0750u) << dir;
  // Marked so that the senders' directories are spread over the disk.
  const int spread = topDirectoryFlag(service.LogsDir());
  if (spread != -1) {
    EXPECT_EQ(spread, 1);
  }
  StopService();
  // [Files] sets others; a umask still takes away from them.
  TServiceProcess other;
  other.SetUmask(0007);
  other.WriteConfig("LogMode=1\n", "[Files]\nFileMode=0664\nDirectoryMode=0775\nSpreadSenders=0\n");
  other.Start();
  ASSERT_TRUE(other.WaitUntilServing());
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", other.ServicePort()));
  ASSERT_TRUE(client.Send({"modes", "m", "", "line", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  const std::string dir = other.LogsDir() + "127.0.0.1/modes/m/";
  ASSERT_TRUE(WaitUntil([&] { return !FilesBelow(dir).empty(); }));
  EXPECT_EQ(modeOf(FilesBelow(dir).front()), 0660u);
  EXPECT_EQ(modeOf(dir), 0770u);
  if (spread != -1) {
    EXPECT_EQ(topDirectoryFlag(other.LogsDir()), 0);
  }
  ASSERT_TRUE(other.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(other.WaitExit(status));
  EXPECT_EQ(status, 0);
}

TEST_F(FaultTest, PlantedLinksLeadNoLineOutOfTheTree) {
  TTempDir outside;
  const std::string target = outside.Path() + "target.log";
  WriteFile(target, "untouched\n");
  // A link at an application's directory, and at the hourly file of this
  // hour and the next (the test may cross an hour).
  fs::create_directories(service.LogsDir() + "127.0.0.1/");
  fs::create_directory_symlink(outside.Path(), service.LogsDir() + "127.0.0.1/dir");
  for (double when : {Now(), Now() + 1.0 / 24}) {
    const std::string file = HourlyFile("file", when);
    fs::create_directories(fs::path(file).parent_path());
    fs::create_symlink(target, file);
  }
  StartService();
  Send("file", {"through a file link"});
  Send("dir", {"through a directory link"});
  Send("fine", {"beside them"});
  ASSERT_TRUE(WaitForText("fine", "beside them"));
  // The first loss is reported at once (the next within the minute).
  ASSERT_TRUE(WaitUntil([&] {
    return service.Stderr().find("LOST LOG LINES: 1 (" + service.LogsDir() + "127.0.0.1/file/m/") !=
           std::string::npos;
  })) << service.Stderr();
  EXPECT_EQ(ReadFile(target), "untouched\n");
  EXPECT_EQ(FilesBelow(outside.Path()), std::vector<std::string>{target});
  StopService();
}

TEST_F(FaultTest, AFileSizeLimitLosesWholeLinesAndNeverTheService) {
  constexpr long kLimit = 64 * 1024;
  StartService("LogMode=0\n", kLimit);
  const auto texts = Numbered(std::string(200, 'x'), 400);  // about 80 KiB
  Send("big", texts);
  Send("small", {"still written"});
  ASSERT_TRUE(WaitForText("small", "still written"));
  ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find("File too large") != std::string::npos; }));
  const std::string big = Written("big");
  EXPECT_LE(static_cast<long>(big.size()), kLimit);
  EXPECT_EQ(big, Lines(std::vector<std::string>(texts.begin(),
                                                texts.begin() + static_cast<long>(SplitCrLf(big).size()))));
  EXPECT_TRUE(Alive());
  StopService();
}

TEST_F(FaultTest, AFewDescriptorsStillWriteEveryLineOfManyFiles) {
  // 64 descriptors leave the log files the fewest the service keeps (16):
  // 150 files take turns, each reopened for appending with its next line.
  StartService("LogMode=0\n", -1, 64);
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 150; ++i)
      ASSERT_TRUE(client.Send({"many", "m" + std::to_string(i), "", "round " + std::to_string(round), 0.0}));
  ASSERT_TRUE(client.Finish(30000));
  ASSERT_TRUE(WaitUntil([&] {
    for (int i = 0; i < 150; i += 149)
      if (JoinedFilesBelow(service.LogsDir() + "127.0.0.1/many/m" + std::to_string(i) + "/") !=
          "round 0\r\nround 1\r\n")
        return false;
    return true;
  }));
  for (int i = 0; i < 150; ++i)
    EXPECT_EQ(JoinedFilesBelow(service.LogsDir() + "127.0.0.1/many/m" + std::to_string(i) + "/"),
              "round 0\r\nround 1\r\n")
        << i;
  EXPECT_LE(service.OpenDescriptors(), 64);
  EXPECT_EQ(service.Stderr().find("LOST"), std::string::npos) << service.Stderr();
  StopService();
}

TEST_F(FaultTest, AFailedWriteBackLeavesTheConfigurationAsItWas) {
  service.WriteConfig("; a comment that must survive\n", "[Providers]\n");
  const std::string before = ReadFile(service.ConfigPath());
  // The written-back file would be longer than the limit allows.
  service.Start(false, static_cast<long>(before.size()) + 10);
  int status = 0;
  ASSERT_TRUE(service.WaitExit(status));
  EXPECT_EQ(status, 1) << "a clean failure, not a signal";
  EXPECT_NE(service.Stderr().find("LogServer.conf: File too large"), std::string::npos)
      << service.Stderr();
  EXPECT_EQ(ReadFile(service.ConfigPath()), before);
  EXPECT_EQ(FilesBelow(service.Dir()).size(), 4u) << "no temporary file is left";
}

TEST_F(FaultTest, AnUnchangedConfigurationIsNotRewritten) {
  StartService();
  StopService();
  const std::string text = ReadFile(service.ConfigPath());
  // Dated back: a rewrite, even of the same bytes, would show in the time.
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, service.ConfigPath().c_str(), past, 0), 0);
  service.Start();
  ASSERT_TRUE(service.WaitUntilServing());
  StopService();
  struct stat after {};
  ASSERT_EQ(stat(service.ConfigPath().c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(ReadFile(service.ConfigPath()), text);
}

TEST_F(FaultTest, LongAndDeepNamesAreWrittenUnderABoundedPath) {
  StartService();
  std::string deep;
  for (int i = 0; i < 2030; ++i) deep += i == 0 ? "d" : "/d";
  const std::string wide(300, 'w');
  Send(deep, {"deep line"});
  Send(wide, {"wide line"});
  Send("after", {"served on"});
  ASSERT_TRUE(WaitUntil([&] { return Written("after") == "served on\r\n"; }));
  const std::string sender = service.LogsDir() + "127.0.0.1/";
  ASSERT_TRUE(WaitUntil([&] {
    return JoinedFilesBelow(sender + "d/").find("deep line\r\n") != std::string::npos;
  }));
  std::size_t deepest = 0, directories = 0, longest = 0;
  for (const auto& entry : fs::recursive_directory_iterator(sender)) {
    const std::string relative = fs::relative(entry.path(), sender).string();
    deepest = std::max<std::size_t>(deepest, std::count(relative.begin(), relative.end(), '/') + 1);
    directories += entry.is_directory();
    longest = std::max(longest, entry.path().filename().string().size());
  }
  EXPECT_LE(deepest, 16u);
  EXPECT_LE(directories, 40u);
  EXPECT_LE(longest, 255u);
  const auto files = FilesBelow(sender);
  bool wideFound = false;
  for (const std::string& file : files)
    wideFound = wideFound || (file.find("/" + wide.substr(0, 200)) != std::string::npos &&
                              ReadFile(file) == "wide line\r\n");
  EXPECT_TRUE(wideFound);
  const auto texts = service.ServiceLogTexts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.rfind("PATH SHORTENED: ", 0) == 0; }),
            2);
  StopService();
}

TEST_F(FaultTest, NamesWithBarsKeepTheirOwnRoutes) {
  StartService();
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  ASSERT_TRUE(client.Send({"x|y", "z", "p", "first route", 0.0}));
  ASSERT_TRUE(client.Send({"x", "y|z", "p", "second route", 0.0}));
  ASSERT_TRUE(client.Finish(5000));
  ASSERT_TRUE(WaitUntil([&] { return Written("x", "y|z") == "second route\r\n"; }));
  EXPECT_EQ(Written("x|y", "z"), "first route\r\n");
  StopService();
}

TEST_F(FaultTest, AStopWritesEverythingTheServiceHasRead) {
  StartService("LogMode=0\n");
  const int count = static_cast<int>(100000 * LoadScale());
  TLogClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.ServicePort()));
  std::string batch;
  for (int i = 0; i < count; ++i) {
    batch += BuildClientLogFrame({"stop", "m", "", "line " + std::to_string(i), 0.0});
    if (batch.size() > 65536 || i + 1 == count) {
      ASSERT_TRUE(client.SendRaw(batch));
      batch.clear();
    }
  }
  // Once the service has closed its side, it has read everything.
  ASSERT_TRUE(client.Finish(60000));
  ASSERT_TRUE(service.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(service.WaitExit(status, 30000));
  EXPECT_EQ(status, 0);
  const auto lines = SplitCrLf(Written("stop"));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(count));
  for (int i = 0; i < count; i += 997) EXPECT_EQ(lines[i], "line " + std::to_string(i));
  EXPECT_EQ(lines.back(), "line " + std::to_string(count - 1));
  const auto texts = service.ServiceLogTexts();
  const auto stop = StopSequenceTexts();
  ASSERT_GE(texts.size(), stop.size());
  EXPECT_EQ(std::vector<std::string>(texts.end() - static_cast<long>(stop.size()), texts.end()), stop);
}

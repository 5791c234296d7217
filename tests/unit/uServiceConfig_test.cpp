#include "core/uServiceConfig.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace logserver;
using testing_support::ReadFile;
using testing_support::TTempDir;
using testing_support::WriteFile;

class ConfigTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir.Path() + "LogServer.conf"; }
  void Read(const std::string* text) {
    if (text) WriteFile(Path(), *text);
    config = ReadServiceConfig(Path(), "/opt/svc/bin/");
  }
  void Read(const std::string& text) { Read(&text); }
  std::string Written() const { return ReadFile(Path()); }

  TTempDir dir;
  TServiceConfig config;
};

TEST_F(ConfigTest, MissingFileGivesDefaultsAndIsCreatedWithSixKeys) {
  Read(nullptr);
  EXPECT_EQ(config.ServicePort, 30000);
  EXPECT_EQ(config.SysLogPort, 514);
  EXPECT_EQ(config.RunMode, 0);
  EXPECT_EQ(config.LogMode, 1);
  EXPECT_EQ(config.BaseCatalog, "/opt/svc/bin/Logs/");
  EXPECT_TRUE(config.ModuleNameAsFilePrefix);
  EXPECT_EQ(config.TimePlacementMask, "yyyy_mm_dd");
  EXPECT_EQ(Written(),
            "[Common]\nServicePort=30000\nRunMode=0\nLogMode=1\nBaseCatalog=/opt/svc/bin/Logs/\n"
            "ModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\n");
}

TEST_F(ConfigTest, SysLogPortIsReadButNotWrittenBack) {
  Read("[Common]\nSysLogPort=1514\n");
  EXPECT_EQ(config.SysLogPort, 1514);
  const std::string text = Written();
  EXPECT_NE(text.find("SysLogPort=1514\n"), std::string::npos);
  EXPECT_EQ(text.find("SysLogPort", text.find("SysLogPort") + 1), std::string::npos);
}

TEST_F(ConfigTest, MalformedValuesFallBackAndAreReplaced) {
  Read("[Common]\nServicePort=abc\nRunMode=12x\nLogMode=\nModuleNameAsFilePrefix=true\n");
  EXPECT_EQ(config.ServicePort, 30000);
  EXPECT_EQ(config.RunMode, 0);
  EXPECT_EQ(config.LogMode, 1);
  EXPECT_FALSE(config.ModuleNameAsFilePrefix);
  const std::string text = Written();
  EXPECT_NE(text.find("ServicePort=30000\n"), std::string::npos);
  EXPECT_NE(text.find("RunMode=0\n"), std::string::npos);
  EXPECT_NE(text.find("ModuleNameAsFilePrefix=0\n"), std::string::npos);
}

TEST_F(ConfigTest, IntegersTakeASignAndPortsKeepTheirLow16Bits) {
  Read("[Common]\nServicePort=70000\nSysLogPort=65536\nRunMode=-3\nLogMode=+2\n");
  EXPECT_EQ(config.ServicePort, 4464);
  EXPECT_EQ(config.SysLogPort, 0);
  EXPECT_EQ(config.RunMode, -3);
  EXPECT_EQ(config.LogMode, 2);
  EXPECT_NE(Written().find("ServicePort=4464\n"), std::string::npos);
  Read("[Common]\nRunMode=99999999999\nLogMode=-\nServicePort= 31000 \n");
  EXPECT_EQ(config.RunMode, 0);
  EXPECT_EQ(config.LogMode, 1);
  EXPECT_EQ(config.ServicePort, 31000);
}

TEST_F(ConfigTest, BooleanIsTrueExactlyWhenItStartsWithOne) {
  Read("[Common]\nModuleNameAsFilePrefix=1yes\n");
  EXPECT_TRUE(config.ModuleNameAsFilePrefix);
  Read("[Common]\nModuleNameAsFilePrefix=0\n");
  EXPECT_FALSE(config.ModuleNameAsFilePrefix);
  Read("[Common]\nModuleNameAsFilePrefix=\n");
  EXPECT_TRUE(config.ModuleNameAsFilePrefix);
}

TEST_F(ConfigTest, StringKeysKeepEmptyValuesAndMissingTrailingSlashes) {
  Read("[Common]\nBaseCatalog=/var/log/srv\nTimePlacementMask=\n");
  EXPECT_EQ(config.BaseCatalog, "/var/log/srv");
  EXPECT_EQ(config.TimePlacementMask, "");
  Read("[Common]\nBaseCatalog=\n");
  EXPECT_EQ(config.BaseCatalog, "");
}

TEST_F(ConfigTest, NamesInAnyCaseAreRecognisedAndUpdatedInPlace) {
  Read("[COMMON]\nrunmode=5\n");
  EXPECT_EQ(config.RunMode, 5);
  EXPECT_EQ(Written(),
            "[COMMON]\nrunmode=5\nServicePort=30000\nLogMode=1\nBaseCatalog=/opt/svc/bin/Logs/\n"
            "ModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\n");
}

TEST_F(ConfigTest, CommentsAndOtherSectionsSurviveTheWriteBack) {
  Read("; top\n[Providers]\n10.0.0.5|billing|core|=/opt/sinks/forward.so\n\n[Common]\n; note\n"
       "LogMode=2\n");
  const std::string text = Written();
  EXPECT_EQ(text.rfind("; top\n[Providers]\n10.0.0.5|billing|core|=/opt/sinks/forward.so\n\n"
                       "[Common]\n; note\nLogMode=2\n",
                       0),
            0u);
  EXPECT_EQ(config.LogMode, 2);
}

TEST_F(ConfigTest, AConfigurationThatCannotBeReadOrWrittenIsAnError) {
  TTempDir other;
  EXPECT_THROW(ReadServiceConfig(other.Path(), "/x/"), EConfigError);  // a directory
  EXPECT_THROW(ReadServiceConfig(other.Path() + "no/such/dir/LogServer.conf", "/x/"),
               EConfigError);
  // Larger than any configuration: not read at all.
  WriteFile(Path(), "[Common]\n" + std::string(kMaxConfigBytes, ';'));
  try {
    Read(nullptr);
    ADD_FAILURE() << "a configuration of more than 16 MiB was read";
  } catch (const EConfigError& error) {
    EXPECT_EQ(std::string(error.what()), Path() + " is larger than 16 MiB: not read");
  }
}

TEST_F(ConfigTest, TheWriteBackKeepsOwnerAndModeFollowsADanglingLinkAndClearsLeftovers) {
  // A link to a file that is not there yet: the file is made where the link
  // leads, and the link stays.
  ASSERT_EQ(mkdir((dir.Path() + "etc").c_str(), 0755), 0);
  ASSERT_EQ(symlink("etc/real.conf", Path().c_str()), 0);
  // A write-back a kill cut short left its new file; an operator's copy
  // beside it is no leftover.
  WriteFile(dir.Path() + "etc/real.conf.tmp-k2x9qa", "[Common]\nLogMode=half");
  WriteFile(dir.Path() + "etc/real.conf.backup", "mine");
  const mode_t umaskBefore = umask(0);
  Read(nullptr);
  umask(umaskBefore);
  struct stat st {};
  ASSERT_EQ(lstat(Path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat((dir.Path() + "etc/real.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // whatever the umask
  EXPECT_NE(ReadFile(dir.Path() + "etc/real.conf").find("ServicePort=30000"), std::string::npos);
  EXPECT_FALSE(testing_support::Exists(dir.Path() + "etc/real.conf.tmp-k2x9qa"));
  EXPECT_EQ(ReadFile(dir.Path() + "etc/real.conf.backup"), "mine");
  // A rewrite keeps the file's owner, group and mode (the owner where this
  // process may set it: as root).
  const std::string real = dir.Path() + "etc/real.conf";
  ASSERT_EQ(chmod(real.c_str(), 0604), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(real.c_str(), 65534, 65534), 0);
  }
  Read("[Common]\nLogMode=two\n[Files]\nFileMode=0600\nDirectoryMode=0700\nSpreadSenders=0\n");
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_EQ(config.FileMode, 0600u);
  EXPECT_EQ(config.DirectoryMode, 0700u);
  EXPECT_FALSE(config.SpreadSenders);
  // Modes the service could not use itself fall back.
  TConfigFindings findings;
  std::string back;
  config = ParseServiceConfig(
      "[Files]\nFileMode=0440\nDirectoryMode=rwx\nSpreadSenders=yes\n[Senders]\nIdleSeconds=30\nNewPathsAtOnce=0\n"
      "NewPathsPerSecond=5\n",
      "/x/", back, findings);
  EXPECT_EQ(config.FileMode, 0640u);
  EXPECT_EQ(config.DirectoryMode, 0750u);
  EXPECT_TRUE(config.SpreadSenders);
  EXPECT_EQ(config.SenderIdleSeconds, 30u);
  EXPECT_EQ(config.MaxSenders, 20000u);
  EXPECT_EQ(config.NewPathsAtOnce, 40000u);
  EXPECT_EQ(config.NewPathsPerSecond, 5u);
  EXPECT_EQ(findings.Problems,
            (std::vector<std::string>{"line 2: FileMode=0440 is no octal mode up to 0777 that lets the service "
                                      "read and write: 0640 is used instead",
                                      "line 3: DirectoryMode=rwx is no octal mode up to 0777 that lets the "
                                      "service enter and write: 0750 is used instead",
                                      "line 4: SpreadSenders=yes is neither 0 nor 1: 1 is used instead",
                                      "line 7: NewPathsAtOnce=0 is no whole number from 1 up: 40000 is used "
                                      "instead"}));
  // Every key the service reads, each with a value it takes: not one is
  // called unknown, and each reaches its field.
  findings = TConfigFindings();
  config = ParseServiceConfig(
      "[Common]\nServicePort=1\nSysLogPort=2\nRunMode=0\nLogMode=1\nBaseCatalog=/l/\nModuleNameAsFilePrefix=0\n"
      "TimePlacementMask=yyyy\n[Metrics]\nListen=127.0.0.1:9\n[Files]\nFileMode=0600\nDirectoryMode=0700\n"
      "SpreadSenders=0\n[Syslog]\nTcpPort=3\nMaxConnections=4\nListenAddress=::1\nTlsPort=5\nTlsCertificate=c\n"
      "TlsKey=k\nTlsClientCA=a\nPathBy=HostName\n[Senders]\nIdleSeconds=6\nMaxSenders=7\nNewPathsPerSecond=8\n"
      "NewPathsAtOnce=9\n[Stream]\nServers=nats://h:4222\nStream=S\nSubject=s.t\nReplicas=9\nFiles=0\n"
      "Credentials=x\nTlsCA=y\nSpoolDirectory=/s/\nSpoolMaxMiB=10\nCompression=NONE\n",
      "/x/", back, findings);
  EXPECT_EQ(findings.Problems, std::vector<std::string>{});
  EXPECT_FALSE(config.ModuleNameAsFilePrefix);
  EXPECT_EQ(config.MetricsListen, "127.0.0.1:9");
  EXPECT_EQ(config.ListenAddress, "::1");
  EXPECT_TRUE(config.SyslogPathByHostname);
  EXPECT_EQ(config.SyslogTlsPort, 5);
  EXPECT_EQ(config.NewPathsAtOnce, 9u);
  EXPECT_EQ(config.StreamSubject, "s.t");
  EXPECT_EQ(config.StreamReplicas, 5u);  // at most five
  EXPECT_FALSE(config.StreamFiles);
  EXPECT_EQ(config.StreamSpoolDirectory, "/s/");
  EXPECT_FALSE(config.StreamCompress);
}

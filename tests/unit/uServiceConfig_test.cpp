#include "core/uServiceConfig.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

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
}

// The retention job, run as the real program on made-up trees with set
// modification times: it keeps to its rules, reports and skips what is in
// its way and goes on, and cannot be led outside the tree by links, even
// ones swapped in while it runs.
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 24 * kHour;

void Age(const std::string& path, std::int64_t secondsAgo) {
  const std::time_t when = std::time(nullptr) - secondsAgo;
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void Plant(const std::string& path, const std::string& content, std::int64_t secondsAgo) {
  fs::create_directories(fs::path(path).parent_path());
  WriteFile(path, content);
  Age(path, secondsAgo);
}

std::time_t ModifiedAt(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// What a command prints on its standard output.
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

class TRetention {
 public:
  TRetention& Set(const std::string& name, const std::string& value) {
    Environment.emplace_back(name, value);
    return *this;
  }
  // Runs the job on `dir`; `unprivileged` as user nobody when the test is root.
  TRun Run(const std::string& dir, bool unprivileged = false) {
    TChildProcess job;
    for (const auto& [name, value] : Environment) job.SetEnvironment(name, value);
    std::string program = LOGSERVER_RETENTION;
    if (unprivileged) {
      // A checkout below a directory only root may enter (a clone in
      // /root) keeps nobody from the build: the job runs from a copy here.
      program = Output_.Path() + "logserver-retention";
      fs::copy_file(LOGSERVER_RETENTION, program, fs::copy_options::overwrite_existing);
      fs::permissions(program, fs::perms(0755));
      fs::permissions(Output_.Path(), fs::perms(0755));
    }
    job.Start({program, dir}, Output_.Path() + "out", Output_.Path() + "err", unprivileged);
    TRun run;
    EXPECT_TRUE(job.WaitExit(run.Status, 60000));
    run.Out = ReadFile(Output_.Path() + "out");
    run.Err = ReadFile(Output_.Path() + "err");
    return run;
  }

 private:
  TTempDir Output_;
  std::vector<std::pair<std::string, std::string>> Environment;
};

}  // namespace

TEST(RetentionTest, CompressesDeletesAndRemovesByAgeAndTouchesNothingElse) {
  TTempDir work;
  const std::string base = work.Path() + "logs/", outside = work.Path() + "outside/";
  const std::string day = base + "10.1.2.3/app/mod/2026_12_01/";
  // Larger than one read of the job, so that it goes in pieces.
  std::string lines;
  for (int i = 0; lines.size() < 400 * 1024; ++i) lines += "line " + std::to_string(i * 7919 % 100003) + "\r\n";
  Plant(day + "m_10.log", lines, 3 * kHour);
  Plant(day + "11.log", "no prefix\r\n", 3 * kHour);
  Plant(day + "m_12.log", "being written\r\n", kHour / 2);
  Plant(day + "m_01.log", "old\r\n", 40 * kDay);
  Plant(day + "m_02.log.gz", "old and packed\r\n", 40 * kDay);
  Plant(day + "m_03.log.zst", "old and packed\r\n", 40 * kDay);
  Plant(day + "notes.txt", "not a log\n", 40 * kDay);
  Plant(day + "m_24.log", "no hour of a day\n", 40 * kDay);
  Plant(outside + "far_01.log", "outside\r\n", 40 * kDay);
  Plant(outside + "near_10.log", "outside\r\n", 3 * kHour);
  fs::create_symlink(outside + "far_01.log", day + "link_01.log");
  Age(day + "link_01.log", 40 * kDay);
  fs::create_symlink(outside, base + "10.1.2.3/linked");
  fs::create_directories(base + "10.1.2.3/app/gone/2026_10_01");
  Age(base + "10.1.2.3/app/gone/2026_10_01", 40 * kDay);
  Age(base + "10.1.2.3/app/gone", 40 * kDay);
  fs::create_directories(base + "10.1.2.3/app/new");  // just made: the service may fill it
  const std::time_t packedAt = ModifiedAt(day + "m_10.log");

  // Settings that cannot be used are refused before anything is touched.
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"LOGSERVER_KEEP_DAYS", "soon"},
           {"LOGSERVER_COMPRESS_AFTER_HOURS", "0"},
           {"LOGSERVER_COMPRESSION", "lz4"}}) {
    const TRun refused = TRetention().Set(name, value).Run(base);
    EXPECT_EQ(refused.Status, 2) << name;
    EXPECT_NE(refused.Err.find(name), std::string::npos) << refused.Err;
  }
  ASSERT_TRUE(Exists(day + "m_01.log"));

  const TRun run = TRetention().Set("LOGSERVER_COMPRESS_AFTER_HOURS", "2").Set("LOGSERVER_KEEP_DAYS", "30").Run(base);
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(run.Out,
            "logserver-retention: 2 compressed, 3 files and 2 directories deleted, 0 left for the next run, "
            "0 failures\n");
  // Compressed with zstd, read back by Debian's own tool, with the time of
  // the original (which the deletion goes by).
  EXPECT_FALSE(Exists(day + "m_10.log"));
  EXPECT_EQ(Output("zstd -dc " + day + "m_10.log.zst"), lines);
  EXPECT_EQ(ModifiedAt(day + "m_10.log.zst"), packedAt);
  EXPECT_EQ(Output("zstd -dc " + day + "11.log.zst"), "no prefix\r\n");
  EXPECT_TRUE(Exists(day + "m_12.log"));
  for (const char* deleted : {"m_01.log", "m_02.log.gz", "m_03.log.zst"}) EXPECT_FALSE(Exists(day + deleted));
  for (const char* kept : {"notes.txt", "m_24.log"}) EXPECT_TRUE(Exists(day + kept)) << kept;
  EXPECT_TRUE(fs::is_symlink(day + "link_01.log"));
  EXPECT_TRUE(fs::is_symlink(base + "10.1.2.3/linked"));
  EXPECT_EQ(ReadFile(outside + "far_01.log"), "outside\r\n");
  EXPECT_EQ(ReadFile(outside + "near_10.log"), "outside\r\n");
  EXPECT_EQ(FilesBelow(outside).size(), 2u);
  EXPECT_FALSE(Exists(base + "10.1.2.3/app/gone"));
  EXPECT_TRUE(Exists(base + "10.1.2.3/app/new"));

  // gzip where zstd is not wanted.
  Plant(day + "g_10.log", lines, 3 * kHour);
  EXPECT_EQ(TRetention().Set("LOGSERVER_COMPRESSION", "gzip").Run(base).Status, 0);
  EXPECT_EQ(Output("gzip -dc " + day + "g_10.log.gz"), lines);
}

TEST(RetentionTest, WhatIsInTheWayIsReportedAndSkippedAndTheRunGoesOn) {
  TTempDir work;
  const std::string base = work.Path() + "logs/";
  // A sender whose prefix was "p_10.log.zst/q" made a directory named like
  // the compressed form of its own file.
  const std::string mine = base + "10.0.0.9/app/mod/2026_12_01/";
  Plant(mine + "p_10.log", "mine\r\n", 3 * kHour);
  Plant(mine + "p_10.log.zst/q_10.log", "inside\r\n", 3 * kHour);
  // A file this run may not read, and one with a second name elsewhere.
  Plant(mine + "u_10.log", "unreadable\r\n", 3 * kHour);
  Plant(mine + "h_10.log", "two names\r\n", 3 * kHour);
  fs::create_hard_link(mine + "h_10.log", work.Path() + "second-name");
  // Another sender's old files, and one to compress.
  const std::string other = base + "10.0.0.8/app/mod/2026_11_01/";
  for (int i = 0; i < 20; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "o_%02d.log", i);
    Plant(other + name, "old\r\n", 40 * kDay);
  }
  Plant(other + "n_10.log", "to pack\r\n", 3 * kHour);

  const bool root = geteuid() == 0;
  if (root) {
    // The job runs as nobody: the tree is open to it, one file is not.
    fs::permissions(work.Path(), fs::perms::all);
    for (const auto& entry : fs::recursive_directory_iterator(base))
      fs::permissions(entry.path(), entry.is_directory() ? fs::perms::all : fs::perms(0644));
    fs::permissions(base, fs::perms::all);
    fs::permissions(mine + "u_10.log", fs::perms::owner_read | fs::perms::owner_write);
  } else {
    fs::permissions(mine + "u_10.log", fs::perms::none);
  }
  const TRun run = TRetention().Run(base, root);
  EXPECT_EQ(run.Status, 1) << run.Err;
  for (const char* problem :
       {"logserver-retention: 10.0.0.9/app/mod/2026_12_01/p_10.log.zst: is in the way: "
        "10.0.0.9/app/mod/2026_12_01/p_10.log not compressed\n",
        "logserver-retention: 10.0.0.9/app/mod/2026_12_01/u_10.log: cannot be opened: ",
        "logserver-retention: 10.0.0.9/app/mod/2026_12_01/h_10.log: has 2 names: not compressed\n"})
    EXPECT_NE(run.Err.find(problem), std::string::npos) << run.Err;
  EXPECT_NE(run.Out.find(" 3 failures"), std::string::npos) << run.Out;
  EXPECT_EQ(ReadFile(mine + "p_10.log"), "mine\r\n");
  EXPECT_EQ(ReadFile(work.Path() + "second-name"), "two names\r\n");
  EXPECT_TRUE(Exists(mine + "h_10.log"));
  EXPECT_TRUE(Exists(mine + "u_10.log"));
  EXPECT_FALSE(Exists(mine + "u_10.log.zst"));
  // The rest was done.
  EXPECT_EQ(FilesBelow(other), std::vector<std::string>{other + "n_10.log.zst"});
  EXPECT_EQ(Output("zstd -dc " + mine + "p_10.log.zst/q_10.log.zst"), "inside\r\n");
}

TEST(RetentionTest, DirectoriesSwappedForLinksDuringTheRunLeadNowhere) {
  TTempDir work;
  const std::string base = work.Path() + "logs/", outside = work.Path() + "outside/";
  const std::string app = base + "10.0.0.7/app/";
  constexpr int kDays = 100;
  // The tree and, outside it, a copy of its shape with files of the same
  // names and ages: whatever a followed link reached would be acted on.
  for (const std::string& root : {app + "mod/", outside}) {
    for (int d = 0; d < kDays; ++d) {
      const std::string day = root + "d" + std::to_string(d) + "/";
      Plant(day + "m_01.log", std::string(2000, 'x'), 40 * kDay);
      Plant(day + "m_10.log", std::string(20000, 'y'), 3 * kHour);
      Age(day, 40 * kDay);
    }
  }
  const std::vector<std::string> outsideFiles = FilesBelow(outside);

  // While the job runs, the module directory and day directories are moved
  // aside and links to the outside put in their place, and back.
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (int round = 0; !stop.load(); ++round) {
      const bool whole = round % 2 == 0;
      const std::string from = whole ? app + "mod" : app + "mod/d" + std::to_string(round % kDays);
      const std::string to = whole ? outside : outside + "d" + std::to_string(round % kDays);
      const std::string aside = app + "aside";
      if (rename(from.c_str(), aside.c_str()) != 0) continue;
      if (symlink(to.c_str(), from.c_str()) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // the link stays a while
        unlink(from.c_str());
      }
      rename(aside.c_str(), from.c_str());
    }
  });
  std::string reports;
  for (int i = 0; i < 3; ++i) {
    const TRun run = TRetention().Run(base);
    EXPECT_TRUE(run.Status == 0 || run.Status == 1) << run.Err;
    reports += run.Err + run.Out;
  }
  stop.store(true);
  swapper.join();
  EXPECT_EQ(FilesBelow(outside), outsideFiles) << reports;
  for (const std::string& file : outsideFiles) EXPECT_FALSE(ReadFile(file).empty()) << file;
}

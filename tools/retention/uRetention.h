// The retention job: compresses the hourly log files that have not been
// written for a while and deletes the old ones, then the directories left
// empty.
//
// The log tree is written by the service on behalf of anyone who can reach
// it, so the job trusts no name in it: it walks from one open directory to
// the next by name (never through a link, never onto another file system),
// acts only on regular files named as the service names them
// ("[prefix_]hh.log", and those with ".zst" or ".gz" after them), reads and
// writes through descriptors, makes a compressed file only where nothing has
// its name, and removes an original only after its compressed form is whole
// on disk and only when the name still leads to the file it read. Anything
// in the way, or any single failure, is reported, counted and skipped; the
// run goes on.
//
// Not thread-safe: one run, one thread.
#pragma once

#include "platform/uFiles.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace logserver {

enum class TCompression { Zstd, Gzip };

struct TRetentionSettings {
  std::string LogDirectory = "/var/log/logserver";
  // Files unwritten this long are compressed; older than the kept days, they
  // are deleted (compressed or not). Both at least 1: the current hour's
  // file must not be touched.
  int CompressAfterHours = 2;
  int KeepDays = 30;
  TCompression Compression = TCompression::Zstd;
};

// The settings from the environment (LOGSERVER_LOG_DIR,
// LOGSERVER_COMPRESS_AFTER_HOURS, LOGSERVER_KEEP_DAYS, LOGSERVER_COMPRESSION)
// and the arguments (one: the log directory). False with the reason when
// one cannot be used.
bool ReadRetentionSettings(const std::map<std::string, std::string>& environment,
                           const std::vector<std::string>& arguments, TRetentionSettings& settings,
                           std::string& error);

// "[prefix_]hh.log" with hh from 00 to 23, as the service names its files;
// and the same with the compressed forms' endings after it.
bool IsHourlyLogName(const std::string& name);
bool IsCompressedLogName(const std::string& name);

struct TRetentionTotals {
  std::uint64_t Compressed = 0;
  std::uint64_t DeletedFiles = 0;
  std::uint64_t DeletedDirectories = 0;
  // Left for the next run: written while being compressed.
  std::uint64_t Deferred = 0;
  std::uint64_t Failures = 0;
};

class TRetentionRun {
 public:
  using TReport = std::function<void(const std::string&)>;
  // `now` in wall-clock seconds; `report` gets one line per problem.
  TRetentionRun(const TRetentionSettings& settings, std::int64_t now, TReport report);

  // Walks the tree. False when the log directory itself cannot be opened.
  bool Run();
  const TRetentionTotals& Totals() const { return Totals_; }

 private:
  // Returns whether the directory is empty afterwards.
  bool WalkDirectory(int directory, const std::string& path, int depth);
  // Returns whether the entry is gone afterwards.
  bool HandleFile(int directory, const std::string& path, const std::string& name,
                  const TEntryStatus& status);
  bool Compress(int directory, const std::string& path, const std::string& name, const TEntryStatus& status);
  void Fail(const std::string& path, const std::string& what);
  void FailWithError(const std::string& path, const std::string& what, int error);
  // Removes a compressed file this run made and gave up on.
  void Discard(int directory, const std::string& name, const TEntryStatus& made);
  std::int64_t AgeSeconds(const TEntryStatus& status) const { return Now - status.ModifiedSeconds; }

  const TRetentionSettings Settings;
  const std::int64_t Now;
  const TReport Report;
  std::uint64_t RootDevice = 0;
  TRetentionTotals Totals_;
};

}  // namespace logserver

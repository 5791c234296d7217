// The file producer: writes the messages of one source into hourly files,
// BaseCatalog + address/application/module/yyyy_mm_dd/[prefix_]hh.log.
//
// AddMessage hands one whole line to the file table (the environment's),
// which writes it at once or, within a write batch, with the other lines of
// its file when the batch ends. A line that cannot be written is lost and
// counted by the table; a file that cannot be opened is tried again with a
// later line, at most once a second.
//
// Routing names become path levels at "/". So that no message can cost the
// writer more than a bounded number of directories, or be lost for a name
// the file system cannot take, each name gives at most kMaxNameLevels levels
// and each level at most 255 bytes (see ShortenedLevel); names within those
// limits give exactly the path they always gave.
//
// Main thread only; the files themselves are held by TLogFileTable.
#pragma once

#include "producers/uCustomLogProducer.h"
#include "producers/uLogFileTable.h"

#include <string>
#include <vector>

namespace logserver {

// Makes a routing name safe to put into a path: every "/"-separated piece
// that is exactly ".." becomes "__", and every zero byte becomes "_", so no
// name reaches outside BaseCatalog + address + "/". Anything else is kept.
std::string SafePathName(const std::string& name);

// The levels a name may give below its parent, and the bytes a level may have.
constexpr std::size_t kMaxNameLevels = 5;
constexpr std::size_t kMaxLevelBytes = 255;

// The directory of a sender's overflow file. No routing name gives it: a
// level ending in "~" and 16 hex digits comes only from shortening a level
// longer than 255 bytes (its first 238 stay in front), one joined from
// several (which holds "_"), or one given in that form (which stays whole
// in front of a second mark); "overflow" is none of these.
inline constexpr const char* kOverflowLevel = "overflow~0000000000000000";

// A level that breaks a limit, made to fit: its first bytes, "~", and 16 hex
// digits of a 64-bit FNV-1a hash of `whole` (the text it stands for), so
// that different names stay apart. The result has at most `limit` bytes.
std::string ShortenedLevel(const std::string& level, const std::string& whole, std::size_t limit);

class TFileLogProducer : public TCustomLogProducer {
 public:
  // `environment.Files` must be set.
  static PLogProducer Create(const TLogProducerTexts& texts,
                             const TProducerEnvironment& environment);
  // The overflow file of a sender (`texts` names its address and port):
  // <address>/<kOverflowLevel>/<yyyy_mm_dd>/<hh>.log.
  static PLogProducer CreateOverflow(const TLogProducerTexts& texts,
                                     const TProducerEnvironment& environment);
  ~TFileLogProducer() override;

  // True while this hour's file is open.
  bool IsActive() override;
  void AddMessage(const std::string& Text, double EventTime, double ServerTime) override;

  // The file a message with this server time goes to.
  TLogFilePath FilePath(double ServerTime) const;
  // Whether a name had to be shortened to give this producer's path.
  bool Shortened() const { return Shortened_; }
  // Its lines stay out of the statistics (the service's own log).
  void ExcludeFromStatistics() { CountedInStatistics = false; }

 private:
  TFileLogProducer(const TLogProducerTexts& texts, TLogFileTable& files);

  void OpenFile(const TLogFilePath& Path);
  void CloseFile();

  // The levels of the three names below the address, worked out once.
  std::vector<std::string> ApplicationLevels;
  std::vector<std::string> ModuleLevels;
  std::vector<std::string> PrefixLevels;  // directories only
  std::string FileStem;                   // before hh.log: "prefix_" or empty
  bool Shortened_ = false;
  bool CountedInStatistics = true;

  // The file of the current hour, held through the table.
  TLogFileTable& Files;
  TLogFileTable::TFileHandle CurrentFile = nullptr;
  double CurrentHour = 0.0;
  bool HourChosen = false;
  // The last times seen and their stamps ("hh:nn:ss.zzz", "[...] : "),
  // and the line being built; kept to spare work on the next message.
  double LastServerTime = 0.0;
  double LastEventTime = 0.0;
  std::string ServerStamp;
  std::string EventStamp;
  std::string Line;
};

}  // namespace logserver

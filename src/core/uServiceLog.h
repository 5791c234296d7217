// The service's own log: time-stamped lines ("dd.mm.yyyy hh:nn:ss:zzz : "
// and the text) in the branch of the pseudo-sender 0.0.0.0 and the
// executable's name, written through a file producer of its own.
//
// Threading: the main thread only (checked by the main-thread role in debug
// builds). Ownership: owns its producer; the file table it writes through
// is lent by the service core and outlives it.
#pragma once

#include "producers/uLogProducer.h"
#include "platform/uThread.h"

#include <cstdint>
#include <string>

namespace logserver {

// The sender directory of the service's own log (and of the stream's
// spool): no sender may write below it.
inline constexpr const char* kServiceLogAddress = "0.0.0.0";

class TServiceLog {
 public:
  // Creates the producer (whose thread starts and ends at once).
  TServiceLog(const std::string& baseCatalog, std::int32_t logMode,
              const TProducerEnvironment& environment, const TThreadRole& mainThread);
  // Stops the producer.
  ~TServiceLog();
  TServiceLog(const TServiceLog&) = delete;
  TServiceLog& operator=(const TServiceLog&) = delete;

  // Writes one line; a gated line only when LogMode is above 0.
  void Write(bool Gated, const std::string& Text);
  // Whether gated lines of this level are written (LogMode >= level).
  bool Writes(std::int32_t level) const { return LogMode >= level; }
  // A reload's LogMode, for the lines from now on.
  void SetLogMode(std::int32_t logMode) { LogMode = logMode; }
  // A reload's base directory, for the lines from now on.
  void SetBaseCatalog(const std::string& baseCatalog);

 private:
  PLogProducer MakeProducer(const std::string& baseCatalog) const;

  std::int32_t LogMode;
  const TProducerEnvironment Environment;
  const TThreadRole& MainThread;
  PLogProducer Producer;
};

}  // namespace logserver

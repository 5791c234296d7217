// The service's settings: LogServer.conf, read once at start into one value
// and written back with the values in effect.
#pragma once

#include "base/uIniFile.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace logserver {

// The configuration cannot be read or written back: start-up ends.
class EConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// [Common] with its defaults (BaseCatalog's default depends on where the
// executable is), and the [Providers] entries in file order.
struct TServiceConfig {
  std::uint16_t ServicePort = 30000;
  std::uint16_t SysLogPort = 514;
  std::int32_t RunMode = 0;
  std::int32_t LogMode = 1;
  std::string BaseCatalog;
  bool ModuleNameAsFilePrefix = true;
  std::string TimePlacementMask = "yyyy_mm_dd";
  TIniEntries Providers;
};

// Reads `configPath` (a missing file reads as empty) and writes [Common]
// back with the values in effect, SysLogPort excepted, keeping every other
// line: atomically, and only when the bytes change. Malformed values fall
// back to their defaults. Throws EConfigError when the file cannot be read
// or written; a failed write leaves the old file as it was.
TServiceConfig ReadServiceConfig(const std::string& configPath,
                                 const std::string& executableDirectory);

}  // namespace logserver

// A reload of the configuration at SIGHUP: the file is read and checked as
// --check-config does, and only a file the service would start with is
// taken; then every setting the key table marks Live changes at once (all
// but RunMode), and each other change is named as one that waits for the
// next start. The file is never written back.
//
// Threading: Changes and Live are pure; the counts are written on the main
// thread and read by the metrics' threads.
#pragma once

#include "core/uServiceConfig.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace logserver {

// "[Section] Key" of every setting `after` sets differently from `before`
// ("[Providers]" for any change of routes).
std::vector<std::string> ChangedSettings(const TServiceConfig& before, const TServiceConfig& after);
// Whether a reload applies the setting at once.
bool AppliedAtReload(const std::string& setting);
// Copies into `into` the settings a reload applies, from `from`.
void TakeReloadedSettings(TServiceConfig& into, const TServiceConfig& from);

struct TConfigReloads {
  std::atomic<std::uint64_t> Applied{0};
  std::atomic<std::uint64_t> Refused{0};
  std::atomic<bool> LastSucceeded{true};
  std::atomic<double> LastAt{0};  // Unix seconds, 0: none yet
};

}  // namespace logserver

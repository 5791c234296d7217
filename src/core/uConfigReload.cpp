#include "core/uConfigReload.h"

#include "core/uConfigKeys.h"

#include <variant>

namespace logserver {

namespace {

std::string SettingName(const TConfigKey& key) {
  return std::string("[") + key.Section + "]" + (key.Key[0] != '\0' ? std::string(" ") + key.Key : "");
}

}  // namespace

std::vector<std::string> ChangedSettings(const TServiceConfig& before, const TServiceConfig& after) {
  std::vector<std::string> changed;
  for (const TConfigKey& key : ConfigKeys()) {
    const bool differs = std::visit(
        [&](auto field) {
          if constexpr (std::is_same_v<decltype(field), std::monostate>) {
            return false;
          } else {
            return before.*field != after.*field;
          }
        },
        key.Field);
    if (differs || (key.Kind == TKeyKind::Providers && before.Providers != after.Providers))
      changed.push_back(SettingName(key));
  }
  return changed;
}

bool AppliedAtReload(const std::string& setting) {
  for (const TConfigKey& key : ConfigKeys())
    if (key.Live && SettingName(key) == setting) return true;
  return false;
}

void TakeReloadedSettings(TServiceConfig& into, const TServiceConfig& from) {
  for (const TConfigKey& key : ConfigKeys()) {
    if (key.Live && key.Kind == TKeyKind::Providers) into.Providers = from.Providers;
    if (key.Live)
      std::visit(
          [&](auto field) {
            if constexpr (!std::is_same_v<decltype(field), std::monostate>) into.*field = from.*field;
          },
          key.Field);
  }
}

}  // namespace logserver

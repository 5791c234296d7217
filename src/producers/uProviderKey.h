// The key of a [Providers] entry: "address[:port]|application|module|prefix".
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <vector>

namespace logserver {

// Splits a [Providers] key into fields at "|": bytes up to 32 also end a
// field and are skipped around separators, a field starting with a double
// quote runs to the next one ("" inside stands for one), a trailing "|"
// gives an empty last field.
std::vector<std::string> SplitProviderKey(const std::string& key);

// The fields of a well-formed key; the port is "0" when the address has none.
struct TProviderKey {
  std::string Address;
  std::string Port;
  std::string ApplicationName;
  std::string ModuleName;
  std::string FilePrefix;
};

// False when the key does not give exactly four fields.
bool ParseProviderKey(const std::string& key, TProviderKey& parsed);

}  // namespace logserver

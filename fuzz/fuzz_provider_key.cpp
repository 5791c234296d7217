// The [Providers] key splitter: it ends, and its fields come from the key.
#include "producers/uProviderKey.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace logserver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string key(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> fields = SplitProviderKey(key);
  if (fields.size() > size + 1) std::abort();
  std::size_t total = 0;
  for (const std::string& field : fields) total += field.size();
  if (total > size) std::abort();
  return 0;
}

#include "producers/uProviderKey.h"

namespace logserver {

std::vector<std::string> SplitProviderKey(const std::string& key) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::vector<std::string> fields;
  const std::size_t n = key.size();
  std::size_t i = 0;
  while (i < n && blank(key[i])) ++i;
  while (i < n) {
    std::string field;
    if (key[i] == '"') {
      ++i;
      while (i < n) {
        if (key[i] == '"') {
          if (i + 1 < n && key[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += key[i++];
      }
    } else {
      const std::size_t start = i;
      while (i < n && !blank(key[i]) && key[i] != '|') ++i;
      field = key.substr(start, i - start);
    }
    fields.push_back(std::move(field));
    while (i < n && blank(key[i])) ++i;
    if (i < n && key[i] == '|') {
      if (i + 1 == n) fields.emplace_back();
      do {
        ++i;
      } while (i < n && blank(key[i]));
    }
  }
  return fields;
}

bool ParseProviderKey(const std::string& key, TProviderKey& parsed) {
  const std::vector<std::string> fields = SplitProviderKey(key);
  if (fields.size() != 4) return false;
  const std::size_t colon = fields[0].find(':');
  parsed.Address = fields[0].substr(0, colon);
  parsed.Port = colon == std::string::npos ? "0" : fields[0].substr(colon + 1);
  parsed.ApplicationName = fields[1];
  parsed.ModuleName = fields[2];
  parsed.FilePrefix = fields[3];
  return true;
}

}  // namespace logserver

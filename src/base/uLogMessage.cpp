#include "base/uLogMessage.h"

namespace logserver {

bool IsUsableHostName(std::string_view name) {
  // No host name starts with a dot; the tree keeps dot names for itself.
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  bool alphanumeric = false;
  for (const char c : name) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
      alphanumeric = true;
    else if (c != '.' && c != '-' && c != '_' && c != ':')
      return false;
  }
  return alphanumeric;
}

}  // namespace logserver

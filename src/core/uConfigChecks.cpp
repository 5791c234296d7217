#include "core/uConfigChecks.h"

#include "core/uConfigKeys.h"

#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "platform/uTls.h"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace logserver {

std::string ClosestName(const std::string& name, const std::vector<std::string>& known) {
  const std::string wanted = LowerName(name);
  std::string best;
  std::size_t bestDistance = wanted.size() <= 4 ? 2 : 3;
  for (const std::string& candidate : known) {
    const std::string other = LowerName(candidate);
    // Edit distance, one row at a time.
    std::vector<std::size_t> row(other.size() + 1);
    for (std::size_t j = 0; j <= other.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= wanted.size(); ++i) {
      std::size_t diagonal = row[0];
      row[0] = i;
      for (std::size_t j = 1; j <= other.size(); ++j) {
        const std::size_t above = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (wanted[i - 1] == other[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    if (row[other.size()] < bestDistance) {
      bestDistance = row[other.size()];
      best = candidate;
    }
  }
  return best;
}

void CheckNamedFiles(const TServiceConfig& config, const TNamedFileProblem& problem) {
  if (const int error = CheckWritableDirectory(config.BaseCatalog))
    problem("Common", "BaseCatalog",
            "BaseCatalog=" + config.BaseCatalog + " cannot take the service's files: " + ErrorText(error));
  if (config.SyslogTlsPort != 0) {
    std::string error;
    if (!TTlsContext::Load(config.TlsCertificate, config.TlsKey, config.TlsClientCA, error))
      problem("Syslog", "TlsPort",
              "TlsPort=" + std::to_string(config.SyslogTlsPort) + " cannot be served: " + error +
                  ": the TLS port stays off");
  }
  if (config.StreamServers.empty()) return;
  const std::pair<const char*, const std::string*> files[] = {{"Credentials", &config.StreamCredentials},
                                                              {"TlsCA", &config.StreamTlsCA}};
  for (const auto& [key, path] : files) {
    if (path->empty()) continue;
    std::string content;
    bool exists = false;
    const bool read = ReadFileText(*path, content, exists, kMaxConfigBytes);
    if (!read || !exists)
      problem("Stream", key,
              std::string(key) + "=" + *path + " cannot be read: " + ErrorText(read ? ENOENT : errno));
  }
  if (const int error = CheckWritableDirectory(config.StreamSpoolDirectory))
    problem("Stream", "SpoolDirectory",
            "SpoolDirectory=" + config.StreamSpoolDirectory + " cannot hold the spool: " + ErrorText(error));
}

}  // namespace logserver

#include "stream/uNatsLink.h"

#include <nats/nats.h>

namespace logserver {

std::vector<std::string> SplitServers(const std::string& servers) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= servers.size()) {
    std::size_t comma = servers.find(',', start);
    if (comma == std::string::npos) comma = servers.size();
    std::string item = servers.substr(start, comma - start);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (!item.empty()) out.push_back(item);
    start = comma + 1;
  }
  return out;
}

natsOptions* NewNatsLinkOptions(const TNatsLinkSettings& link, const char* name, std::string& error) {
  natsOptions* options = nullptr;
  natsStatus status = natsOptions_Create(&options);
  if (status != NATS_OK) {
    error = natsStatus_GetText(status);
    return nullptr;
  }
  const std::vector<std::string> servers = SplitServers(link.Servers);
  std::vector<const char*> urls;
  for (const std::string& server : servers) urls.push_back(server.c_str());
  status = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
  if (status == NATS_OK) status = natsOptions_SetName(options, name);
  if (status == NATS_OK) status = natsOptions_SetMaxReconnect(options, -1);
  if (status == NATS_OK) status = natsOptions_SetReconnectWait(options, 250);
  if (status == NATS_OK) status = natsOptions_SetTimeout(options, 2000);
  // Batches are up to 64 KiB: a larger buffer takes several per write and
  // read, not one system call each.
  if (status == NATS_OK) status = natsOptions_SetIOBufSize(options, 1 << 20);
  if (status == NATS_OK && !link.Credentials.empty())
    status = natsOptions_SetUserCredentialsFromFiles(options, link.Credentials.c_str(), nullptr);
  if (status == NATS_OK && !link.TlsCA.empty()) {
    status = natsOptions_SetSecure(options, true);
    if (status == NATS_OK) status = natsOptions_LoadCATrustedCertificates(options, link.TlsCA.c_str());
  }
  if (status != NATS_OK) {
    error = natsStatus_GetText(status);
    natsOptions_Destroy(options);
    return nullptr;
  }
  return options;
}

}  // namespace logserver

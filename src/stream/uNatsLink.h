// What the collector's publisher and the archive writer share about their
// link to a NATS server: where it goes, how it proves who it is, and the
// connection options both set the same way.
#pragma once

#include <string>
#include <vector>

struct __natsOptions;

namespace logserver {

struct TNatsLinkSettings {
  // "nats://host:port" entries, comma-separated.
  std::string Servers;
  // Optional: a NATS credentials file (JWT and seed), a CA file for TLS.
  std::string Credentials;
  std::string TlsCA;
};

// The entries of `servers`, blanks around them removed, empty ones left out.
std::vector<std::string> SplitServers(const std::string& servers);

// New options for a link named `name` to `link`'s servers: reconnecting
// without end every 250 ms, 2 s to connect, credentials and TLS when set.
// nullptr, with the reason in `error`, when the library refuses one.
__natsOptions* NewNatsLinkOptions(const TNatsLinkSettings& link, const char* name, std::string& error);

}  // namespace logserver

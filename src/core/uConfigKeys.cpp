#include "core/uConfigKeys.h"

#include "base/uIniFile.h"
#include "net/uAddressPlaces.h"

#include <strings.h>

#include <algorithm>
#include "platform/uSocket.h"

namespace logserver {

namespace {

// "address:port" with a port of 1 to 65535; the address a dotted quad, a
// bracketed IPv6 literal or empty (loopback).
bool ValidListen(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::int32_t port = 0;
  if (!ParseConfigInteger(text.substr(colon + 1), port) || port < 1 || port > 65535) return false;
  const std::string host = text.substr(0, colon);
  if (host.empty()) return true;
  if (host.front() == '[') return host.size() > 2 && host.back() == ']';
  return ParseIPv4(host) != kInvalidAddress || host == "255.255.255.255";
}

// A stream name: letters, digits, '-' and '_' (JetStream names are also
// file names on its servers).
bool ValidStreamName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_'))
      return false;
  return true;
}

// A subject prefix: tokens of printable characters without wildcards,
// separated by single dots.
bool ValidSubjectPrefix(const std::string& subject) {
  if (subject.empty() || subject.size() > 200 || subject.front() == '.' || subject.back() == '.')
    return false;
  for (std::size_t i = 0; i < subject.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(subject[i]);
    if (c <= 32 || c >= 127 || c == '*' || c == '>') return false;
    if (c == '.' && subject[i + 1] == '.') return false;
  }
  return true;
}

bool ValidAddress(const std::string& text) {
  TSocketAddress parsed;
  return ParseAddress(text, parsed);
}

bool ValidAddressList(const std::string& text) {
  TAddressList list;
  return list.Parse(text);
}

using K = TKeyKind;
using C = TServiceConfig;

}  // namespace

const std::vector<TConfigKey>& ConfigKeys() {
  static const std::vector<TConfigKey> keys = {
      {.Section = "Common", .Key = "ServicePort", .Kind = K::Port, .Field = &C::ServicePort, .Live = true},
      {.Section = "Common", .Key = "SysLogPort", .Kind = K::Port, .Field = &C::SysLogPort, .Live = true},
      {.Section = "Common", .Key = "RunMode", .Kind = K::Integer, .Field = &C::RunMode},
      {.Section = "Common", .Key = "LogMode", .Kind = K::Integer, .Field = &C::LogMode, .Live = true},
      {.Section = "Common", .Key = "BaseCatalog", .Kind = K::Text, .Field = &C::BaseCatalog, .Live = true},
      {.Section = "Common", .Key = "ModuleNameAsFilePrefix", .Kind = K::LeadingFlag, .Field = &C::ModuleNameAsFilePrefix, .Live = true},
      {.Section = "Common", .Key = "TimePlacementMask", .Kind = K::Text, .Field = &C::TimePlacementMask, .Live = true},
      {.Section = "Providers", .Key = "", .Kind = K::Providers, .Field = {}, .Live = true},
      {.Section = "Metrics", .Key = "Listen", .Kind = K::Checked, .Field = &C::MetricsListen,
       .Valid = ValidListen, .Not = "is not ADDRESS:PORT", .Otherwise = "metrics are off", .Live = true},
      {.Section = "Files", .Key = "FileMode", .Kind = K::Mode, .Field = &C::FileMode, .Low = 0600, .Live = true},
      {.Section = "Files", .Key = "DirectoryMode", .Kind = K::Mode, .Field = &C::DirectoryMode, .Low = 0700, .Live = true},
      {.Section = "Files", .Key = "SpreadSenders", .Kind = K::Choice, .Field = &C::SpreadSenders,
       .Words = {"0", "1"}, .TrueWord = "1", .Live = true},
      {.Section = "Syslog", .Key = "TcpPort", .Kind = K::Count, .Field = &C::SyslogTcpPort, .Low = 0, .High = 65535, .Live = true},
      {.Section = "Syslog", .Key = "MaxConnections", .Kind = K::Count, .Field = &C::SyslogMaxConnections, .Low = 1, .Live = true},
      {.Section = "Syslog", .Key = "IdleSeconds", .Kind = K::Count, .Field = &C::SyslogIdleSeconds, .Live = true},
      {.Section = "Syslog", .Key = "ListenAddress", .Kind = K::Checked, .Field = &C::ListenAddress,
       .Valid = ValidAddress, .Not = "is no IPv4 or IPv6 address", .Live = true},
      {.Section = "Syslog", .Key = "TlsPort", .Kind = K::Count, .Field = &C::SyslogTlsPort, .Low = 0, .High = 65535, .Live = true},
      {.Section = "Syslog", .Key = "TlsCertificate", .Kind = K::Text, .Field = &C::TlsCertificate, .Live = true},
      {.Section = "Syslog", .Key = "TlsKey", .Kind = K::Text, .Field = &C::TlsKey, .Live = true},
      {.Section = "Syslog", .Key = "TlsClientCA", .Kind = K::Text, .Field = &C::TlsClientCA, .Live = true},
      {.Section = "Syslog", .Key = "PathBy", .Kind = K::Choice, .Field = &C::SyslogPathByHostname,
       .Words = {"address", "hostname"}, .TrueWord = "hostname", .Live = true},
      {.Section = "Senders", .Key = "IdleSeconds", .Kind = K::Count, .Field = &C::SenderIdleSeconds, .Low = 1, .Live = true},
      {.Section = "Senders", .Key = "MaxSenders", .Kind = K::Count, .Field = &C::MaxSenders, .Low = 1, .Live = true},
      {.Section = "Senders", .Key = "NewPathsPerSecond", .Kind = K::Count, .Field = &C::NewPathsPerSecond, .Low = 1, .Live = true},
      {.Section = "Senders", .Key = "NewPathsAtOnce", .Kind = K::Count, .Field = &C::NewPathsAtOnce, .Low = 1, .Live = true},
      {.Section = "Senders", .Key = "NewPathsPerSecondTotal", .Kind = K::Count, .Field = &C::NewPathsPerSecondTotal, .Live = true},
      {.Section = "Senders", .Key = "MaxConnectionsPerAddress", .Kind = K::Count, .Field = &C::MaxConnectionsPerAddress, .Live = true},
      {.Section = "Senders", .Key = "MaxHandshakesPerAddress", .Kind = K::Count, .Field = &C::MaxHandshakesPerAddress, .Live = true},
      {.Section = "Senders", .Key = "MaxUnfinishedBytes", .Kind = K::Count, .Field = &C::MaxUnfinishedBytes, .Live = true},
      {.Section = "Senders", .Key = "MessagesPerSecond", .Kind = K::Count, .Field = &C::MessagesPerSecond, .Live = true},
      {.Section = "Senders", .Key = "BytesPerSecond", .Kind = K::Count, .Field = &C::BytesPerSecond, .Live = true},
      {.Section = "Senders", .Key = "BurstSeconds", .Kind = K::Count, .Field = &C::BurstSeconds, .Low = 1, .High = 3600, .Live = true},
      {.Section = "Senders", .Key = "Unlimited", .Kind = K::Checked, .Field = &C::UnlimitedSenders,
       .Valid = ValidAddressList, .Not = "is no list of addresses and CIDR prefixes",
       .Otherwise = "every address is capped and limited", .Live = true},
      {.Section = "Tpkt", .Key = "MaxConnectionsPerAddress", .Kind = K::Count, .Field = &C::TpktMaxConnectionsPerAddress, .Live = true},
      {.Section = "Tpkt", .Key = "IdleSeconds", .Kind = K::Count, .Field = &C::TpktIdleSeconds, .Live = true},
      {.Section = "Stream", .Key = "Servers", .Kind = K::Text, .Field = &C::StreamServers, .Live = true},
      {.Section = "Stream", .Key = "Stream", .Kind = K::Checked, .Field = &C::StreamName,
       .Valid = ValidStreamName, .Not = "is no stream name", .Live = true},
      {.Section = "Stream", .Key = "Subject", .Kind = K::Checked, .Field = &C::StreamSubject,
       .Valid = ValidSubjectPrefix, .Not = "is no subject without wildcards", .Live = true},
      {.Section = "Stream", .Key = "Replicas", .Kind = K::Count, .Field = &C::StreamReplicas, .Low = 1, .High = 5, .Live = true},
      {.Section = "Stream", .Key = "Files", .Kind = K::Choice, .Field = &C::StreamFiles,
       .Words = {"0", "1"}, .TrueWord = "1", .Live = true},
      {.Section = "Stream", .Key = "Credentials", .Kind = K::Text, .Field = &C::StreamCredentials, .Live = true},
      {.Section = "Stream", .Key = "TlsCA", .Kind = K::Text, .Field = &C::StreamTlsCA, .Live = true},
      {.Section = "Stream", .Key = "SpoolDirectory", .Kind = K::Text, .Field = &C::StreamSpoolDirectory, .Live = true},
      {.Section = "Stream", .Key = "SpoolMaxMiB", .Kind = K::Count, .Field = &C::StreamSpoolMaxMiB, .Low = 1, .Live = true},
      {.Section = "Stream", .Key = "Compression", .Kind = K::Choice, .Field = &C::StreamCompress,
       .Words = {"zstd", "none"}, .TrueWord = "zstd", .Live = true},
  };
  return keys;
}

std::string LowerName(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::vector<std::string> ConfigSectionNames() {
  std::vector<std::string> names;
  for (const TConfigKey& key : ConfigKeys())
    if (std::find(names.begin(), names.end(), key.Section) == names.end()) names.push_back(key.Section);
  return names;
}

std::vector<std::string> ConfigKeyNames(const std::string& section) {
  std::vector<std::string> names;
  for (const TConfigKey& key : ConfigKeys())
    if (strcasecmp(key.Section, section.c_str()) == 0 && key.Kind != TKeyKind::Providers) names.push_back(key.Key);
  return names;
}

}  // namespace logserver

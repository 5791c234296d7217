#include "core/uServiceConfig.h"

#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "platform/uSocket.h"
#include "producers/uProviderKey.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <map>
#include <set>

namespace logserver {

namespace {

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The keys each section the service reads knows; [Providers] takes any key.
const std::map<std::string, std::set<std::string>>& KnownKeys() {
  static const std::map<std::string, std::set<std::string>> known = {
      {"common",
       {"serviceport", "syslogport", "runmode", "logmode", "basecatalog", "modulenameasfileprefix",
        "timeplacementmask"}},
      {"metrics", {"listen"}},
      {"files", {"filemode", "directorymode", "spreadsenders"}},
      {"senders", {"idleseconds", "maxsenders", "newpathsatonce", "newpathspersecond"}},
      {"stream",
       {"servers", "stream", "subject", "replicas", "files", "credentials", "tlsca", "spooldirectory",
        "spoolmaxmib"}},
      {"syslog", {"tcpport", "maxconnections", "pathby", "tlsport", "tlscertificate", "tlskey", "tlsclientca", "listenaddress"}},
  };
  return known;
}

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

// Reads the settings from `document`, noting each decision in `findings`.
class TConfigReader {
 public:
  TConfigReader(const TIniDocument& document, TConfigFindings& findings)
      : Document(document), Findings(findings) {
    for (const auto& key : Document.KeyLines()) Lines.push_back(key);
  }

  // The value of the first `key` of the first `section`, and its line.
  bool Find(const std::string& section, const std::string& key, std::string& value, std::size_t& line) {
    bool found = false;
    value = Document.ReadString(section, key, std::string(), &found);
    line = 0;
    if (!found) return false;
    const std::string wantedSection = Lower(section), wantedKey = Lower(key);
    // The document answers from the first matching section, which comes
    // first in the file too.
    for (const auto& entry : Lines) {
      if (Lower(entry.Section) != wantedSection) continue;
      if (Lower(entry.Key) == wantedKey) {
        line = entry.Line;
        break;
      }
    }
    return true;
  }

  void Problem(std::size_t line, const std::string& text) {
    Findings.Problems.push_back("line " + std::to_string(line) + ": " + text);
  }

  std::int32_t Integer(const char* key, std::int32_t defaultValue) {
    std::string value;
    std::size_t line = 0;
    if (!Find("Common", key, value, line)) return defaultValue;
    std::int32_t parsed = 0;
    if (ParseConfigInteger(value, parsed)) return parsed;
    Problem(line, std::string(key) + "=" + value + " is not a whole number: " +
                      std::to_string(defaultValue) + " is used instead");
    return defaultValue;
  }

  // A whole number of `section` from `low` up.
  std::uint32_t Count(const char* section, const char* key, std::uint32_t defaultValue, std::int32_t low) {
    std::string value;
    std::size_t line = 0;
    if (!Find(section, key, value, line) || value.empty()) return defaultValue;
    std::int32_t parsed = 0;
    if (ParseConfigInteger(value, parsed) && parsed >= low) return static_cast<std::uint32_t>(parsed);
    Problem(line, std::string(key) + "=" + value + " is no whole number from " + std::to_string(low) +
                      " up: " + std::to_string(defaultValue) + " is used instead");
    return defaultValue;
  }

  std::uint16_t Port(const char* key, std::uint16_t defaultValue) {
    const std::int32_t value = Integer(key, defaultValue);
    // The port keys keep the low 16 bits: 70000 becomes 4464.
    const auto port = static_cast<std::uint16_t>(value);
    if (port != value) {
      std::string text;
      std::size_t line = 0;
      Find("Common", key, text, line);
      Problem(line, std::string(key) + "=" + text + " is no port (0 to 65535): " +
                        std::to_string(port) + " is used instead");
    }
    return port;
  }

  // An octal mode of [Files] that keeps `needed` for the owner (the service
  // must read and write its files, enter its directories).
  unsigned Mode(const char* key, unsigned defaultValue, unsigned needed) {
    std::string value;
    std::size_t line = 0;
    if (!Find("Files", key, value, line) || value.empty()) return defaultValue;
    unsigned parsed = 0;
    bool octal = value.size() <= 4;
    for (const char c : value) {
      octal = octal && c >= '0' && c <= '7';
      parsed = parsed * 8 + static_cast<unsigned>(c - '0');
    }
    if (octal && parsed <= 0777 && (parsed & needed) == needed) return parsed;
    char shown[8];
    std::snprintf(shown, sizeof shown, "%04o", defaultValue);
    Problem(line, std::string(key) + "=" + value + " is no octal mode up to 0777 that lets the service " +
                      (needed == 0700 ? "enter and write" : "read and write") + ": " + shown +
                      " is used instead");
    return defaultValue;
  }

  // Keys no section knows, and keys that stand again below a first one.
  void UnknownAndRepeatedKeys() {
    std::map<std::pair<std::string, std::string>, std::size_t> first;
    std::set<std::string> sectionsSeen;
    std::string previousSection;
    bool repeatedSection = false;
    for (const auto& entry : Lines) {
      const std::string section = Lower(entry.Section), key = Lower(entry.Key);
      if (section != previousSection) {
        // A section that stands twice: only the first is read.
        repeatedSection = !sectionsSeen.insert(section).second;
        previousSection = section;
        if (repeatedSection && KnownKeys().count(section) + (section == "providers") > 0)
          Problem(entry.Line, "[" + entry.Section + "] stands a second time: this one is ignored");
      }
      if (repeatedSection) continue;
      if (section == "providers") continue;
      const auto known = KnownKeys().find(section);
      if (known == KnownKeys().end()) continue;  // sections of others are kept as they are
      if (known->second.count(key) == 0) {
        Problem(entry.Line, "unknown key " + entry.Key + " in [" + entry.Section + "] is ignored");
        continue;
      }
      const auto [at, added] = first.emplace(std::make_pair(section, key), entry.Line);
      if (!added)
        Problem(entry.Line, entry.Key + " stands again in [" + entry.Section + "] (first at line " +
                                std::to_string(at->second) + "): this one is ignored");
    }
  }

  void Providers(const TIniEntries& providers) {
    // Entries of the first [Providers] section, in file order.
    std::size_t index = 0;
    std::set<std::string> sectionsSeen;
    std::string previousSection;
    bool repeatedSection = false;
    for (const auto& entry : Lines) {
      const std::string section = Lower(entry.Section);
      if (section != previousSection) {
        repeatedSection = !sectionsSeen.insert(section).second;
        previousSection = section;
      }
      if (section != "providers" || repeatedSection) continue;
      if (index >= providers.size()) break;
      TProviderKey parsed;
      if (!ParseProviderKey(providers[index].first, parsed))
        Problem(entry.Line, "[Providers] key \"" + providers[index].first +
                                "\" is not address|application|module|prefix: it is ignored");
      ++index;
    }
  }

  const TIniDocument& Document;
  TConfigFindings& Findings;
  std::vector<TIniDocument::TKeyLineInfo> Lines;
};

}  // namespace

TServiceConfig ParseServiceConfig(const std::string& text, const std::string& executableDirectory,
                                  std::string& writtenBack, TConfigFindings& findings) {
  TIniDocument document(text);
  TConfigReader reader(document, findings);
  const std::string section = "Common";
  TServiceConfig config;

  reader.UnknownAndRepeatedKeys();
  config.ServicePort = reader.Port("ServicePort", config.ServicePort);
  config.SysLogPort = reader.Port("SysLogPort", config.SysLogPort);
  config.RunMode = reader.Integer("RunMode", config.RunMode);
  config.LogMode = reader.Integer("LogMode", config.LogMode);
  config.BaseCatalog = document.ReadString(section, "BaseCatalog", executableDirectory + "Logs/");
  {
    std::string value;
    std::size_t line = 0;
    const bool found = reader.Find(section, "ModuleNameAsFilePrefix", value, line);
    config.ModuleNameAsFilePrefix = (!found || value.empty()) ? true : value[0] == '1';
    if (found && !value.empty() && value[0] != '0' && value[0] != '1')
      reader.Problem(line, "ModuleNameAsFilePrefix=" + value + " starts with neither 0 nor 1: " +
                               (config.ModuleNameAsFilePrefix ? "1" : "0") + " is used instead");
  }
  config.TimePlacementMask =
      document.ReadString(section, "TimePlacementMask", config.TimePlacementMask);
  config.Providers = document.ReadSection("Providers");
  reader.Providers(config.Providers);
  {
    std::string value;
    std::size_t line = 0;
    if (reader.Find("Metrics", "Listen", value, line) && !value.empty()) {
      if (ValidListen(value))
        config.MetricsListen = value;
      else
        reader.Problem(line, "Listen=" + value + " is not ADDRESS:PORT: metrics are off");
    }
  }

  config.FileMode = reader.Mode("FileMode", config.FileMode, 0600);
  config.DirectoryMode = reader.Mode("DirectoryMode", config.DirectoryMode, 0700);
  {
    std::string value;
    std::size_t line = 0;
    if (reader.Find("Files", "SpreadSenders", value, line) && !value.empty()) {
      if (value == "0" || value == "1")
        config.SpreadSenders = value == "1";
      else
        reader.Problem(line, "SpreadSenders=" + value + " is neither 0 nor 1: 1 is used instead");
    }
  }
  config.SyslogTcpPort = static_cast<std::uint16_t>(
      std::min<std::uint32_t>(reader.Count("Syslog", "TcpPort", config.SyslogTcpPort, 0), 65535));
  config.SyslogMaxConnections = reader.Count("Syslog", "MaxConnections", config.SyslogMaxConnections, 1);
  {
    std::string value;
    std::size_t line = 0;
    if (reader.Find("Syslog", "ListenAddress", value, line) && !value.empty()) {
      TSocketAddress parsed;
      if (ParseAddress(value, parsed))
        config.ListenAddress = value;
      else
        reader.Problem(line, "ListenAddress=" + value + " is no IPv4 or IPv6 address: " +
                                 config.ListenAddress + " is used instead");
    }
  }
  config.SyslogTlsPort = static_cast<std::uint16_t>(
      std::min<std::uint32_t>(reader.Count("Syslog", "TlsPort", config.SyslogTlsPort, 0), 65535));
  config.TlsCertificate = document.ReadString("Syslog", "TlsCertificate", "");
  config.TlsKey = document.ReadString("Syslog", "TlsKey", "");
  config.TlsClientCA = document.ReadString("Syslog", "TlsClientCA", "");
  {
    std::string value;
    std::size_t line = 0;
    if (reader.Find("Syslog", "PathBy", value, line) && !value.empty()) {
      if (Lower(value) == "hostname")
        config.SyslogPathByHostname = true;
      else if (Lower(value) != "address")
        reader.Problem(line, "PathBy=" + value + " is neither address nor hostname: address is used instead");
    }
  }
  config.SenderIdleSeconds = reader.Count("Senders", "IdleSeconds", config.SenderIdleSeconds, 1);
  config.MaxSenders = reader.Count("Senders", "MaxSenders", config.MaxSenders, 1);
  config.NewPathsPerSecond = reader.Count("Senders", "NewPathsPerSecond", config.NewPathsPerSecond, 1);
  config.NewPathsAtOnce = reader.Count("Senders", "NewPathsAtOnce", config.NewPathsAtOnce, 1);

  {
    std::string value;
    std::size_t line = 0;
    config.StreamServers = document.ReadString("Stream", "Servers", "");
    if (reader.Find("Stream", "Stream", value, line) && !value.empty()) {
      if (ValidStreamName(value))
        config.StreamName = value;
      else
        reader.Problem(line, "Stream=" + value + " is no stream name: " + config.StreamName +
                                 " is used instead");
    }
    if (reader.Find("Stream", "Subject", value, line) && !value.empty()) {
      if (ValidSubjectPrefix(value))
        config.StreamSubject = value;
      else
        reader.Problem(line, "Subject=" + value + " is no subject without wildcards: " +
                                 config.StreamSubject + " is used instead");
    }
    config.StreamReplicas = std::min<std::uint32_t>(reader.Count("Stream", "Replicas", 1, 1), 5);
    if (reader.Find("Stream", "Files", value, line) && !value.empty()) {
      if (value == "0" || value == "1")
        config.StreamFiles = value == "1";
      else
        reader.Problem(line, "Files=" + value + " is neither 0 nor 1: 1 is used instead");
    }
    config.StreamCredentials = document.ReadString("Stream", "Credentials", "");
    config.StreamTlsCA = document.ReadString("Stream", "TlsCA", "");
    config.StreamSpoolDirectory = document.ReadString("Stream", "SpoolDirectory", "");
    if (config.StreamSpoolDirectory.empty()) {
      // Beside the service's own log, below its pseudo-sender 0.0.0.0: no
      // sender's tree, and a dot name no retention or sender touches.
      // Earlier versions kept it in the base directory itself: a spool left
      // there is taken over.
      std::string base = config.BaseCatalog;
      if (!base.empty() && base.back() != '/') base += '/';
      config.StreamSpoolDirectory = base + "0.0.0.0/.stream-spool";
      config.StreamFormerSpoolDirectory = base + ".stream-spool";
    }
    config.StreamSpoolMaxMiB = reader.Count("Stream", "SpoolMaxMiB", config.StreamSpoolMaxMiB, 1);
    if (reader.Find("Stream", "Compression", value, line) && !value.empty()) {
      if (Lower(value) == "zstd" || Lower(value) == "none")
        config.StreamCompress = Lower(value) == "zstd";
      else
        reader.Problem(line, "Compression=" + value + " is neither zstd nor none: zstd is used instead");
    }
  }

  // The file always holds the values in effect; SysLogPort is not written.
  auto writeBack = [&](const char* key, const std::string& value) {
    std::string old;
    std::size_t line = 0;
    if (!reader.Find(section, key, old, line))
      findings.Rewrites.push_back(std::string(key) + " would be added");
    else if (old != value)
      findings.Rewrites.push_back("line " + std::to_string(line) + ": " + key + "=" + old +
                                  " would be written back as " + key + "=" + value);
    document.WriteString(section, key, value);
  };
  writeBack("ServicePort", std::to_string(config.ServicePort));
  writeBack("RunMode", std::to_string(config.RunMode));
  writeBack("LogMode", std::to_string(config.LogMode));
  writeBack("BaseCatalog", config.BaseCatalog);
  writeBack("ModuleNameAsFilePrefix", config.ModuleNameAsFilePrefix ? "1" : "0");
  writeBack("TimePlacementMask", config.TimePlacementMask);
  writtenBack = document.Text();
  return config;
}

namespace {

// The text of the configuration; throws when it cannot be read or is larger
// than any configuration needs to be (reading it would cost the start
// seconds and memory many times its size).
std::string ReadConfigText(const std::string& configPath, bool& exists) {
  std::string text;
  if (ReadFileText(configPath, text, exists, kMaxConfigBytes)) return text;
  if (errno == EFBIG)
    throw EConfigError(configPath + " is larger than " + std::to_string(kMaxConfigBytes >> 20) +
                       " MiB: not read");
  throw EConfigError("cannot read " + configPath + ": " + ErrorText(errno));
}

}  // namespace

TServiceConfig ReadServiceConfig(const std::string& configPath,
                                 const std::string& executableDirectory, TConfigFindings* findings) {
  // New files of a write-back that was killed midway are no one's.
  RemoveReplaceLeftovers(configPath);
  bool exists = false;
  const std::string text = ReadConfigText(configPath, exists);
  TConfigFindings found;
  std::string updated;
  TServiceConfig config = ParseServiceConfig(text, executableDirectory, updated, found);
  if (findings != nullptr) *findings = found;
  // Replaced in one step, and only when its bytes change, so that a failed
  // write or a signal never leaves it cut short, and an unchanged
  // configuration (a package's conffile) is never touched.
  if ((!exists || updated != text) && !ReplaceFileAtomically(configPath, updated)) {
    // A configuration the service may not write (root's, on a read-only
    // system) is used as read: the caller reports what would have changed.
    if (errno != EACCES && errno != EROFS && errno != EPERM)
      throw EConfigError("cannot write " + configPath + ": " + ErrorText(errno));
    found.WriteBackRefused = ErrorText(errno);
    if (!exists) found.Rewrites.push_back(configPath + " does not exist: it would be made with the defaults");
    if (findings != nullptr) *findings = found;
  }
  return config;
}

bool CheckServiceConfig(const std::string& configPath, const std::string& executableDirectory,
                        TConfigFindings& findings) {
  bool exists = false;
  const std::string text = ReadConfigText(configPath, exists);
  std::string updated;
  ParseServiceConfig(text, executableDirectory, updated, findings);
  if (!exists) {
    findings.Rewrites.clear();
    findings.Rewrites.push_back(configPath + " does not exist: it would be made with the defaults");
  } else if (updated != text && findings.Rewrites.empty()) {
    findings.Rewrites.push_back("the values in effect would be written back");
  }
  return exists && updated == text && findings.Problems.empty();
}

}  // namespace logserver

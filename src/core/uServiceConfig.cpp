#include "core/uServiceConfig.h"

#include "core/uConfigChecks.h"
#include "core/uConfigKeys.h"
#include "core/uServiceLog.h"

#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "producers/uProviderKey.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <map>
#include <set>

namespace logserver {

namespace {

// The keys each section the service reads knows, lower case; [Providers]
// takes any key.
const std::map<std::string, std::set<std::string>>& KnownKeys() {
  static const std::map<std::string, std::set<std::string>> known = [] {
    std::map<std::string, std::set<std::string>> keys;
    for (const TConfigKey& key : ConfigKeys())
      if (key.Kind != TKeyKind::Providers) keys[LowerName(key.Section)].insert(LowerName(key.Key));
    return keys;
  }();
  return known;
}

template <typename T>
T* FieldOf(TServiceConfig& config, const TConfigKey& key) {
  const auto* member = std::get_if<T TServiceConfig::*>(&key.Field);
  return member == nullptr ? nullptr : &(config.**member);
}

// A whole-number field, whatever its width.
std::int64_t NumberOf(TServiceConfig& config, const TConfigKey& key) {
  if (auto* field = FieldOf<std::uint16_t>(config, key)) return *field;
  if (auto* field = FieldOf<std::int32_t>(config, key)) return *field;
  if (auto* field = FieldOf<std::uint32_t>(config, key)) return *field;
  return 0;
}

void SetNumber(TServiceConfig& config, const TConfigKey& key, std::int64_t value) {
  if (auto* field = FieldOf<std::uint16_t>(config, key)) *field = static_cast<std::uint16_t>(value);
  if (auto* field = FieldOf<std::int32_t>(config, key)) *field = static_cast<std::int32_t>(value);
  if (auto* field = FieldOf<std::uint32_t>(config, key)) *field = static_cast<std::uint32_t>(value);
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
    const std::string wantedSection = LowerName(section), wantedKey = LowerName(key);
    // The document answers from the first matching section, which comes
    // first in the file too.
    for (const auto& entry : Lines) {
      if (LowerName(entry.Section) != wantedSection) continue;
      if (LowerName(entry.Key) == wantedKey) {
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
  unsigned Mode(const char* section, const char* key, unsigned defaultValue, unsigned needed) {
    std::string value;
    std::size_t line = 0;
    if (!Find(section, key, value, line) || value.empty()) return defaultValue;
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

  // One of two words, any case; the field keeps its value otherwise.
  bool Choice(const TConfigKey& key, bool current) {
    std::string value;
    std::size_t line = 0;
    if (!Find(key.Section, key.Key, value, line) || value.empty()) return current;
    const std::string word = LowerName(value);
    if (word == key.Words[0] || word == key.Words[1]) return word == key.TrueWord;
    const char* falseWord = std::strcmp(key.Words[0], key.TrueWord) == 0 ? key.Words[1] : key.Words[0];
    const char* currentWord = current ? key.TrueWord : falseWord;
    Problem(line, std::string(key.Key) + "=" + value + " is neither " + key.Words[0] + " nor " + key.Words[1] +
                      ": " + currentWord + " is used instead");
    return current;
  }

  // True when the text starts with 1; any other start but 0 is reported
  // and reads as 0, as it always has.
  bool LeadingFlag(const TConfigKey& key, bool current) {
    std::string value;
    std::size_t line = 0;
    if (!Find(key.Section, key.Key, value, line) || value.empty()) return current;
    if (value[0] != '0' && value[0] != '1')
      Problem(line, std::string(key.Key) + "=" + value + " starts with neither 0 nor 1: 0 is used instead");
    return value[0] == '1';
  }

  void Checked(const TConfigKey& key, std::string& field) {
    std::string value;
    std::size_t line = 0;
    if (!Find(key.Section, key.Key, value, line) || value.empty()) return;
    if (key.Valid(value)) {
      field = value;
      return;
    }
    Problem(line, std::string(key.Key) + "=" + value + " " + key.Not + ": " +
                      (key.Otherwise != nullptr ? std::string(key.Otherwise) : field + " is used instead"));
  }

  // One key of the table into its field.
  void Read(const TConfigKey& key, TServiceConfig& config) {
    switch (key.Kind) {
      case TKeyKind::Port:
        SetNumber(config, key, Port(key.Key, static_cast<std::uint16_t>(NumberOf(config, key))));
        break;
      case TKeyKind::Integer:
        SetNumber(config, key, Integer(key.Key, static_cast<std::int32_t>(NumberOf(config, key))));
        break;
      case TKeyKind::Count: {
        const std::int64_t value =
            Count(key.Section, key.Key, static_cast<std::uint32_t>(NumberOf(config, key)), key.Low);
        SetNumber(config, key, key.High != 0 ? std::min<std::int64_t>(value, key.High) : value);
        break;
      }
      case TKeyKind::Mode:
        SetNumber(config, key,
                  Mode(key.Section, key.Key, static_cast<unsigned>(NumberOf(config, key)),
                       static_cast<unsigned>(key.Low)));
        break;
      case TKeyKind::Choice:
        *FieldOf<bool>(config, key) = Choice(key, *FieldOf<bool>(config, key));
        break;
      case TKeyKind::LeadingFlag:
        *FieldOf<bool>(config, key) = LeadingFlag(key, *FieldOf<bool>(config, key));
        break;
      case TKeyKind::Text: {
        std::string& field = *FieldOf<std::string>(config, key);
        field = Document.ReadString(key.Section, key.Key, field);
        break;
      }
      case TKeyKind::Checked:
        Checked(key, *FieldOf<std::string>(config, key));
        break;
      case TKeyKind::Providers:
        config.Providers = Document.ReadSection(key.Section);
        Providers(config.Providers);
        break;
    }
  }

  // Keys no section knows, and keys that stand again below a first one.
  void UnknownAndRepeatedKeys() {
    std::map<std::pair<std::string, std::string>, std::size_t> first;
    std::set<std::string> sectionsSeen;
    std::string previousSection;
    bool repeatedSection = false;
    for (const auto& entry : Lines) {
      const std::string section = LowerName(entry.Section), key = LowerName(entry.Key);
      if (section != previousSection) {
        // A section that stands twice: only the first is read.
        repeatedSection = !sectionsSeen.insert(section).second;
        previousSection = section;
        const bool known = KnownKeys().count(section) + (section == "providers") > 0;
        if (repeatedSection && known)
          Problem(entry.Line, "[" + entry.Section + "] stands a second time: this one is ignored");
        // Sections of others are kept as they are; one that is a slip of a
        // section the service reads would silently turn what it sets off.
        const std::string meant = known || repeatedSection ? std::string() : ClosestName(section, ConfigSectionNames());
        if (!meant.empty())
          Problem(entry.SectionLine, "[" + entry.Section + "] is no section the service reads (did you mean [" +
                                  meant + "]?): it is ignored");
      }
      if (repeatedSection) continue;
      if (section == "providers") continue;
      const auto known = KnownKeys().find(section);
      if (known == KnownKeys().end()) continue;
      if (known->second.count(key) == 0) {
        const std::string meant = ClosestName(key, ConfigKeyNames(section));
        Problem(entry.Line, "unknown key " + entry.Key + " in [" + entry.Section + "] is ignored" +
                                (meant.empty() ? "" : " (did you mean " + meant + "?)"));
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
      const std::string section = LowerName(entry.Section);
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

  // A BaseCatalog is a prefix: without its trailing '/' every directory of
  // the tree lands beside it instead of in it.
  void BaseCatalog(const std::string& base) {
    std::string value;
    std::size_t line = 0;
    if (base.empty() || base.back() == '/' || !Find("Common", "BaseCatalog", value, line)) return;
    Problem(line, "BaseCatalog=" + base + " does not end with /: the service's files would land in " + base +
                      kServiceLogAddress + "/ and each sender's beside it");
  }

  // The files and directories the settings name, each with the line of
  // its key.
  void NamedFiles(const TServiceConfig& config) {
    CheckNamedFiles(config, [&](const char* section, const char* key, const std::string& text) {
      std::string value;
      std::size_t line = 0;
      Find(section, key, value, line);
      Problem(line, text);
    });
  }

  const TIniDocument& Document;
  TConfigFindings& Findings;
  std::vector<TIniDocument::TKeyLineInfo> Lines;
};

}  // namespace

TServiceConfig ParseServiceConfig(const std::string& text, const std::string& executableDirectory,
                                  std::string& writtenBack, TConfigFindings& findings, bool checkNamedFiles) {
  TIniDocument document(text);
  TConfigReader reader(document, findings);
  const std::string section = "Common";
  TServiceConfig config;

  reader.UnknownAndRepeatedKeys();
  config.BaseCatalog = executableDirectory + "Logs/";
  for (const TConfigKey& key : ConfigKeys()) reader.Read(key, config);
  reader.BaseCatalog(config.BaseCatalog);
  if (config.StreamSpoolDirectory.empty()) {
    // Beside the service's own log, below its pseudo-sender 0.0.0.0: no
    // sender's tree, and a dot name no retention or sender touches.
    // Earlier versions kept it in the base directory itself: a spool left
    // there is taken over.
    std::string base = config.BaseCatalog;
    if (!base.empty() && base.back() != '/') base += '/';
    config.StreamSpoolDirectory = base + kServiceLogAddress + "/.stream-spool";
    config.StreamFormerSpoolDirectory = base + ".stream-spool";
  }
  if (checkNamedFiles) reader.NamedFiles(config);

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
  if (errno == EINVAL) throw EConfigError(configPath + " is not a regular file: not read");
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
  TServiceConfig config = ParseServiceConfig(text, executableDirectory, updated, found, /*checkNamedFiles=*/true);
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
                        TConfigFindings& findings, TServiceConfig* parsed) {
  bool exists = false;
  const std::string text = ReadConfigText(configPath, exists);
  std::string updated;
  TServiceConfig config = ParseServiceConfig(text, executableDirectory, updated, findings, /*checkNamedFiles=*/true);
  if (parsed != nullptr) *parsed = std::move(config);
  if (!exists) {
    findings.Rewrites.clear();
    findings.Rewrites.push_back(configPath + " does not exist: it would be made with the defaults");
  } else if (updated != text && findings.Rewrites.empty()) {
    findings.Rewrites.push_back("the values in effect would be written back");
  }
  // Keys a start would only add are notes: the service starts with the file
  // as it is.
  return exists && findings.Problems.empty();
}

}  // namespace logserver

// The keys of LogServer.conf the service reads, as one table: where each
// stands, how its text is read, its range, and the field of TServiceConfig
// it fills. The defaults are that struct's own initial values. The reader
// (uServiceConfig.cpp) has one routine per kind and walks this table in
// order, so the problems it finds come in the table's order; the keys each
// section knows (for "unknown key" problems) come from here too.
#pragma once

#include "core/uServiceConfig.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace logserver {

enum class TKeyKind {
  Port,         // [Common]: a whole number; only its low 16 bits are kept (reported)
  Integer,      // [Common]: a whole number
  Count,        // a whole number from Low up; above High (when not 0) it is High; empty: default
  Choice,       // one of two words, any case; empty: default
  LeadingFlag,  // its first character, 0 or 1; empty: default
  Mode,         // an octal mode up to 0777 that keeps Low for the owner; empty: default
  Text,         // the text as it stands, no check
  Checked,      // a text that must pass Valid; empty: default
  Providers,    // the [Providers] section, every key a route
};

using TConfigField = std::variant<std::monostate, std::uint16_t TServiceConfig::*, std::int32_t TServiceConfig::*,
                                  std::uint32_t TServiceConfig::*, bool TServiceConfig::*,
                                  std::string TServiceConfig::*>;

struct TConfigKey {
  const char* Section;
  const char* Key;
  TKeyKind Kind;
  TConfigField Field;
  std::int32_t Low = 0;
  std::int32_t High = 0;
  // Choice: the two words in the order a problem names them, and the one
  // that sets the field.
  const char* Words[2] = {nullptr, nullptr};
  const char* TrueWord = nullptr;
  // Checked: the test, what a refused text is not ("is no stream name"),
  // and what follows instead (null: the current value is used).
  bool (*Valid)(const std::string&) = nullptr;
  const char* Not = nullptr;
  const char* Otherwise = nullptr;
  // A reload (SIGHUP) applies it at once; the others wait for the next
  // start.
  bool Live = false;
};

// Every key, in the order the reader takes them.
const std::vector<TConfigKey>& ConfigKeys();
// The sections the table has, and the keys of one (named in any case;
// [Providers] has none), as the table spells them.
std::vector<std::string> ConfigSectionNames();
std::vector<std::string> ConfigKeyNames(const std::string& section);
// A section or key name as it is compared: ASCII letters in lower case.
std::string LowerName(std::string name);

}  // namespace logserver

// An INI document as the service reads and rewrites it.
//
// Lines are stripped of leading and trailing bytes up to 32; empty lines and
// lines starting with ";" carry nothing. "[name]" opens a section; other
// lines in a section are keys, "name=value" (both stripped again, a value of
// two or more characters in double quotes loses them) or a bare name with an
// empty value. Section and key names compare ignoring ASCII letter case; the
// first matching section and the first matching key in it win. Lines before
// the first section are never read.
//
// Writing changes only the line of the key concerned, or appends it; every
// other line, comments included, is kept byte for byte. Not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace logserver {

// Strips leading and trailing bytes with codes up to 32.
std::string StripControl(const std::string& text);
bool EqualsNoCase(const std::string& a, const std::string& b);

// An integer value: an optional sign, then at least one decimal digit and
// nothing else, within the 32-bit signed range. False for anything else.
bool ParseConfigInteger(const std::string& text, std::int32_t& value);

// (name, value) pairs of one section, in file order.
using TIniEntries = std::vector<std::pair<std::string, std::string>>;

class TIniDocument {
 public:
  TIniDocument() = default;
  explicit TIniDocument(const std::string& text);

  // The value of the first matching key, or nullptr-like `found` false.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue, bool* found = nullptr) const;

  // All keys of the first matching section, in file order, as (name, value).
  TIniEntries ReadSection(const std::string& section) const;

  // Updates the first matching key in place; a missing key is added at the end
  // of its section, a missing section at the end of the document. Values that
  // would not read back unchanged (edge blanks, enclosing quotes) are quoted.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

  std::string Text() const;

  // Every key line, in file order, with the section it stands in (lines
  // before the first section have an empty one) and its line number from 1.
  struct TKeyLineInfo {
    std::size_t Line = 0;
    std::size_t SectionLine = 0;  // its section's header; 0 before any
    std::string Section;
    std::string Key;
    std::string Value;
  };
  std::vector<TKeyLineInfo> KeyLines() const;

 private:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  std::size_t FindSection(const std::string& section) const;
  // One past the last line of the section whose header is at `header`.
  std::size_t SectionEnd(std::size_t header) const;
  std::size_t FindKey(std::size_t header, const std::string& key) const;

  std::vector<std::string> Lines;
};

}  // namespace logserver

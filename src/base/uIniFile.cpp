#include "base/uIniFile.h"

#include <limits>

namespace logserver {

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) <= 32; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsSectionHeader(const std::string& stripped) {
  return stripped.size() >= 2 && stripped.front() == '[' && stripped.back() == ']';
}

bool IsComment(const std::string& stripped) { return !stripped.empty() && stripped.front() == ';'; }

struct TKeyLine {
  std::string Name;
  std::string Value;
};

TKeyLine SplitKeyLine(const std::string& stripped) {
  TKeyLine k;
  const std::size_t eq = stripped.find('=');
  if (eq == std::string::npos) {
    k.Name = stripped;
    return k;
  }
  k.Name = StripControl(stripped.substr(0, eq));
  k.Value = StripControl(stripped.substr(eq + 1));
  if (k.Value.size() >= 2 && k.Value.front() == '"' && k.Value.back() == '"')
    k.Value = k.Value.substr(1, k.Value.size() - 2);
  return k;
}

std::string EncodeValue(const std::string& value) {
  if (value.empty()) return value;
  const bool edgeBlank = IsControl(value.front()) || IsControl(value.back());
  const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  return (edgeBlank || quoted) ? "\"" + value + "\"" : value;
}

}  // namespace

std::string StripControl(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsControl(text[begin])) ++begin;
  while (end > begin && IsControl(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool ParseConfigInteger(const std::string& text, std::int32_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  std::int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) return false;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<std::int32_t>::max() || v < std::numeric_limits<std::int32_t>::min())
    return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

TIniDocument::TIniDocument(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    Lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::size_t TIniDocument::FindSection(const std::string& section) const {
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    const std::string s = StripControl(Lines[i]);
    if (IsSectionHeader(s) && EqualsNoCase(s.substr(1, s.size() - 2), section)) return i;
  }
  return kNotFound;
}

std::size_t TIniDocument::SectionEnd(std::size_t header) const {
  std::size_t i = header + 1;
  while (i < Lines.size() && !IsSectionHeader(StripControl(Lines[i]))) ++i;
  return i;
}

std::size_t TIniDocument::FindKey(std::size_t header, const std::string& key) const {
  const std::size_t end = SectionEnd(header);
  for (std::size_t i = header + 1; i < end; ++i) {
    const std::string s = StripControl(Lines[i]);
    if (s.empty() || IsComment(s)) continue;
    if (EqualsNoCase(SplitKeyLine(s).Name, key)) return i;
  }
  return kNotFound;
}

std::string TIniDocument::ReadString(const std::string& section, const std::string& key,
                                     const std::string& defaultValue, bool* found) const {
  if (found) *found = false;
  const std::size_t header = FindSection(section);
  if (header == kNotFound) return defaultValue;
  const std::size_t line = FindKey(header, key);
  if (line == kNotFound) return defaultValue;
  if (found) *found = true;
  return SplitKeyLine(StripControl(Lines[line])).Value;
}

TIniEntries TIniDocument::ReadSection(const std::string& section) const {
  TIniEntries entries;
  const std::size_t header = FindSection(section);
  if (header == kNotFound) return entries;
  const std::size_t end = SectionEnd(header);
  for (std::size_t i = header + 1; i < end; ++i) {
    const std::string s = StripControl(Lines[i]);
    if (s.empty() || IsComment(s)) continue;
    TKeyLine k = SplitKeyLine(s);
    entries.emplace_back(std::move(k.Name), std::move(k.Value));
  }
  return entries;
}

void TIniDocument::WriteString(const std::string& section, const std::string& key,
                               const std::string& value) {
  std::size_t header = FindSection(section);
  if (header == kNotFound) {
    if (!Lines.empty() && !StripControl(Lines.back()).empty()) Lines.emplace_back();
    Lines.push_back("[" + section + "]");
    header = Lines.size() - 1;
  }
  const std::size_t line = FindKey(header, key);
  if (line != kNotFound) {
    const std::string name = SplitKeyLine(StripControl(Lines[line])).Name;
    Lines[line] = name + "=" + EncodeValue(value);
    return;
  }
  // Append after the last non-blank line of the section, so that blank lines
  // separating it from the next section stay where they are.
  std::size_t insertAt = SectionEnd(header);
  while (insertAt > header + 1 && StripControl(Lines[insertAt - 1]).empty()) --insertAt;
  Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(insertAt), key + "=" + EncodeValue(value));
}

std::vector<TIniDocument::TKeyLineInfo> TIniDocument::KeyLines() const {
  std::vector<TKeyLineInfo> keys;
  std::string section;
  std::size_t header = 0;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    const std::string s = StripControl(Lines[i]);
    if (s.empty() || IsComment(s)) continue;
    if (IsSectionHeader(s)) {
      section = s.substr(1, s.size() - 2);
      header = i + 1;
      continue;
    }
    TKeyLine k = SplitKeyLine(s);
    keys.push_back({i + 1, header, section, std::move(k.Name), std::move(k.Value)});
  }
  return keys;
}

std::string TIniDocument::Text() const {
  std::string text;
  for (const std::string& line : Lines) {
    text += line;
    text += '\n';
  }
  return text;
}

}  // namespace logserver

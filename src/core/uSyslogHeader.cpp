#include "core/uSyslogHeader.h"

#include "base/uLogMessage.h"

namespace logserver {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The token at `at` up to the next space (or the end).
std::string_view Token(std::string_view text, std::size_t at) {
  if (at >= text.size()) return {};
  const std::size_t end = text.find(' ', at);
  return text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
}

// "Mmm dd hh:mm:ss" at `at` (the day may have a blank for its first digit).
bool Rfc3164Timestamp(std::string_view text, std::size_t at) {
  if (text.size() < at + 16) return false;
  const std::string_view t = text.substr(at, 16);
  return IsLetter(t[0]) && IsLetter(t[1]) && IsLetter(t[2]) && t[3] == ' ' &&
         (IsDigit(t[4]) || t[4] == ' ') && IsDigit(t[5]) && t[6] == ' ' && IsDigit(t[7]) &&
         IsDigit(t[8]) && t[9] == ':' && IsDigit(t[10]) && IsDigit(t[11]) && t[12] == ':' &&
         IsDigit(t[13]) && IsDigit(t[14]) && t[15] == ' ';
}

}  // namespace

bool FindSyslogHostname(std::string_view message, std::string_view& hostname) {
  // "<PRI>": one to three digits.
  if (message.empty() || message[0] != '<') return false;
  std::size_t at = 1;
  while (at < message.size() && at <= 3 && IsDigit(message[at])) ++at;
  if (at == 1 || at >= message.size() || message[at] != '>') return false;
  ++at;
  std::string_view name;
  if (Rfc3164Timestamp(message, at)) {
    name = Token(message, at + 16);
  } else {
    // VERSION (one or two digits) SP TIMESTAMP SP HOSTNAME.
    std::size_t digits = 0;
    while (at + digits < message.size() && digits < 3 && IsDigit(message[at + digits])) ++digits;
    if (digits == 0 || digits > 2 || at + digits >= message.size() || message[at + digits] != ' ') return false;
    const std::string_view timestamp = Token(message, at + digits + 1);
    if (timestamp.empty()) return false;
    name = Token(message, at + digits + 1 + timestamp.size() + 1);
  }
  if (!IsUsableHostName(name)) return false;
  hostname = name;
  return true;
}

}  // namespace logserver

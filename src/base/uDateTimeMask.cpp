#include "base/uDateTimeMask.h"

#include "platform/uTime.h"

#include <cstdint>
#include <string_view>

namespace logserver {

namespace {

constexpr std::size_t kMaxResult = 255;

constexpr const char* kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kLongMonths[] = {"January", "February", "March",     "April",
                                       "May",     "June",     "July",      "August",
                                       "September", "October", "November", "December"};
constexpr const char* kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

constexpr std::string_view kShortDateFormat = "d/m/y";
constexpr std::string_view kLongDateFormat = "dd mmmm yyyy";
constexpr std::string_view kShortTimeFormat = "hh:nn";
constexpr std::string_view kLongTimeFormat = "hh:nn:ss";

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view what) {
  if (text.size() - pos < what.size()) return false;
  for (std::size_t i = 0; i < what.size(); ++i)
    if (Upper(text[pos + i]) != what[i]) return false;
  return true;
}

// The 12-hour clock applies when an AM/PM form stands outside quotes.
bool UsesTwelveHourClock(std::string_view mask) {
  char quote = 0;
  for (std::size_t i = 0; i < mask.size(); ++i) {
    const char c = mask[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (StartsWithNoCase(mask, i, "AMPM") || StartsWithNoCase(mask, i, "AM/PM") ||
               StartsWithNoCase(mask, i, "A/P")) {
      return true;
    }
  }
  return false;
}

std::string Padded(std::int64_t number, int width) {
  const bool negative = number < 0;
  std::string digits = std::to_string(negative ? -number : number);
  if (digits.size() < static_cast<std::size_t>(width))
    digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

class TMaskFormatter {
 public:
  explicit TMaskFormatter(const TDateTimeParts& parts) : Parts(parts) {}

  void Format(std::string_view mask);
  std::string Take() { return std::move(Out); }

 private:
  void Piece(std::string_view piece) {
    if (Out.size() + piece.size() <= kMaxResult) Out.append(piece);
  }
  void Token(char token, std::size_t count, std::string_view run, bool twelveHour);

  const TDateTimeParts& Parts;
  std::string Out;
};

void TMaskFormatter::Format(std::string_view mask) {
  const bool twelveHour = UsesTwelveHourClock(mask);
  char lastToken = 0;
  std::size_t i = 0;
  while (i < mask.size()) {
    const char c = mask[i];
    const char u = Upper(c);
    switch (u) {
      case '"':
      case '\'': {
        std::size_t close = mask.find(c, i + 1);
        if (close == std::string_view::npos) close = mask.size();
        Piece(mask.substr(i + 1, close - i - 1));
        i = close + 1;
        break;
      }
      case 'A': {
        const bool morning = Parts.Hour < 12;
        if (StartsWithNoCase(mask, i, "AM/PM")) {
          Piece(mask.substr(morning ? i : i + 3, 2));
          i += 5;
        } else if (StartsWithNoCase(mask, i, "AMPM")) {
          Piece(morning ? "AM" : "PM");
          i += 4;
        } else if (StartsWithNoCase(mask, i, "A/P")) {
          Piece(mask.substr(morning ? i : i + 2, 1));
          i += 3;
        } else {
          throw EConvertError("Illegal character in format string");
        }
        break;
      }
      case '/':
        Piece("-");
        ++i;
        break;
      case ':':
        Piece(":");
        ++i;
        break;
      case ' ':
      case 'C':
      case 'D':
      case 'H':
      case 'M':
      case 'N':
      case 'S':
      case 'T':
      case 'Y':
      case 'Z': {
        std::size_t count = 1;
        while (i + count < mask.size() && Upper(mask[i + count]) == u) ++count;
        char token = u;
        if (token == 'M' && lastToken == 'H') token = 'N';
        Token(token, count, mask.substr(i, count), twelveHour);
        lastToken = token;
        i += count;
        break;
      }
      default:
        Piece(std::string_view(&u, 1));
        ++i;
        break;
    }
  }
}

void TMaskFormatter::Token(char token, std::size_t count, std::string_view run, bool twelveHour) {
  const bool single = count == 1;
  switch (token) {
    case 'Y': {
      std::int64_t year = Parts.Year;
      if (count <= 2) {
        year %= 100;
        if (year < 0) year += 100;
        Piece(Padded(year, 2));
      } else {
        Piece(Padded(year, 4));
      }
      break;
    }
    case 'M':
      if (count == 1) Piece(std::to_string(Parts.Month));
      else if (count == 2) Piece(Padded(Parts.Month, 2));
      else if (count == 3) Piece(kShortMonths[Parts.Month - 1]);
      else if (count == 4) Piece(kLongMonths[Parts.Month - 1]);
      break;
    case 'D':
      if (count == 1) Piece(std::to_string(Parts.Day));
      else if (count == 2) Piece(Padded(Parts.Day, 2));
      else if (count == 3) Piece(kShortDays[Parts.DayOfWeek - 1]);
      else if (count == 4) Piece(kLongDays[Parts.DayOfWeek - 1]);
      else if (count == 5) Format(kShortDateFormat);
      else if (count == 6) Format(kLongDateFormat);
      break;
    case 'H': {
      int hour = Parts.Hour;
      if (twelveHour) {
        hour %= 12;
        if (hour == 0) hour = 12;
      }
      Piece(single ? std::to_string(hour) : Padded(hour, 2));
      break;
    }
    case 'N':
      Piece(single ? std::to_string(Parts.Minute) : Padded(Parts.Minute, 2));
      break;
    case 'S':
      Piece(single ? std::to_string(Parts.Second) : Padded(Parts.Second, 2));
      break;
    case 'Z':
      Piece(single ? std::to_string(Parts.Millisecond) : Padded(Parts.Millisecond, 3));
      break;
    case 'T':
      Format(single ? kShortTimeFormat : kLongTimeFormat);
      break;
    case 'C':
      Format(kShortDateFormat);
      if (Parts.Hour != 0 || Parts.Minute != 0 || Parts.Second != 0) {
        Piece(" ");
        Format(kLongTimeFormat);
      }
      break;
    case ' ':
      Piece(run);
      break;
    default:
      break;
  }
}

}  // namespace

std::string FormatDateTime(const std::string& mask, double value) {
  const TDateTimeParts parts = DecodeDateTime(value);
  TMaskFormatter formatter(parts);
  formatter.Format(mask);
  return formatter.Take();
}

void AppendTimeOfDay(std::string& out, double value) {
  const TDateTimeParts p = DecodeDateTime(value);
  const int fields[4] = {p.Hour, p.Minute, p.Second, p.Millisecond};
  char text[12];
  char* at = text;
  for (int i = 0; i < 4; ++i) {
    if (i == 3) {
      *at++ = '.';
      *at++ = static_cast<char>('0' + fields[i] / 100);
      *at++ = static_cast<char>('0' + fields[i] / 10 % 10);
    } else {
      if (i > 0) *at++ = ':';
      *at++ = static_cast<char>('0' + fields[i] / 10);
    }
    *at++ = static_cast<char>('0' + fields[i] % 10);
  }
  out.append(text, sizeof text);
}

}  // namespace logserver

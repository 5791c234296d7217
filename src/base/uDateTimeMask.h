// Date-time masks: the one formatting operation behind every time stamp and
// every time-dependent file name of the service.
//
// Mask letters are read without regard to case; a run of one letter is one
// token (yy/yyyy, m..mmmm, d..dddddd, h, n, s, z, t, c, and m right after h
// meaning minutes). "AMPM", "AM/PM" and "A/P" select the 12-hour clock and
// print the half of the day; "/" prints "-", ":" prints ":", quoted text is
// copied without its quotes, blank runs are copied, every other character is
// copied in upper case. The result is capped at 255 characters: a piece that
// does not fit is left out whole. Names are English. Pure and thread-safe.
#pragma once

#include <stdexcept>
#include <string>

namespace logserver {

class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws EConvertError("Illegal character in format string") for an "a" that
// starts none of the AM/PM forms.
std::string FormatDateTime(const std::string& mask, double value);

// Appends exactly what FormatDateTime("hh:nn:ss.zzz", value) gives, without
// reading a mask: for the time stamps of every stamped line.
void AppendTimeOfDay(std::string& out, double value);

}  // namespace logserver

#include "platform/uCaughtFailures.h"

#include <cstring>
#include <exception>
#include <new>
#include <unistd.h>

namespace logserver {

namespace {

// "where: what" of the exception being handled, cut to fit; no allocation.
void Describe(const char* where, char* text, std::size_t size) noexcept {
  const char* what;
  try {
    throw;
  } catch (const std::exception& error) {
    what = error.what();
  } catch (...) {
    what = "unknown error";  // not a std::exception: nothing more to say
  }
  std::size_t at = 0;
  for (const char* part : {where, ": ", what}) {
    for (const char* p = part; *p != '\0' && at + 1 < size; ++p) text[at++] = *p;
  }
  text[at] = '\0';
}

}  // namespace

void TCaughtFailures::Record(const char* where) noexcept {
  char text[kTextBytes];
  Describe(where, text, sizeof text);
  TMutexLock lock(Guard);
  ++TotalCount;
  ++Untaken;
  std::memcpy(LastText, text, sizeof text);
}

bool TCaughtFailures::Take(TReport& report) {
  TMutexLock lock(Guard);
  if (Untaken == 0) return false;
  report.Count = Untaken;
  report.Last = LastText;
  Untaken = 0;
  return true;
}

std::uint64_t TCaughtFailures::Total() {
  TMutexLock lock(Guard);
  return TotalCount;
}

void ReportCaughtFailure(const char* where) noexcept {
  char line[300] = "LogServer: ";
  const std::size_t prefix = std::strlen(line);
  Describe(where, line + prefix, sizeof line - prefix - 1);
  const std::size_t length = std::strlen(line);
  line[length] = '\n';
  // Nothing else can be done when stderr itself fails.
  if (write(STDERR_FILENO, line, length + 1) < 0) return;
}

}  // namespace logserver

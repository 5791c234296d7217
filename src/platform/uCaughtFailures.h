// Errors caught where they must not end a thread: an exception from an
// event handler, a producer library or a thread body. Such a failure loses
// what that call was doing, so it is never swallowed: it is counted here,
// with the place and the text of the last one, and the owner reports it
// (the service core writes it to its log and to stderr, at most once a
// minute).
//
// Thread-safe; Record never throws and takes only a short lock.
#pragma once

#include "platform/uSync.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace logserver {

class TCaughtFailures {
 public:
  // Counts one failure. Inside a catch block it names the exception being
  // handled; `where` says what was running ("ls-tcp-recv handler").
  void Record(const char* where) noexcept;

  struct TReport {
    std::uint64_t Count = 0;  // since the last Take
    std::string Last;         // "where: what" of the last one
  };
  // The failures since the last call; false when there were none.
  bool Take(TReport& report);
  std::uint64_t Total();

 private:
  static constexpr std::size_t kTextBytes = 240;
  TMutex Guard;
  std::uint64_t TotalCount GUARDED_BY(Guard) = 0;
  std::uint64_t Untaken GUARDED_BY(Guard) = 0;
  // A fixed buffer: recording must not allocate (the failure may be a
  // bad_alloc).
  char LastText[kTextBytes] GUARDED_BY(Guard) = {};
};

// Writes "LogServer: <where>: <what>" to stderr at once, for failures that
// have no owner to count them. Inside a catch block only; never throws.
void ReportCaughtFailure(const char* where) noexcept;

// Runs `call`; an exception it throws is recorded in `failures` (or, when
// there is none, written to stderr) instead of leaving the calling thread.
template <class F>
void CallRecordingFailures(TCaughtFailures* failures, const char* where, const F& call) {
  try {
    call();
  } catch (...) {
    if (failures != nullptr)
      failures->Record(where);
    else
      ReportCaughtFailure(where);
  }
}

}  // namespace logserver

// The hand-off to NATS JetStream as the service runs it: the publisher
// made from [Stream]'s settings and lent to dispatch, its notes written to
// the service log as they come, and its stop with the counts it ends with.
// A publisher that cannot start is reported and leaves the files written.
//
// Threading: main thread only (the publisher has threads of its own).
// Ownership: the service log and dispatch are lent and outlive it.
#pragma once

#include "core/uMessageDispatch.h"
#include "core/uServiceConfig.h"
#include "core/uServiceLog.h"
#include "platform/uCaughtFailures.h"
#include "stream/uStreamPublisher.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace logserver {

// The publisher's settings from the service's configuration.
TStreamSettings StreamSettingsOf(const TServiceConfig& config);

class TStreamHandOff {
 public:
  TStreamHandOff(TServiceLog& log, TMessageDispatch& dispatch) : Log(log), Dispatch(dispatch) {}
  TStreamHandOff(const TStreamHandOff&) = delete;
  TStreamHandOff& operator=(const TStreamHandOff&) = delete;

  // Nothing without [Stream] Servers; "STREAM OFF: <why>" when the
  // publisher cannot start.
  void Start(const TServiceConfig& config, TCaughtFailures& failures);
  // The publisher's notes since the last call, as service-log lines; its
  // errors (and a link or server lost) also on standard error, where the
  // journal collects them, at most once a minute per kind with the count
  // of those in between.
  void WriteNotes();
  // Waits up to `waitMs` for the acknowledgements still due (the rest stay
  // in the spool for the next start), writes the closing counts, and takes
  // the publisher from dispatch.
  void Stop(std::uint32_t waitMs);
  // A reload's [Stream]: when its settings changed, the publisher in use
  // stops as at the stop (within `waitMs`, what is not acknowledged by
  // then stays in the spool) and one with the new settings takes over,
  // sending the spool first; off and on alike.
  void Reload(const TServiceConfig& config, TCaughtFailures& failures, std::uint32_t waitMs);

  // Any thread: whether the stream is on, and its counts since the start
  // of the service, across the publishers a reload replaced.
  bool Counts(TStreamCounts& counts) const EXCLUDES(Guard);
  const TSizeHistogram& BatchSizes() const { return BatchSizes_; }

 private:
  // The publisher in use; main thread, which alone replaces it.
  TStreamPublisher* Publisher() const NO_THREAD_SAFETY_ANALYSIS { return Stream.get(); }

  TServiceLog& Log;
  TMessageDispatch& Dispatch;
  // Written on the main thread under Guard, read by the metrics under it.
  mutable TMutex Guard;
  std::unique_ptr<TStreamPublisher> Stream GUARDED_BY(Guard);
  TStreamCounts Earlier GUARDED_BY(Guard);  // of the publishers replaced
  TSizeHistogram BatchSizes_;
  TStreamSettings InUse;
  bool FilesInUse = true;
  struct TRepeats {
    std::uint64_t LastReportMs = 0;
    std::uint64_t Since = 0;  // not reported since
  };
  std::map<std::string, TRepeats> Problems;  // by kind: the note up to its ':'
};

}  // namespace logserver

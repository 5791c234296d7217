#include "core/uStreamHandOff.h"

#include "core/uServiceText.h"
#include "platform/uTime.h"

#include <exception>
#include <string>
#include <tuple>

namespace logserver {

namespace {

// A kind of stream problem reaches standard error at most this often.
constexpr std::uint64_t kProblemReportMs = 60 * 1000;

// Adds the counters of `from` (not its gauges: window, spool, link).
void AddCounters(TStreamCounts& into, const TStreamCounts& from) {
  into.Acknowledged += from.Acknowledged;
  into.Resent += from.Resent;
  into.Spooled += from.Spooled;
  into.DroppedWindowFull += from.DroppedWindowFull;
  into.DroppedSpoolFull += from.DroppedSpoolFull;
  into.PublishedBatches += from.PublishedBatches;
}

}  // namespace

TStreamSettings StreamSettingsOf(const TServiceConfig& config) {
  TStreamSettings settings;
  settings.Servers = config.StreamServers;
  settings.Stream = config.StreamName;
  settings.Subject = config.StreamSubject;
  settings.Replicas = config.StreamReplicas;
  settings.Credentials = config.StreamCredentials;
  settings.TlsCA = config.StreamTlsCA;
  settings.SpoolDirectory = config.StreamSpoolDirectory;
  settings.FormerSpoolDirectory = config.StreamFormerSpoolDirectory;
  settings.SpoolMaxBytes = std::uint64_t{config.StreamSpoolMaxMiB} << 20;
  settings.Compress = config.StreamCompress;
  return settings;
}

void TStreamHandOff::Start(const TServiceConfig& config, TCaughtFailures& failures) {
  InUse = StreamSettingsOf(config);
  InUse.BatchSizes = &BatchSizes_;
  FilesInUse = config.StreamFiles;
  if (config.StreamServers.empty()) return;
  try {
    std::unique_ptr<TStreamPublisher> stream = TStreamPublisher::Create(InUse, failures);
    TMutexLock lock(Guard);
    Stream = std::move(stream);
  } catch (const std::exception& error) {
    // The files are still written; the operator learns why nothing is
    // forwarded.
    const std::string text = std::string("STREAM OFF: ") + error.what();
    Log.Write(false, text);
    ReportProblem(text);
    return;
  }
  Dispatch.SetStream(Publisher(), config.StreamFiles);
  WriteNotes();
}

void TStreamHandOff::Reload(const TServiceConfig& config, TCaughtFailures& failures, std::uint32_t waitMs) {
  TStreamSettings next = StreamSettingsOf(config);
  next.BatchSizes = &BatchSizes_;
  const auto key = [](const TStreamSettings& s) {
    return std::tie(s.Servers, s.Stream, s.Subject, s.Replicas, s.Credentials, s.TlsCA, s.SpoolDirectory,
                    s.FormerSpoolDirectory, s.SpoolMaxBytes, s.Compress);
  };
  if (key(next) == key(InUse) && config.StreamFiles == FilesInUse) return;
  Stop(waitMs);
  {
    TMutexLock lock(Guard);
    if (Stream) {
      AddCounters(Earlier, Stream->Counts());
    }
  }
  // Freed before the next one opens the spool it leaves.
  std::unique_ptr<TStreamPublisher> old;
  {
    TMutexLock lock(Guard);
    old = std::move(Stream);
  }
  old.reset();
  Start(config, failures);
}

bool TStreamHandOff::Counts(TStreamCounts& counts) const {
  TMutexLock lock(Guard);
  if (!Stream) return false;
  counts = Stream->Counts();
  AddCounters(counts, Earlier);
  return true;
}

void TStreamHandOff::WriteNotes() {
  TStreamPublisher* stream = Publisher();
  if (!stream) return;
  for (const std::string& note : stream->TakeNotes()) {
    Log.Write(false, note);
    if (note.rfind("STREAM ERROR", 0) != 0 && note.rfind("STREAM LINK DOWN", 0) != 0 &&
        note.rfind("STREAM SERVER LOST", 0) != 0)
      continue;
    TRepeats& repeats = Problems[note.substr(0, note.find(':'))];
    const std::uint64_t now = MonotonicMilliseconds();
    if (repeats.LastReportMs != 0 && now - repeats.LastReportMs < kProblemReportMs) {
      ++repeats.Since;
      continue;
    }
    ReportProblem(repeats.Since == 0 ? note
                                     : note + " (" + std::to_string(repeats.Since) +
                                           " more like it since the last report)");
    repeats.LastReportMs = now;
    repeats.Since = 0;
  }
}

void TStreamHandOff::Stop(std::uint32_t waitMs) {
  TStreamPublisher* stream = Publisher();
  if (!stream) return;
  Log.Write(false, "STOPPING STREAM...");
  stream->Close(waitMs);
  WriteNotes();
  const TStreamCounts counts = stream->Counts();
  Log.Write(false, "STOPPED STREAM...OK: " + std::to_string(counts.Acknowledged) + " acknowledged, " +
                       std::to_string(counts.Resent) + " resent, " + std::to_string(counts.Spooled) +
                       " spooled, " + std::to_string(counts.DroppedWindowFull + counts.DroppedSpoolFull) +
                       " dropped, " + std::to_string(counts.SpoolBytes) + " bytes left in the spool");
  Dispatch.SetStream(nullptr, true);
}

}  // namespace logserver

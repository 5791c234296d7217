#include "core/uStreamHandOff.h"

#include "core/uServiceText.h"
#include "platform/uTime.h"

#include <exception>
#include <string>

namespace logserver {

namespace {

// A kind of stream problem reaches standard error at most this often.
constexpr std::uint64_t kProblemReportMs = 60 * 1000;

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
  if (config.StreamServers.empty()) return;
  try {
    Stream = TStreamPublisher::Create(StreamSettingsOf(config), failures);
  } catch (const std::exception& error) {
    // The files are still written; the operator learns why nothing is
    // forwarded.
    const std::string text = std::string("STREAM OFF: ") + error.what();
    Log.Write(false, text);
    ReportProblem(text);
    return;
  }
  Dispatch.SetStream(Stream.get(), config.StreamFiles);
  WriteNotes();
}

void TStreamHandOff::WriteNotes() {
  if (!Stream) return;
  for (const std::string& note : Stream->TakeNotes()) {
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
  if (!Stream) return;
  Log.Write(false, "STOPPING STREAM...");
  Stream->Close(waitMs);
  WriteNotes();
  const TStreamCounts counts = Stream->Counts();
  Log.Write(false, "STOPPED STREAM...OK: " + std::to_string(counts.Acknowledged) + " acknowledged, " +
                       std::to_string(counts.Resent) + " resent, " + std::to_string(counts.Spooled) +
                       " spooled, " + std::to_string(counts.DroppedWindowFull + counts.DroppedSpoolFull) +
                       " dropped, " + std::to_string(counts.SpoolBytes) + " bytes left in the spool");
  Dispatch.SetStream(nullptr, true);
}

}  // namespace logserver

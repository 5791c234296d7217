#include "core/uServiceLog.h"

#include "base/uDateTimeMask.h"
#include "platform/uFiles.h"
#include "platform/uTime.h"

namespace logserver {

namespace {

constexpr const char* kServiceLogMask = "dd.mm.yyyy hh:nn:ss:zzz : ";

}  // namespace

TServiceLog::TServiceLog(const std::string& baseCatalog, std::int32_t logMode,
                         const TProducerEnvironment& environment, const TThreadRole& mainThread)
    : LogMode(logMode), MainThread(mainThread) {
  const std::string name = FileNamePart(ExecutablePath());
  Producer = TFileLogProducer::Create({baseCatalog, kServiceLogAddress, "0", name, name, "", ""}, environment);
  // The statistics count the messages of clients, not the service's lines.
  static_cast<TFileLogProducer*>(Producer.get())->ExcludeFromStatistics();
}

TServiceLog::~TServiceLog() {
  Producer->Stop();
  Producer->WaitFor();
}

void TServiceLog::Write(bool Gated, const std::string& Text) {
  MainThread.AssertCurrent();
  if (Gated && LogMode <= 0) return;
  // One clock reading serves the stamp and the choice of the hourly file.
  const double now = Now();
  Producer->AddMessage(FormatDateTime(kServiceLogMask, now) + Text, 0.0, now);
}

}  // namespace logserver

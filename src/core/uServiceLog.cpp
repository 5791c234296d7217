#include "core/uServiceLog.h"

#include "base/uDateTimeMask.h"
#include "platform/uFiles.h"
#include "platform/uTime.h"

#include <utility>

namespace logserver {

namespace {

constexpr const char* kServiceLogMask = "dd.mm.yyyy hh:nn:ss:zzz : ";

}  // namespace

TServiceLog::TServiceLog(const std::string& baseCatalog, std::int32_t logMode,
                         const TProducerEnvironment& environment, const TThreadRole& mainThread)
    : LogMode(logMode), Environment(environment), MainThread(mainThread), Producer(MakeProducer(baseCatalog)) {}

PLogProducer TServiceLog::MakeProducer(const std::string& baseCatalog) const {
  const std::string name = FileNamePart(ExecutablePath());
  PLogProducer producer =
      TFileLogProducer::Create({baseCatalog, kServiceLogAddress, "0", name, name, "", ""}, Environment);
  // The statistics count the messages of clients, not the service's lines.
  static_cast<TFileLogProducer*>(producer.get())->ExcludeFromStatistics();
  return producer;
}

void TServiceLog::SetBaseCatalog(const std::string& baseCatalog) {
  MainThread.AssertCurrent();
  PLogProducer old = std::exchange(Producer, MakeProducer(baseCatalog));
  old->Stop();
  old->WaitFor();
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

#include "producers/uFileLogProducer.h"

#include "base/uDateTimeMask.h"
#include "platform/uTime.h"
#include "producers/uLogFileTable.h"

namespace logserver {

std::string SafePathName(const std::string& name) {
  std::string safe;
  safe.reserve(name.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::size_t end = slash == std::string::npos ? name.size() : slash;
    if (end - start == 2 && name[start] == '.' && name[start + 1] == '.') {
      safe += "__";
    } else {
      for (std::size_t i = start; i < end; ++i) safe += name[i] == '\0' ? '_' : name[i];
    }
    if (slash == std::string::npos) break;
    safe += '/';
    start = slash + 1;
  }
  return safe;
}

PLogProducer TFileLogProducer::Create(const TLogProducerTexts& texts) {
  std::unique_ptr<TFileLogProducer> producer(new TFileLogProducer(texts));
  producer->Start();
  // The body ends at once; joining it now gives its stack back, so that
  // thousands of live producers (syslog senders never disconnect) hold no
  // finished threads. Later Stop and WaitFor calls return at once.
  producer->WaitFor();
  return producer;
}

TFileLogProducer::~TFileLogProducer() {
  StopAndWait();
  CloseFile();
}

std::string TFileLogProducer::FilePath(double ServerTime) const {
  std::string path = BaseCatalog + ClientAddress + "/" + SafePathName(ApplicationName) + "/" +
                     SafePathName(ModuleName) + "/" + FormatDateTime("yyyy_mm_dd", ServerTime) + "/";
  if (!FilePrefix.empty()) path += SafePathName(FilePrefix) + "_";
  path += FormatDateTime("hh", ServerTime) + ".log";
  return path;
}

void TFileLogProducer::AddMessage(const std::string& Text, double EventTime, double ServerTime) {
  const double hour = StartOfHour(ServerTime);
  // The first message always chooses a file, also in the (theoretical) hour
  // whose start is the value 0.0.
  if (!HourChosen || hour != CurrentHour) {
    OpenFile(FilePath(ServerTime));
    CurrentHour = hour;
    HourChosen = true;
  }
  if (!Attached) return;
  std::string line;
  if (EventTime != 0.0) {
    line = FormatDateTime("hh:nn:ss.zzz", ServerTime);
    line += FormatDateTime("[hh:nn:ss.zzz] : ", EventTime);
  }
  line += Text;
  line += "\r\n";
  // Errors lose the line; the next one goes after whatever reached the file.
  TLogFileTable::Shared().Append(CurrentPath, line);
}

void TFileLogProducer::OpenFile(const std::string& Path) {
  CloseFile();
  CurrentPath = Path;
  Attached = TLogFileTable::Shared().Attach(CurrentPath);
}

void TFileLogProducer::CloseFile() {
  if (!Attached) return;
  TLogFileTable::Shared().Detach(CurrentPath);
  Attached = false;
}

}  // namespace logserver

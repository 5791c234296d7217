// The file producer: writes the messages of one source into hourly files,
// BaseCatalog + address/application/module/yyyy_mm_dd/[prefix_]hh.log.
//
// Each line is written, whole, before AddMessage returns. Failures lose the
// message silently; an open that failed is retried when the hour changes.
// Main thread only; the files themselves are held by TLogFileTable.
#pragma once

#include "producers/uCustomLogProducer.h"

#include <string>

namespace logserver {

// Makes a routing name safe to put into a path: every "/"-separated piece
// that is exactly ".." becomes "__", and every zero byte becomes "_", so no
// name reaches outside BaseCatalog + address + "/". Anything else is kept.
std::string SafePathName(const std::string& name);

class TFileLogProducer : public TCustomLogProducer {
 public:
  static PLogProducer Create(const TLogProducerTexts& texts);
  ~TFileLogProducer() override;

  // True while this hour's file could be opened.
  bool IsActive() override { return Attached; }
  void AddMessage(const std::string& Text, double EventTime, double ServerTime) override;

  // The file a message with this server time goes to.
  std::string FilePath(double ServerTime) const;

 private:
  explicit TFileLogProducer(const TLogProducerTexts& texts)
      : TCustomLogProducer(texts, "ls-file") {}

  void OpenFile(const std::string& Path);
  void CloseFile();

  // The file of the current hour, held open through the shared table.
  std::string CurrentPath;
  bool Attached = false;
  double CurrentHour = 0.0;
  bool HourChosen = false;
};

}  // namespace logserver

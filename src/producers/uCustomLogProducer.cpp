#include "producers/uCustomLogProducer.h"

namespace logserver {

TCustomLogProducer::TCustomLogProducer(const TLogProducerTexts& texts, const char* threadName,
                                       std::size_t stackSize)
    : TThread(threadName, stackSize),
      LibraryName(texts.LibraryName),
      BaseCatalog(texts.BaseCatalog),
      ClientAddress(texts.ClientAddress),
      ClientPort(texts.ClientPort),
      ApplicationName(texts.ApplicationName),
      ModuleName(texts.ModuleName),
      FilePrefix(texts.FilePrefix) {}

void TCustomLogProducer::AddMessage(const std::string&, double, double) {}

}  // namespace logserver

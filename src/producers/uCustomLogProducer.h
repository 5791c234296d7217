// The producer base: what every log producer is and how its owner drives it.
//
// Threading: producers are constructed, fed, stopped and destroyed on one
// thread (the service's main thread), so the base takes no lock.
// Ownership: a producer's owner runs Stop(), WaitFor(), then destroys it.
#pragma once

#include "platform/uCaughtFailures.h"
#include "platform/uThread.h"

#include <memory>
#include <string>

namespace logserver {

class TLogFileTable;

// What the producers' owner lends every producer it creates: the table of
// open log files the file producers write through, and where errors caught
// on producer threads are counted. Both must outlive every producer.
struct TProducerEnvironment {
  TLogFileTable* Files = nullptr;
  TCaughtFailures* Failures = nullptr;
};

// The seven texts that say where a producer's messages belong. They travel
// together from the registry (or the service core) to the producer classes.
struct TLogProducerTexts {
  std::string BaseCatalog;
  std::string ClientAddress;
  std::string ClientPort;
  std::string ApplicationName;
  std::string ModuleName;
  std::string FilePrefix;
  std::string LibraryName;
};

// Base of all producers. The base thread body only marks the thread as
// ended, so a producer that keeps it holds no running thread.
class TCustomLogProducer : public TThread {
 public:
  const std::string LibraryName;
  const std::string BaseCatalog;
  const std::string ClientAddress;
  const std::string ClientPort;
  const std::string ApplicationName;
  const std::string ModuleName;
  const std::string FilePrefix;

  // Whether the producer can take messages now.
  virtual bool IsActive() { return true; }
  // Asks the producer's thread to end.
  virtual void Stop() { Terminate(); }
  // Hands over one message; `Text` is not kept. `EventTime` 0.0 = none.
  virtual void AddMessage(const std::string& Text, double EventTime, double ServerTime);

 protected:
  // Leaves the thread suspended; the concrete class's factory starts it.
  TCustomLogProducer(const TLogProducerTexts& texts, const char* threadName,
                     std::size_t stackSize = kDefaultStackSize);

  void Execute() override { Terminate(); }
};

using PLogProducer = std::unique_ptr<TCustomLogProducer>;

// Class reference with virtual constructor: builds a producer of one class
// from the seven texts and its environment, and starts its thread.
using TLogProducerClass = PLogProducer (*)(const TLogProducerTexts& texts,
                                           const TProducerEnvironment& environment);

}  // namespace logserver

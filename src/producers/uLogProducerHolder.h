// The producer registry: one external producer per well-formed [Providers]
// entry, and one file producer per client address, port and routing triple
// for the messages no entry claims. It is also the service core's way to
// the log files its producers write: write batches, reopening, the counts
// and losses of the file table it was lent.
//
// Threading: main thread only; no lock. Ownership: the registry owns every
// producer in its entries and stops them in order of creation; the
// environment (file table, failure counter) is borrowed and outlives it.
#pragma once

#include "base/uIniFile.h"
#include "producers/uCustomLogProducer.h"
#include "producers/uExternalLogProducer.h"
#include "producers/uFileLogProducer.h"

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace logserver {

// Entries keeps every producer in order of creation (delivery order to
// provider entries, stop order). Routing finds entries through hash indexes
// instead of scanning, so the cost of a message does not grow with the
// number of live producers.
class tLogProducerHolder {
 public:
  using TEntry = std::pair<std::string, PLogProducer>;
  using TEntries = std::list<TEntry>;
  // Receives the registry's lines for the service log: a [Providers] entry
  // that is not used, a route whose path had to be shortened.
  using TReport = std::function<void(const std::string& line)>;

  // Creates a producer for each well-formed entry of `providers` (the
  // [Providers] section, in file order). An entry whose producer is not
  // active (its library could not be bound) is reported and claims nothing.
  // The producer classes are replaceable for tests.
  tLogProducerHolder(std::string BaseCatalog, const TIniEntries& providers,
                     const TProducerEnvironment& environment,
                     TLogProducerClass fileProducerClass = &TFileLogProducer::Create,
                     TLogProducerClass externalProducerClass = &TExternalLogProducer::Create,
                     TReport report = nullptr);
  ~tLogProducerHolder();
  tLogProducerHolder(const tLogProducerHolder&) = delete;
  tLogProducerHolder& operator=(const tLogProducerHolder&) = delete;

  // Stamps the message with the local time and routes it: to every provider
  // entry whose key matches (each at most once), or else to the one file
  // producer of this client and routing triple, created on first use.
  void AddMessage(const std::string& ClientAddress, const std::string& ClientPort,
                  const std::string& ApplicationName, const std::string& ModuleName,
                  const std::string& FilePrefix, const std::string& Text, double EventTime);
  // As AddMessage, with the server time given.
  void AddMessageAt(const std::string& ClientAddress, const std::string& ClientPort,
                    const std::string& ApplicationName, const std::string& ModuleName,
                    const std::string& FilePrefix, const std::string& Text, double EventTime,
                    double ServerTime);

  // Stops and frees every file producer of this address and port.
  void RemoveClientProducers(const std::string& ClientAddress, const std::string& ClientPort);

  // Stops and frees every producer, in order of creation.
  void StopAll();

  const std::string BaseCatalog;
  const TEntries& Entries() const { return Entries_; }
  // Messages claimed by provider entries since the start.
  std::uint64_t ClaimedByProviders() const { return Claimed; }

  // The log files, through the table the registry was lent.
  // Lines of the messages added during its life go out with one write per
  // file when it ends (also when an error escapes).
  class TWriteBatch {
   public:
    explicit TWriteBatch(tLogProducerHolder& producers) : Batch(*producers.Environment.Files) {}

   private:
    TLogFileTable::TBatch Batch;
  };
  // Closes every file; each opens anew with its next line (SIGHUP).
  void ReopenFiles() { Environment.Files->ReopenAll(); }
  // Closes the files that were deleted, so that their next lines recreate them.
  void CloseDeletedFiles() { Environment.Files->CloseUnlinked(); }
  TLogFileTable::TCounts FileCounts() { return Environment.Files->Counts(); }
  std::vector<TLogFileTable::TLoss> TakeFileLosses() { return Environment.Files->TakeLosses(); }
  std::size_t OpenFiles() { return Environment.Files->OpenFiles(); }

 private:
  void CreateProviders(const TIniEntries& providers);
  static void StopAndFree(PLogProducer& producer);

  // The producers of a route found by the keys, for the route cache.
  struct TRoute {
    std::string Address, Port, Application, Module, Prefix;
    std::vector<TCustomLogProducer*> Providers;  // empty: File takes it
    TCustomLogProducer* File = nullptr;
    bool Valid = false;
  };
  TRoute& FindRoute(const std::string& ClientAddress, const std::string& ClientPort,
                    const std::string& ApplicationName, const std::string& ModuleName,
                    const std::string& FilePrefix, double ServerTime);
  void ForgetRoutes();

  const TProducerEnvironment Environment;
  TLogProducerClass FileProducerClass;
  TLogProducerClass ExternalProducerClass;
  const TReport Report;
  TEntries Entries_;
  // Provider key as written -> its entries, in order of creation.
  std::unordered_map<std::string, std::vector<TEntries::iterator>> ProviderIndex;
  // Client key in lower case -> its entry. The key is "*address:port=" and
  // the three names with "\\" and "|" escaped, so that no two routes share one.
  std::unordered_map<std::string, TEntries::iterator> ClientIndex;
  // "*address:port" in lower case -> the client entries of that peer.
  std::unordered_map<std::string, std::vector<TEntries::iterator>> PeerIndex;
  // The last routes, so that a repeated one costs five comparisons instead
  // of building and looking up four keys. Emptied whenever a producer goes.
  static constexpr std::size_t kRouteCache = 16;
  TRoute Routes[kRouteCache];
  std::size_t NextRoute = 0;
  std::uint64_t Claimed = 0;
};

}  // namespace logserver

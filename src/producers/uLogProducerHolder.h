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
#include "base/uLogMessage.h"
#include "platform/uSync.h"
#include "platform/uTokenBucket.h"
#include "producers/uCustomLogProducer.h"
#include "producers/uExternalLogProducer.h"
#include "producers/uFileLogProducer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <string_view>
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

  // Routes the message: to every provider entry whose key matches (each at
  // most once), or else to the one file producer of its sender and route,
  // created on first use. A message without a server time (0) is stamped
  // with the local time now.
  // `sender`: the address that sent it when message.Address names another
  // host (relayed syslog under PathBy=hostname).
  void AddMessage(const TLogMessage& message, std::string_view sender = {});

  // Stops and frees every file producer of this address and port.
  void RemoveClientProducers(const std::string& ClientAddress, const std::string& ClientPort);

  // Senders (an address and port with file producers) are forgotten once
  // silent for `idleSeconds`, and beyond `maxPeers` the longest silent go
  // first, so that senders that come and go (syslog from ever new ports, a
  // flood of forged addresses) cannot grow memory without bound. Forgotten
  // senders come back with their next message; their files stay.
  void SetPeerLimits(std::uint32_t idleSeconds, std::size_t maxPeers);
  // Forgets the senders silent since before `now` (server time, days) less
  // the idle time. Returns how many.
  std::size_t ForgetIdlePeers(double now);
  std::size_t Peers() const { return PeerIndex.size(); }
  // Senders forgotten since the start: silent, and early (over the bound).
  std::uint64_t PeersForgottenIdle() const { return ForgottenIdle.load(std::memory_order_relaxed); }
  std::uint64_t PeersForgottenEarly() const { return ForgottenEarly.load(std::memory_order_relaxed); }
  static constexpr std::uint32_t kDefaultPeerIdleSeconds = 600;
  static constexpr std::size_t kDefaultMaxPeers = 20000;

  // New files and directories cost the writer far more than lines, so each
  // sender address may create `atOnce` of them, and `perSecond` more every
  // second up to that. A message whose new route would create more than is
  // left goes to the overflow file of its sender instead (see
  // kOverflowLevel), its routing names in front of its text, and is
  // counted; its route tries again with its next message.
  //
  // Under PathBy=hostname a route is charged to the host it names and to
  // the address that sent it; every new path is also charged to a budget
  // of the whole service, `totalPerSecond` a second up to `atOnce`, which
  // bounds what many senders (spoofed sources) make together. A message
  // the service-wide budget refuses goes to one shared overflow file below
  // `sharedAddress` (the service's own directory), as
  // address|application|module|prefix|text, which costs no new path per
  // sender. 0 for `totalPerSecond` leaves the service-wide budget off;
  // `totalAtOnce` is what all senders may save up.
  void SetPathBudget(std::uint32_t perSecond, std::uint32_t atOnce, std::uint32_t totalPerSecond = 0,
                     std::uint32_t totalAtOnce = 0, const std::string& sharedAddress = std::string());
  static constexpr std::uint32_t kDefaultNewPathsPerSecond = 50;
  static constexpr std::uint32_t kDefaultNewPathsAtOnce = 40000;
  // Messages sent to overflow files since the start, and the address of
  // the last sender that overflowed. Any thread / main thread.
  std::uint64_t Overflowed() const { return Overflowed_.load(std::memory_order_relaxed); }
  const std::string& LastOverflowed() const { return LastOverflowed_; }
  // New files and directories routes were given since the start. Main
  // thread.
  std::uint64_t NewPathsMade() const { return NewPathsMade_; }

  // Stops and frees every producer, in order of creation.
  void StopAll();

  // A reload's base directory and [Providers], once the lines waiting were
  // written. A new base lets every sender's file producers go (their next
  // message makes them anew in the new tree) and closes the open files.
  // An entry no longer in the section hands its queue to its library and
  // is unloaded, a new one is loaded (a changed one is both), and those
  // that stay go on. Routes are found anew.
  void Reconfigure(const std::string& baseCatalog, const TIniEntries& providers);

  const std::string& BaseCatalog() const { return BaseCatalog_; }
  const TEntries& Entries() const { return Entries_; }
  // Messages claimed by provider entries since the start. Any thread.
  std::uint64_t ClaimedByProviders() const { return Claimed.load(std::memory_order_relaxed); }
  // The messages waiting for each provider entry's library, by key. Any
  // thread: the provider entries stay from construction to StopAll.
  std::vector<std::pair<std::string, std::size_t>> ProviderBacklogs() const;

  // The log files, through the table the registry was lent.
  // Lines of the messages added during its life go out with one write per
  // file when it ends (also when an error escapes); with LetWait(true)
  // (more work is queued) they may wait for later batches, within the
  // table's bounds.
  class TWriteBatch {
   public:
    explicit TWriteBatch(tLogProducerHolder& producers) : Batch(*producers.Environment.Files) {}
    void LetWait(bool moreQueued) { Batch.LetWait(moreQueued); }

   private:
    TLogFileTable::TBatch Batch;
  };
  // Writes every line still waiting.
  void WritePendingLines() { Environment.Files->WritePending(); }
  // Who is told before lines reach their files (lent; null: none).
  void SetWriteObserver(TLogFileTable::TWriteObserver* observer) { Environment.Files->SetObserver(observer); }
  // Closes every file; each opens anew with its next line (SIGHUP).
  void ReopenFiles() { Environment.Files->ReopenAll(); }
  // Closes the files that were deleted, so that their next lines recreate them.
  void CloseDeletedFiles() { Environment.Files->CloseUnlinked(); }
  // Closes the files that have had no line for a while.
  void CloseIdleFiles() { Environment.Files->CloseIdle(); }
  TLogFileTable::TCounts FileCounts() { return Environment.Files->Counts(); }
  std::vector<TLogFileTable::TLoss> TakeFileLosses() { return Environment.Files->TakeLosses(); }
  std::size_t OpenFiles() { return Environment.Files->OpenFiles(); }
  std::size_t PendingFileBytes() { return Environment.Files->PendingBytes(); }
  void NoteArrival(std::uint64_t microseconds) { Environment.Files->NoteArrival(microseconds); }
  const TLogFileTable& Files() const { return *Environment.Files; }

 private:
  // A producer for each usable entry, in order, placed before the senders'
  // producers.
  void CreateProviders(const TIniEntries& providers);
  // ProviderIndex anew, in the order of `providers`.
  void IndexProviders(const TIniEntries& providers);
  // For each entry of `providers`, the slot with its key and library (each
  // slot matched once, in order), or -1.
  std::vector<std::ptrdiff_t> MatchProviders(const TIniEntries& providers) const REQUIRES(ProviderGuard);
  static void StopAndFree(PLogProducer& producer);

  // A route as a message names it, byte for byte (case counts: the keys
  // decide what differently spelled routes share).
  struct TRouteKey {
    std::string_view Address, Port, Application, Module, Prefix;
  };
  struct TOwnedRouteKey {
    std::string Address, Port, Application, Module, Prefix;
    TRouteKey View() const { return {Address, Port, Application, Module, Prefix}; }
  };
  struct TRouteHash {
    using is_transparent = void;
    std::size_t operator()(const TRouteKey& key) const;
    std::size_t operator()(const TOwnedRouteKey& key) const { return (*this)(key.View()); }
  };
  struct TRouteEqual {
    using is_transparent = void;
    static bool Same(const TRouteKey& a, const TRouteKey& b) {
      return a.Port == b.Port && a.Address == b.Address && a.Application == b.Application &&
             a.Module == b.Module && a.Prefix == b.Prefix;
    }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return Same(View(a), View(b));
    }
    static TRouteKey View(const TRouteKey& key) { return key; }
    static TRouteKey View(const TOwnedRouteKey& key) { return key.View(); }
  };
  // A sender's file producers, and when it last sent (server time, days).
  struct TPeer {
    std::vector<std::list<std::pair<std::string, PLogProducer>>::iterator> Entries;
    double LastUse = 0;
  };
  // The producers a route reaches, found once by the keys.
  struct TRoute {
    std::vector<TCustomLogProducer*> Providers;  // empty: File takes it
    TCustomLogProducer* File = nullptr;
    TPeer* Peer = nullptr;  // the sender of File
    bool Overflow = false;  // File is an overflow file: the sender's, or
    bool Shared = false;    // the one shared by every sender
  };
  // What a sender address may still create, refilled with server time
  // (days).
  using TPathBudget = TTokenBucket;
  using TRoutes = std::unordered_map<TOwnedRouteKey, TRoute, TRouteHash, TRouteEqual>;

  // `sender`: the address that sent it when key.Address names another.
  const TRoute& FindRoute(const TRouteKey& key, std::string_view sender, double ServerTime);
  TRoute ResolveRoute(const TRouteKey& key, std::string_view sender, double ServerTime);
  void ForgetRoutes();
  // Stops and frees the producers of a sender ("*address:port" in lower
  // case) and forgets its routes.
  void RemovePeer(const std::string& peer);
  // Forgets the longest silent senders until `keep` are left.
  void ForgetOldestPeers(std::size_t keep);
  // Takes `paths` new paths from the budgets of `address`, of `sender`
  // (when not empty) and of the service, all or none; false with `shared`
  // telling whether the service's was short.
  bool TakeNewPaths(const std::string& address, std::string_view sender, std::size_t paths, double ServerTime,
                    bool& shared);
  // Refills `budget` (to at most `most`) to ServerTime; whether it holds `paths`.
  bool Refill(TPathBudget& budget, double perDay, double most, std::size_t paths, double ServerTime) const;
  // The route of a message over a budget: the overflow file of the sender
  // `address`, or with `shared` the service's shared one.
  const TRoute& OverflowRoute(std::string_view address, std::string_view port, bool shared, double ServerTime);
  // The file producer entries of senders, by their lower-case keys: found,
  // made room for (the bound of senders), added.
  bool FindFileRoute(const std::string& lowerKey, const std::string& lowerPeer, TRoute& route);
  void MakeRoomFor(const std::string& lowerPeer);
  void AddFileRoute(const std::string& entryKey, const std::string& lowerKey,
                    const std::string& lowerPeer, PLogProducer producer, double ServerTime,
                    TRoute& route);

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
  std::unordered_map<std::string, TPeer> PeerIndex;
  double PeerIdleDays = kDefaultPeerIdleSeconds / 86400.0;
  std::size_t MaxPeers = kDefaultMaxPeers;
  std::atomic<std::uint64_t> ForgottenIdle{0};
  std::atomic<std::uint64_t> ForgottenEarly{0};
  double NewPathsPerDay = kDefaultNewPathsPerSecond * 86400.0;
  double MaxNewPaths = kDefaultNewPathsAtOnce;
  // Lower-case address -> its budget; only those not full are kept.
  std::unordered_map<std::string, TPathBudget> PathBudgets;
  double TotalNewPathsPerDay = 0;  // 0: no service-wide budget
  double MaxTotalNewPaths = 0;
  TPathBudget TotalBudget;
  std::string SharedOverflowAddress;
  std::atomic<std::uint64_t> Overflowed_{0};
  std::string LastOverflowed_;
  std::uint64_t NewPathsMade_ = 0;
  TRoute Overflowing;  // the route OverflowRoute returns
  // Every route seen, so that a message costs one hash lookup and no
  // allocation, however many routes there are; the routes of a peer are
  // listed under "*address:port" in lower case, so that the peer's
  // disconnect forgets them alone. Emptied when it outgrows kMaxRoutes.
  static constexpr std::size_t kMaxRoutes = 1u << 18;
  TRoutes Routes;
  TRoutes::value_type* LastRoute = nullptr;  // the route of the last message
  std::unordered_map<std::string, std::vector<const TOwnedRouteKey*>> RoutesByPeer;
  std::atomic<std::uint64_t> Claimed{0};
  // The provider entries' producers, for readers on other threads.
  // Each provider entry, its setting and its producer; the metrics read
  // their backlogs while a reload changes them.
  struct TProviderSlot {
    std::string Key, Value;
    TEntries::iterator Entry;
    TExternalLogProducer* External = nullptr;
  };
  mutable TMutex ProviderGuard;
  std::vector<TProviderSlot> ProviderSlots GUARDED_BY(ProviderGuard);
  std::string BaseCatalog_;
};

}  // namespace logserver

#include "producers/uLogProducerHolder.h"

#include "platform/uTime.h"
#include "producers/uProviderKey.h"

#include <algorithm>

namespace logserver {

namespace {

// "|" separates the names of a client key, so inside a name it is escaped.
std::string KeyName(const std::string& name) {
  if (name.find_first_of("|\\") == std::string::npos) return name;
  std::string escaped;
  for (char c : name) {
    if (c == '|' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

tLogProducerHolder::tLogProducerHolder(std::string baseCatalog, const TIniEntries& providers,
                                       const TProducerEnvironment& environment,
                                       TLogProducerClass fileProducerClass,
                                       TLogProducerClass externalProducerClass, TReport report)
    : Environment(environment),
      FileProducerClass(fileProducerClass),
      ExternalProducerClass(externalProducerClass),
      Report(std::move(report)),
      BaseCatalog_(std::move(baseCatalog)) {
  CreateProviders(providers);
  IndexProviders(providers);
}

tLogProducerHolder::~tLogProducerHolder() { StopAll(); }

void tLogProducerHolder::CreateProviders(const TIniEntries& providers) {
  // Provider entries come first (stop order), the senders' after them.
  auto at = Entries_.begin();
  {
    TMutexLock lock(ProviderGuard);
    std::advance(at, static_cast<std::ptrdiff_t>(ProviderSlots.size()));
  }
  for (const auto& [key, value] : providers) {
    TProviderKey parsed;
    if (!ParseProviderKey(key, parsed)) continue;
    PLogProducer producer = ExternalProducerClass({std::string(), parsed.Address, parsed.Port,
                                                   parsed.ApplicationName, parsed.ModuleName,
                                                   parsed.FilePrefix, value},
                                                  Environment);
    if (!producer->IsActive()) {
      // Its messages go to the files as if the entry were absent.
      const auto* external = dynamic_cast<const TExternalLogProducer*>(producer.get());
      if (Report)
        Report("PROVIDER \"" + key + "\" NOT USED: " +
               (external ? external->GetBindError() : std::string("not active")));
      StopAndFree(producer);
      continue;
    }
    auto* external = dynamic_cast<TExternalLogProducer*>(producer.get());
    const TEntries::iterator entry = Entries_.emplace(at, key, std::move(producer));
    TMutexLock lock(ProviderGuard);
    ProviderSlots.push_back({key, value, entry, external});
  }
}

std::vector<std::ptrdiff_t> tLogProducerHolder::MatchProviders(const TIniEntries& providers) const {
  std::vector<std::ptrdiff_t> match(providers.size(), -1);
  std::vector<bool> taken(ProviderSlots.size(), false);
  for (std::size_t p = 0; p < providers.size(); ++p)
    for (std::size_t i = 0; i < ProviderSlots.size(); ++i) {
      if (taken[i] || ProviderSlots[i].Key != providers[p].first || ProviderSlots[i].Value != providers[p].second)
        continue;
      taken[i] = true;
      match[p] = static_cast<std::ptrdiff_t>(i);
      break;
    }
  return match;
}

void tLogProducerHolder::IndexProviders(const TIniEntries& providers) {
  ProviderIndex.clear();
  TMutexLock lock(ProviderGuard);
  const std::vector<std::ptrdiff_t> match = MatchProviders(providers);
  for (std::size_t p = 0; p < providers.size(); ++p)
    if (match[p] >= 0)
      ProviderIndex[providers[p].first].push_back(ProviderSlots[static_cast<std::size_t>(match[p])].Entry);
}

void tLogProducerHolder::Reconfigure(const std::string& baseCatalog, const TIniEntries& providers) {
  Environment.Files->WritePending();
  ForgetRoutes();
  if (baseCatalog != BaseCatalog_) {
    std::vector<std::string> peers;
    for (const auto& [peer, sender] : PeerIndex) peers.push_back(peer);
    for (const std::string& peer : peers) RemovePeer(peer);
    Environment.Files->ReopenAll();
    BaseCatalog_ = baseCatalog;
  }
  // The entries that stay (same key, same library) go on; the others go,
  // their queues handed on first.
  std::vector<TProviderSlot> leaving;
  TIniEntries added;
  {
    TMutexLock lock(ProviderGuard);
    const std::vector<std::ptrdiff_t> match = MatchProviders(providers);
    std::vector<bool> stays(ProviderSlots.size(), false);
    for (std::size_t p = 0; p < providers.size(); ++p) {
      if (match[p] >= 0)
        stays[static_cast<std::size_t>(match[p])] = true;
      else
        added.push_back(providers[p]);
    }
    std::vector<TProviderSlot> kept;
    for (std::size_t i = 0; i < ProviderSlots.size(); ++i)
      (stays[i] ? kept : leaving).push_back(ProviderSlots[i]);
    ProviderSlots.swap(kept);
  }
  ProviderIndex.clear();
  for (TProviderSlot& slot : leaving) {
    if (slot.External) slot.External->StopAfterQueue();
    StopAndFree(slot.Entry->second);
    Entries_.erase(slot.Entry);
  }
  CreateProviders(added);
  IndexProviders(providers);
}

void tLogProducerHolder::AddMessage(const TLogMessage& message, std::string_view sender) {
  const double serverTime = message.ServerTime != 0.0 ? message.ServerTime : Now();
  const TRoute& route = FindRoute({message.Address, message.Port, message.Application, message.Module, message.Prefix},
                                  sender, serverTime);
  if (route.File) {
    route.Peer->LastUse = serverTime;
    if (route.Overflow) {
      // The shared file names the sender too; a sender's own file needs not.
      route.File->AddMessage((route.Shared ? KeyName(message.Address) + "|" : std::string()) +
                                 KeyName(message.Application) + "|" + KeyName(message.Module) + "|" +
                                 KeyName(message.Prefix) + "|" + message.Text,
                             message.EventTime, serverTime);
      Overflowed_.fetch_add(1, std::memory_order_relaxed);
      LastOverflowed_ = sender.empty() ? message.Address : std::string(sender);
      return;
    }
    route.File->AddMessage(message.Text, message.EventTime, serverTime);
    return;
  }
  for (TCustomLogProducer* provider : route.Providers) provider->AddMessage(message.Text, message.EventTime, serverTime);
  Claimed.fetch_add(1, std::memory_order_relaxed);
}

std::vector<std::pair<std::string, std::size_t>> tLogProducerHolder::ProviderBacklogs() const {
  std::vector<std::pair<std::string, std::size_t>> backlogs;
  TMutexLock lock(ProviderGuard);
  for (const TProviderSlot& slot : ProviderSlots)
    if (slot.External) backlogs.emplace_back(slot.Key, slot.External->QueuedTasks());
  return backlogs;
}

std::size_t tLogProducerHolder::TRouteHash::operator()(const TRouteKey& key) const {
  // The library's string hash of each text, combined in order.
  std::size_t hash = 0;
  for (const std::string_view part : {key.Address, key.Port, key.Application, key.Module, key.Prefix})
    hash = (hash ^ std::hash<std::string_view>{}(part)) * 0x9E3779B97F4A7C15ull;
  return hash;
}

const tLogProducerHolder::TRoute& tLogProducerHolder::FindRoute(const TRouteKey& key, std::string_view sender,
                                                                double ServerTime) {
  // Messages of one route tend to come in a row: that one costs five
  // comparisons and no hash.
  if (LastRoute != nullptr && TRouteEqual::Same(LastRoute->first.View(), key))
    return LastRoute->second;
  const auto found = Routes.find(key);
  if (found != Routes.end()) {
    LastRoute = &*found;
    return found->second;
  }
  TRoute route = ResolveRoute(key, sender, ServerTime);
  // Not kept: the route gets its own file once the budget allows.
  if (route.Overflow)
    return OverflowRoute(route.Shared ? SharedOverflowAddress : sender.empty() ? key.Address : sender, key.Port,
                         route.Shared, ServerTime);
  if (Routes.size() >= kMaxRoutes) ForgetRoutes();
  TOwnedRouteKey owned{std::string(key.Address), std::string(key.Port), std::string(key.Application),
                       std::string(key.Module), std::string(key.Prefix)};
  const auto inserted = Routes.emplace(std::move(owned), std::move(route)).first;
  RoutesByPeer[LowerCase("*" + inserted->first.Address + ":" + inserted->first.Port)].push_back(
      &inserted->first);
  LastRoute = &*inserted;
  return inserted->second;
}

tLogProducerHolder::TRoute tLogProducerHolder::ResolveRoute(const TRouteKey& key, std::string_view sender,
                                                            double ServerTime) {
  TRoute route;
  const std::string ClientAddress(key.Address), ClientPort(key.Port),
      ApplicationName(key.Application), ModuleName(key.Module), FilePrefix(key.Prefix);
  const std::string names = ApplicationName + "|" + ModuleName + "|";
  const std::string keys[3] = {ClientAddress + ":" + ClientPort + "|" + names + FilePrefix,
                               ClientAddress + "|" + names + FilePrefix,
                               ClientAddress + "|" + names};
  if (!ProviderIndex.empty()) {
    for (int k = 0; k < 3; ++k) {
      // Equal keys find the same entries; skipping a repeated key gives every
      // entry the message at most once (an empty prefix makes keys 2 and 3 equal).
      bool repeated = false;
      for (int j = 0; j < k; ++j) repeated = repeated || keys[j] == keys[k];
      if (repeated) continue;
      const auto found = ProviderIndex.find(keys[k]);
      if (found == ProviderIndex.end()) continue;
      for (const TEntries::iterator& entry : found->second) route.Providers.push_back(entry->second.get());
    }
  }
  if (!route.Providers.empty()) return route;
  const std::string peer = "*" + ClientAddress + ":" + ClientPort;
  const std::string clientKey =
      peer + "=" + KeyName(ApplicationName) + "|" + KeyName(ModuleName) + "|" + KeyName(FilePrefix);
  const std::string lowerKey = LowerCase(clientKey);
  const std::string lowerPeer = LowerCase(peer);
  if (FindFileRoute(lowerKey, lowerPeer, route)) return route;
  MakeRoomFor(lowerPeer);
  PLogProducer producer = FileProducerClass(
      {BaseCatalog_, ClientAddress, ClientPort, ApplicationName, ModuleName, FilePrefix, std::string()},
      Environment);
  const auto* file = dynamic_cast<const TFileLogProducer*>(producer.get());
  bool shared = false;
  if (file && !TakeNewPaths(ClientAddress, sender, Environment.Files->NewPaths(file->FilePath(ServerTime)),
                            ServerTime, shared)) {
    StopAndFree(producer);
    route.Overflow = true;
    route.Shared = shared;
    return route;
  }
  AddFileRoute(clientKey, lowerKey, lowerPeer, std::move(producer), ServerTime, route);
  if (file && file->Shortened() && Report)
    Report("PATH SHORTENED: " + file->FilePath(ServerTime).Text());
  return route;
}

void tLogProducerHolder::SetPathBudget(std::uint32_t perSecond, std::uint32_t atOnce, std::uint32_t totalPerSecond,
                                       std::uint32_t totalAtOnce, const std::string& sharedAddress) {
  NewPathsPerDay = perSecond * 86400.0;
  MaxNewPaths = atOnce;
  TotalNewPathsPerDay = totalPerSecond * 86400.0;
  MaxTotalNewPaths = totalAtOnce;
  TotalBudget = {MaxTotalNewPaths, 0};
  SharedOverflowAddress = sharedAddress;
}

bool tLogProducerHolder::Refill(TPathBudget& budget, double perDay, double most, std::size_t paths,
                                double ServerTime) const {
  budget.Refill(perDay, most, ServerTime);
  return budget.Tokens >= static_cast<double>(paths);
}

bool tLogProducerHolder::TakeNewPaths(const std::string& address, std::string_view sender, std::size_t paths,
                                      double ServerTime, bool& shared) {
  shared = false;
  if (paths == 0) return true;
  if (TotalNewPathsPerDay > 0 && !Refill(TotalBudget, TotalNewPathsPerDay, MaxTotalNewPaths, paths, ServerTime)) {
    shared = true;
    return false;
  }
  TPathBudget* budgets[2] = {nullptr, nullptr};
  const std::string owners[2] = {LowerCase(address), LowerCase(std::string(sender))};
  for (int i = 0; i < 2; ++i) {
    if (i == 1 && (sender.empty() || owners[1] == owners[0])) break;
    auto [at, added] = PathBudgets.try_emplace(owners[i]);
    if (added) at->second = {MaxNewPaths, ServerTime};
    budgets[i] = &at->second;
    if (!Refill(*budgets[i], NewPathsPerDay, MaxNewPaths, paths, ServerTime)) return false;
  }
  for (TPathBudget* budget : budgets)
    if (budget != nullptr) budget->Tokens -= static_cast<double>(paths);
  if (TotalNewPathsPerDay > 0) TotalBudget.Tokens -= static_cast<double>(paths);
  NewPathsMade_ += paths;
  return true;
}

const tLogProducerHolder::TRoute& tLogProducerHolder::OverflowRoute(std::string_view address, std::string_view port,
                                                                    bool shared, double ServerTime) {
  // The shared file is one, whatever port its messages came from.
  const std::string portText(shared ? std::string_view() : port);
  const std::string peer = LowerCase("*" + std::string(address) + ":" + portText);
  const std::string overflowKey = peer + "#overflow";
  Overflowing = TRoute();
  Overflowing.Overflow = true;
  Overflowing.Shared = shared;
  if (FindFileRoute(overflowKey, peer, Overflowing)) return Overflowing;
  MakeRoomFor(peer);
  AddFileRoute(overflowKey, overflowKey, peer,
               TFileLogProducer::CreateOverflow({BaseCatalog_, std::string(address), portText, std::string(),
                                                 std::string(), std::string(), std::string()},
                                                Environment),
               ServerTime, Overflowing);
  return Overflowing;
}

bool tLogProducerHolder::FindFileRoute(const std::string& lowerKey, const std::string& lowerPeer,
                                       TRoute& route) {
  const auto found = ClientIndex.find(lowerKey);
  if (found == ClientIndex.end()) return false;
  route.File = found->second->second.get();
  route.Peer = &PeerIndex.find(lowerPeer)->second;
  return true;
}

void tLogProducerHolder::MakeRoomFor(const std::string& lowerPeer) {
  // A new sender beyond the bound: the longest silent ones make room (a
  // tenth of the bound at once, so that this is rare).
  if (PeerIndex.size() >= MaxPeers && PeerIndex.find(lowerPeer) == PeerIndex.end())
    ForgetOldestPeers(MaxPeers - std::max<std::size_t>(MaxPeers / 10, 1));
}

void tLogProducerHolder::AddFileRoute(const std::string& entryKey, const std::string& lowerKey,
                                      const std::string& lowerPeer, PLogProducer producer,
                                      double ServerTime, TRoute& route) {
  Entries_.emplace_back(entryKey, std::move(producer));
  const TEntries::iterator entry = std::prev(Entries_.end());
  ClientIndex.emplace(lowerKey, entry);
  TPeer& sender = PeerIndex[lowerPeer];
  sender.Entries.push_back(entry);
  sender.LastUse = ServerTime;
  route.Peer = &sender;
  route.File = entry->second.get();
}

void tLogProducerHolder::ForgetRoutes() {
  LastRoute = nullptr;
  Routes.clear();
  RoutesByPeer.clear();
}

void tLogProducerHolder::RemoveClientProducers(const std::string& ClientAddress,
                                               const std::string& ClientPort) {
  // Provider keys hold no "=", so only client entries are indexed by peer.
  RemovePeer(LowerCase("*" + ClientAddress + ":" + ClientPort));
}

void tLogProducerHolder::RemovePeer(const std::string& peer) {
  // The peer's routes go first: they lead to the producers that go now.
  const auto routes = RoutesByPeer.find(peer);
  if (routes != RoutesByPeer.end()) {
    LastRoute = nullptr;
    for (const TOwnedRouteKey* key : routes->second) {
      const auto route = Routes.find(key->View());
      if (route != Routes.end()) Routes.erase(route);
    }
    RoutesByPeer.erase(routes);
  }
  const auto found = PeerIndex.find(peer);
  if (found == PeerIndex.end()) return;
  const std::vector<TEntries::iterator> entries = std::move(found->second.Entries);
  PeerIndex.erase(found);
  for (const TEntries::iterator& entry : entries) {
    StopAndFree(entry->second);
    ClientIndex.erase(LowerCase(entry->first));
    Entries_.erase(entry);
  }
}

void tLogProducerHolder::SetPeerLimits(std::uint32_t idleSeconds, std::size_t maxPeers) {
  PeerIdleDays = idleSeconds / 86400.0;
  MaxPeers = std::max<std::size_t>(maxPeers, 1);
}

std::size_t tLogProducerHolder::ForgetIdlePeers(double now) {
  std::vector<std::string> idle;
  for (const auto& [peer, sender] : PeerIndex)
    if (sender.LastUse < now - PeerIdleDays) idle.push_back(peer);
  for (const std::string& peer : idle) RemovePeer(peer);
  ForgottenIdle.fetch_add(idle.size(), std::memory_order_relaxed);
  // A budget refilled to the full is as good as none.
  for (auto at = PathBudgets.begin(); at != PathBudgets.end();) {
    const TPathBudget& budget = at->second;
    if (budget.Tokens + (now - budget.At) * NewPathsPerDay >= MaxNewPaths)
      at = PathBudgets.erase(at);
    else
      ++at;
  }
  return idle.size();
}

void tLogProducerHolder::ForgetOldestPeers(std::size_t keep) {
  if (PeerIndex.size() <= keep) return;
  std::vector<std::pair<double, const std::string*>> byAge;
  byAge.reserve(PeerIndex.size());
  for (const auto& [peer, sender] : PeerIndex) byAge.emplace_back(sender.LastUse, &peer);
  const std::size_t forget = PeerIndex.size() - keep;
  std::nth_element(byAge.begin(), byAge.begin() + static_cast<std::ptrdiff_t>(forget - 1), byAge.end());
  std::vector<std::string> oldest;
  for (std::size_t i = 0; i < forget; ++i) oldest.push_back(*byAge[i].second);
  for (const std::string& peer : oldest) RemovePeer(peer);
  ForgottenEarly.fetch_add(forget, std::memory_order_relaxed);
}

void tLogProducerHolder::StopAll() {
  ForgetRoutes();
  {
    TMutexLock lock(ProviderGuard);
    ProviderSlots.clear();
  }
  for (TEntry& entry : Entries_) StopAndFree(entry.second);
  ProviderIndex.clear();
  ClientIndex.clear();
  PeerIndex.clear();
  Entries_.clear();
}

void tLogProducerHolder::StopAndFree(PLogProducer& producer) {
  if (!producer) return;
  producer->Stop();
  producer->WaitFor();
  producer.reset();
}

}  // namespace logserver

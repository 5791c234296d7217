// Log producers: the objects that put one log message somewhere, and the
// registry that routes every message to them.
//
// Threading: producers are constructed, fed, stopped and destroyed on one
// thread (the service's main thread), so they take no lock; an external
// producer guards only what it shares with its own thread. The registry runs
// on the main thread only.
//
// Ownership: the registry owns every producer in its entries; the service
// core owns its own service-log producer. A producer's owner runs Stop(),
// WaitFor(), then destroys it.
#pragma once

#include "platform/uLibrary.h"
#include "platform/uSync.h"
#include "platform/uThread.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

namespace logserver {

// Base of all producers: the seven texts that say where its messages belong.
// The base thread body only marks the thread as ended, so a producer that
// keeps it holds no running thread.
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
  TCustomLogProducer(std::string BaseCatalog, std::string ClientAddress, std::string ClientPort,
                     std::string ApplicationName, std::string ModuleName, std::string FilePrefix,
                     std::string LibraryName, std::size_t stackSize = kDefaultStackSize);

  void Execute() override { Terminate(); }
};

using PLogProducer = std::unique_ptr<TCustomLogProducer>;

// Class reference with virtual constructor: builds a producer of one class
// from the seven texts and starts its thread.
using TLogProducerClass = PLogProducer (*)(const std::string& BaseCatalog,
                                           const std::string& ClientAddress,
                                           const std::string& ClientPort,
                                           const std::string& ApplicationName,
                                           const std::string& ModuleName,
                                           const std::string& FilePrefix,
                                           const std::string& LibraryName);

// Makes a routing name safe to put into a path: every "/"-separated piece
// that is exactly ".." becomes "__", and every zero byte becomes "_", so no
// name reaches outside BaseCatalog + address + "/". Anything else is kept.
std::string SafePathName(const std::string& name);

// The open log files, shared by all file producers: producers that write the
// same path share one descriptor, and at most Capacity descriptors are open;
// beyond that the least recently written file is closed and reopened
// (append, never truncate) with its next line. So descriptors stay bounded
// however many senders there are. Thread-safe.
class TLogFileTable {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;

  // The table the file producers use.
  static TLogFileTable& Shared();

  explicit TLogFileTable(std::size_t capacity = kDefaultCapacity)
      : Capacity(capacity < 1 ? 1 : capacity) {}
  ~TLogFileTable();
  TLogFileTable(const TLogFileTable&) = delete;
  TLogFileTable& operator=(const TLogFileTable&) = delete;

  // Registers a user of `path` and opens it: a path where nothing exists
  // gets its missing directories and an empty file. False, with no user
  // registered, when it cannot be opened.
  bool Attach(const std::string& path);
  // Drops a user; the last one closes the file.
  void Detach(const std::string& path);
  // Appends `data` whole to an attached path, reopening it when it was
  // closed to make room. False when the data was lost.
  bool Append(const std::string& path, const std::string& data);

  std::size_t OpenFiles();
  void SetCapacity(std::size_t capacity);

 private:
  struct TEntry {
    int fd = -1;
    std::size_t users = 0;
    std::list<std::string>::iterator recent;  // valid while fd != -1
  };

  // Opens the entry's file and makes it the most recent; under Guard.
  bool Open(const std::string& path, TEntry& entry);
  void Close(TEntry& entry);  // under Guard
  // Closes the least recently written files until `keep` are open; entries
  // without users go with them. Under Guard.
  void CloseOldest(std::size_t keep);

  std::mutex Guard;
  std::size_t Capacity;                             // guarded by Guard
  std::unordered_map<std::string, TEntry> Entries;  // guarded by Guard
  std::list<std::string> Recent;                    // open paths, most recent first
};

// Writes the messages of one source into hourly files:
// BaseCatalog + address/application/module/yyyy_mm_dd/[prefix_]hh.log.
// Each line is written, whole, before AddMessage returns. Failures lose the
// message silently; an open that failed is retried when the hour changes.
class TFileLogProducer : public TCustomLogProducer {
 public:
  static PLogProducer Create(const std::string& BaseCatalog, const std::string& ClientAddress,
                             const std::string& ClientPort, const std::string& ApplicationName,
                             const std::string& ModuleName, const std::string& FilePrefix,
                             const std::string& LibraryName);
  ~TFileLogProducer() override;

  // True while this hour's file could be opened.
  bool IsActive() override { return Attached; }
  void AddMessage(const std::string& Text, double EventTime, double ServerTime) override;

  // The file a message with this server time goes to.
  std::string FilePath(double ServerTime) const;

 private:
  using TCustomLogProducer::TCustomLogProducer;

  void OpenFile(const std::string& Path);
  void CloseFile();

  // The file of the current hour, held open through the shared table.
  std::string CurrentPath;
  bool Attached = false;
  double CurrentHour = 0.0;
  bool HourChosen = false;
};

// Procedure types of a producer library.
using TExtProviderLibrary_InitializeProc = int (*)(const char* address, const char* port,
                                                   const char* application, const char* module,
                                                   const char* prefix, const char* argument);
using TExtProviderLibrary_FinalizeProc = void (*)();
using TExtProviderLibrary_AddMessageProc = void (*)(double EventTime, double ServerTime,
                                                    const char* Text);

// One queued message: a zero-filled block of 21 + L bytes, little-endian:
// Size (u32, = 21 + L) at 0, EventTime (f64) at 4, ServerTime (f64) at 12,
// the L text bytes at 20, then one zero byte.
class TExternalLogProducerTask {
 public:
  TExternalLogProducerTask(const std::string& Text, double EventTime, double ServerTime);

  std::uint32_t Size() const;
  double EventTime() const;
  double ServerTime() const;
  const char* Text() const { return reinterpret_cast<const char*>(block_.data() + 20); }
  const std::vector<std::uint8_t>& Block() const { return block_; }

 private:
  std::vector<std::uint8_t> block_;
};
using PExternalLogProducerTask = std::unique_ptr<TExternalLogProducerTask>;

// Hands messages to a producer library on its own thread, one at a time, in
// AddMessage order; AddMessage only queues a task.
//
// The entry's value is the library's path, optionally followed by blanks and
// an argument text. Construction loads the library and binds the entry
// points of include/logserver/provider.h before the thread starts; a library
// that cannot be loaded, lacks LogProviderAddMessage or refuses in
// LogProviderInitialize leaves the producer inactive, with BindError saying
// why (the registry then lets the entry claim nothing).
class TExternalLogProducer : public TCustomLogProducer {
 public:
  // Library code needs more room than the service's own threads.
  static constexpr std::size_t kLibraryStackSize = 1024 * 1024;

  struct TEntryPoints {
    TExtProviderLibrary_InitializeProc InitializeProc = nullptr;
    TExtProviderLibrary_FinalizeProc FinalizeProc = nullptr;
    TExtProviderLibrary_AddMessageProc AddMessageProc = nullptr;
  };

  static PLogProducer Create(const std::string& BaseCatalog, const std::string& ClientAddress,
                             const std::string& ClientPort, const std::string& ApplicationName,
                             const std::string& ModuleName, const std::string& FilePrefix,
                             const std::string& LibraryName);
  // As Create, with entry points given instead of loaded; nothing is
  // initialized, and FinalizeProc is called at destruction when set.
  static PLogProducer CreateBound(const std::string& BaseCatalog, const std::string& ClientAddress,
                                  const std::string& ClientPort, const std::string& ApplicationName,
                                  const std::string& ModuleName, const std::string& FilePrefix,
                                  const std::string& LibraryName, const TEntryPoints& entryPoints);
  // Discards queued tasks unseen, then calls FinalizeProc when it is bound,
  // then unloads the library.
  ~TExternalLogProducer() override;

  // False when the library could not be bound.
  bool IsActive() override { return BindError.empty(); }
  void Stop() override;
  void AddMessage(const std::string& Text, double EventTime, double ServerTime) override;

  std::size_t QueuedTasks();
  // Why the library could not be bound; empty when it was.
  const std::string& GetBindError() const { return BindError; }

 protected:
  void Execute() override;

 private:
  TExternalLogProducer(const std::string& BaseCatalog, const std::string& ClientAddress,
                       const std::string& ClientPort, const std::string& ApplicationName,
                       const std::string& ModuleName, const std::string& FilePrefix,
                       const std::string& LibraryName);
  void Bind();

  TSharedLibrary Library;
  std::string BindError;
  TRecursiveLock TaskLock;
  TSemaphore TaskSignal{0};
  std::deque<PExternalLogProducerTask> Tasks;  // guarded by TaskLock
  // Set before the thread starts and never changed: read without the lock.
  TEntryPoints Entry;
};

// The producer registry: one external producer per well-formed [Providers]
// entry, and one file producer per client address, port and routing triple
// for the messages no entry claims.
//
// Entries keeps every producer in order of creation (delivery order to
// provider entries, stop order). Routing finds entries through hash indexes
// instead of scanning, so the cost of a message does not grow with the
// number of live producers.
class tLogProducerHolder {
 public:
  using TEntry = std::pair<std::string, PLogProducer>;
  using TEntries = std::list<TEntry>;
  // Receives one line for every [Providers] entry that is not used.
  using TProviderReport = std::function<void(const std::string& line)>;

  // Reads [Providers] from `configPath` (LogServer.conf beside the
  // executable when empty). An entry whose producer is not active (its
  // library could not be bound) is reported and claims nothing. The
  // producer classes are replaceable for tests.
  explicit tLogProducerHolder(std::string BaseCatalog, const std::string& configPath = std::string(),
                              TLogProducerClass fileProducerClass = &TFileLogProducer::Create,
                              TLogProducerClass externalProducerClass = &TExternalLogProducer::Create,
                              const TProviderReport& report = nullptr);
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

 private:
  void ReadProviders(const std::string& configPath, const TProviderReport& report);
  static void StopAndFree(PLogProducer& producer);

  TLogProducerClass FileProducerClass;
  TLogProducerClass ExternalProducerClass;
  TEntries Entries_;
  // Provider key as written -> its entries, in order of creation.
  std::unordered_map<std::string, std::vector<TEntries::iterator>> ProviderIndex;
  // Client key in lower case -> its entry.
  std::unordered_map<std::string, TEntries::iterator> ClientIndex;
  // "*address:port" in lower case -> the client entries of that peer.
  std::unordered_map<std::string, std::vector<TEntries::iterator>> PeerIndex;
};

// Splits a [Providers] key into fields at "|": bytes up to 32 also end a
// field and are skipped around separators, a field starting with a double
// quote runs to the next one ("" inside stands for one), a trailing "|"
// gives an empty last field.
std::vector<std::string> SplitProviderKey(const std::string& key);

}  // namespace logserver

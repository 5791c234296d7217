// The external producer: hands messages to a producer library on a thread of
// its own, one at a time, in AddMessage order; AddMessage only queues a task.
//
// Threading: the main thread constructs, feeds, stops and destroys the
// producer; the producer's thread calls the library. They share only the
// task queue.
#pragma once

#include "platform/uBoundedQueue.h"
#include "platform/uLibrary.h"
#include "producers/uCustomLogProducer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logserver {

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
  const char* Text() const { return reinterpret_cast<const char*>(Block_.data() + 20); }
  const std::vector<std::uint8_t>& Block() const { return Block_; }

 private:
  std::vector<std::uint8_t> Block_;
};
using PExternalLogProducerTask = std::unique_ptr<TExternalLogProducerTask>;

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

  static PLogProducer Create(const TLogProducerTexts& texts,
                             const TProducerEnvironment& environment);
  // As Create, with entry points given instead of loaded; nothing is
  // initialized, and FinalizeProc is called at destruction when set.
  static PLogProducer CreateBound(const TLogProducerTexts& texts, const TEntryPoints& entryPoints,
                                  const TProducerEnvironment& environment = {});
  // Discards queued tasks unseen, then calls FinalizeProc when it is bound,
  // then unloads the library.
  ~TExternalLogProducer() override;

  // False when the library could not be bound.
  bool IsActive() override { return BindError.empty(); }
  void Stop() override;
  // As Stop, but the tasks queued before it still reach the library (an
  // entry a reload removes); WaitFor then waits for them.
  void StopAfterQueue();
  void AddMessage(const std::string& Text, double EventTime, double ServerTime) override;

  std::size_t QueuedTasks() { return Tasks.Count(); }
  // Why the library could not be bound; empty when it was.
  const std::string& GetBindError() const { return BindError; }

 protected:
  void Execute() override;

 private:
  explicit TExternalLogProducer(const TLogProducerTexts& texts)
      : TCustomLogProducer(texts, "ls-provider", kLibraryStackSize) {}
  void Bind();

  TSharedLibrary Library;
  std::string BindError;
  // Unbounded: the library sets the pace, and a slow one only costs memory.
  TBoundedQueue<PExternalLogProducerTask> Tasks;
  // Set before the thread starts and never changed: read without a lock.
  TEntryPoints Entry;
  std::atomic<bool> WriteQueue{false};
};

}  // namespace logserver

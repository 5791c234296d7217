// Event loops: a few threads ("ls-loop-N", as many as the machine has cores)
// that serve every connection of every stream intake from one poller each,
// so that ten thousand mostly idle senders cost a socket and their state,
// no thread and no timer. A loop's turn: wait, run what other threads
// posted, serve what is ready (and what asked to be served again at once),
// fire the timers that are due, then call the hooks of everybody who handed
// something on during the turn (a server whose owner collects a turn's
// messages pushes them there, in one step).
//
// Threading: Register, SetDescriptor, WatchWrite, WatchRead, SetTimer, ServeAgain and AtTurnEnd
// are the loop's own and are called on its thread only (from a client's
// callback, or a posted task). Post, Wake and RunAndWait may be called from
// any thread. Ownership: a loop knows its clients by token and owns none of
// them; an owner unwatches a client (on the loop) before freeing it. Tokens
// are never reused, so a wake-up or timer for a client that is gone finds
// nobody and does nothing.
#pragma once

#include "platform/uCaughtFailures.h"
#include "platform/uPoller.h"
#include "platform/uSync.h"
#include "platform/uThread.h"
#include "platform/uWakeEvent.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace logserver {

// What a loop serves: one descriptor and its reactions, all on the loop.
class TLoopClient {
 public:
  // The descriptor can be read (hang-up and errors included) or written;
  // also called with readable set when the client asked to be served again.
  virtual void OnReady(bool readable, bool writable) = 0;
  // Another thread called Wake for this client.
  virtual void OnWake() {}
  // The time set with SetTimer has come.
  virtual void OnTimer() {}

 protected:
  ~TLoopClient() = default;
};

// Called once at the end of a turn in which it was registered.
class TTurnEnd {
 public:
  virtual void OnTurnEnd() = 0;

 protected:
  ~TTurnEnd() = default;
};

class TEventLoop : public TThread {
 public:
  // Builds and starts the loop; Valid tells whether it got its poller and
  // wake-up (the process may be out of descriptors).
  static std::unique_ptr<TEventLoop> Create(int index, TCaughtFailures* failures);
  ~TEventLoop() override;

  bool Valid() const { return Poller.Valid() && WakeUp.Valid(); }
  int SetupError() const { return Poller.Valid() ? WakeUp.CreateError() : Poller.CreateError(); }
  bool InLoop() const { return Role.IsCurrent(); }

  // Loop thread only. Register returns the client's token, 0 when the
  // poller refused its descriptor (errno set); a client without one (fd
  // -1) gets wake-ups and timers only.
  std::uint64_t Register(TLoopClient& client, int fd);
  // Watches another descriptor for the client, or none (-1); false when
  // the poller refused.
  bool SetDescriptor(std::uint64_t token, int fd);
  // Watches for writing as well, or no longer; false when refused.
  bool WatchWrite(std::uint64_t token, bool write);
  // Watches for reading (the default), or no longer: a client that may not
  // read for a while is then not served for bytes that wait. A hang-up or
  // an error is still reported, as readable; false when refused.
  bool WatchRead(std::uint64_t token, bool read);
  void Deregister(std::uint64_t token);
  // OnTimer once `atMs` (monotonic milliseconds) has come; a later call
  // for the same token adds another time, it does not move the first.
  void SetTimer(std::uint64_t token, std::uint64_t atMs);
  // OnReady(true, false) in the next turn without waiting: for a client
  // that holds bytes its descriptor will not announce (a TLS session), or
  // that left work for later so that others get their turn.
  void ServeAgain(std::uint64_t token);
  void AtTurnEnd(TTurnEnd& hook);
  // Takes `hook` off this turn's end; true when it was on. A server that
  // goes away runs it itself first.
  bool TakeTurnEnd(TTurnEnd& hook);

  // Any thread. OnWake of the client in the loop's next turn.
  void Wake(std::uint64_t token) EXCLUDES(PostGuard);
  // Runs `task` on the loop, in posting order.
  void Post(std::function<void()> task) EXCLUDES(PostGuard);
  // Runs `task` on the loop and returns once it ran: at once on the loop
  // itself, and on the calling thread when the loop has ended.
  void RunAndWait(const std::function<void()>& task) EXCLUDES(PostGuard);

 protected:
  void Execute() override;
  void Wake() override { WakeUp.Signal(); }

 private:
  struct TEntry {
    TLoopClient* Client = nullptr;
    int Fd = -1;
    bool WatchingRead = true;
    bool WatchingWrite = false;
  };
  static constexpr std::uint64_t kWakeToken = 0;

  explicit TEventLoop(int index);
  TEntry* Find(std::uint64_t token);
  void RunPosted() EXCLUDES(PostGuard);
  // Waits at most until the next timer, not at all when some client is to
  // be served again.
  int WaitTimeout();
  void Serve(std::uint64_t token, bool readable, bool writable);
  void FireTimers();
  void EndTurn();
  // Runs what is still posted on the calling thread; for good once the
  // loop ended.
  void Close() EXCLUDES(PostGuard);

  TThreadRole Role;
  TPoller Poller;
  TWakeEvent WakeUp;
  std::unordered_map<std::uint64_t, TEntry> Clients;
  std::uint64_t NextToken = kWakeToken + 1;
  std::multimap<std::uint64_t, std::uint64_t> Timers;  // at ms -> token
  std::vector<std::uint64_t> Again;
  std::vector<TTurnEnd*> TurnEnds;

  TMutex PostGuard;
  std::vector<std::function<void()>> Posted GUARDED_BY(PostGuard);
  std::vector<std::uint64_t> Woken GUARDED_BY(PostGuard);
  bool Closed GUARDED_BY(PostGuard) = false;
};

// The loops of the service, shared by its stream intakes.
class TEventLoops {
 public:
  // `count` loops (0: one per core the process may run on).
  TEventLoops(std::size_t count, TCaughtFailures* failures);
  ~TEventLoops();

  // The loop for the next new connection, in turn; any thread.
  TEventLoop& Next();
  std::size_t Count() const { return Loops.size(); }
  TEventLoop& At(std::size_t index) { return *Loops[index]; }
  // Why a loop is not Valid (errno), 0 when all are.
  int SetupError() const;

 private:
  std::vector<std::unique_ptr<TEventLoop>> Loops;
  std::atomic<std::size_t> Turn{0};
};

}  // namespace logserver

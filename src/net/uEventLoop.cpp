#include "net/uEventLoop.h"

#include "platform/uTime.h"

#include <cerrno>
#include <string>

namespace logserver {

namespace {

constexpr int kMaxEvents = 256;
// Handlers run on the loops, TLS handshakes too: more than the default.
constexpr std::size_t kLoopStack = 256 * 1024;
constexpr const char* kLoopFailure = "ls-loop";

// The loop's calls into its clients. UBSan's check of a virtual call reads
// the object's vtable through a pipe it makes first; in a process out of
// descriptors, which the loop must go on serving, that pipe cannot be made
// and the check fails on a sound object. These calls go unchecked.
#define LOGSERVER_NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
LOGSERVER_NO_VPTR_CHECK void CallReady(TLoopClient* client, bool readable, bool writable) {
  client->OnReady(readable, writable);
}
LOGSERVER_NO_VPTR_CHECK void CallWake(TLoopClient* client) { client->OnWake(); }
LOGSERVER_NO_VPTR_CHECK void CallTimer(TLoopClient* client) { client->OnTimer(); }
LOGSERVER_NO_VPTR_CHECK void CallTurnEnd(TTurnEnd* hook) { hook->OnTurnEnd(); }
#undef LOGSERVER_NO_VPTR_CHECK

}  // namespace

TEventLoop::TEventLoop(int index)
    : TThread(("ls-loop-" + std::to_string(index)).c_str(), kLoopStack) {}

std::unique_ptr<TEventLoop> TEventLoop::Create(int index, TCaughtFailures* failures) {
  std::unique_ptr<TEventLoop> loop(new TEventLoop(index));
  loop->CountFailuresIn(failures);
  if (loop->Valid() && loop->Poller.Add(loop->WakeUp.Descriptor(), kWakeToken) == 0 &&
      loop->Start() == 0)
    return loop;
  // A loop that cannot run runs what is posted to it on the poster's thread.
  loop->Close();
  return loop;
}

TEventLoop::~TEventLoop() {
  StopAndWait();
  Close();
}

TEventLoop::TEntry* TEventLoop::Find(std::uint64_t token) {
  const auto found = Clients.find(token);
  return found == Clients.end() ? nullptr : &found->second;
}

std::uint64_t TEventLoop::Register(TLoopClient& client, int fd) {
  const std::uint64_t token = NextToken++;
  if (fd >= 0 && Poller.Add(fd, token) != 0) return 0;
  Clients[token] = TEntry{&client, fd, true, false};
  return token;
}

bool TEventLoop::SetDescriptor(std::uint64_t token, int fd) {
  TEntry* entry = Find(token);
  if (entry == nullptr) return false;
  if (entry->Fd >= 0 && Poller.Remove(entry->Fd) != 0) errno = 0;
  entry->Fd = -1;
  entry->WatchingRead = true;
  entry->WatchingWrite = false;
  if (fd < 0) return true;
  if (Poller.Add(fd, token) != 0) return false;
  entry->Fd = fd;
  return true;
}

bool TEventLoop::WatchWrite(std::uint64_t token, bool write) {
  TEntry* entry = Find(token);
  if (entry == nullptr || entry->Fd < 0) return false;
  if (entry->WatchingWrite == write) return true;
  if (Poller.Watch(entry->Fd, token, entry->WatchingRead, write) != 0) return false;
  entry->WatchingWrite = write;
  return true;
}

bool TEventLoop::WatchRead(std::uint64_t token, bool read) {
  TEntry* entry = Find(token);
  if (entry == nullptr || entry->Fd < 0) return false;
  if (entry->WatchingRead == read) return true;
  if (Poller.Watch(entry->Fd, token, read, entry->WatchingWrite) != 0) return false;
  entry->WatchingRead = read;
  return true;
}

void TEventLoop::Deregister(std::uint64_t token) {
  const auto found = Clients.find(token);
  if (found == Clients.end()) return;
  // Fails only for a descriptor already closed, which the kernel dropped
  // from the poller itself.
  if (found->second.Fd >= 0 && Poller.Remove(found->second.Fd) != 0) errno = 0;
  Clients.erase(found);
}

void TEventLoop::SetTimer(std::uint64_t token, std::uint64_t atMs) { Timers.emplace(atMs, token); }

void TEventLoop::ServeAgain(std::uint64_t token) { Again.push_back(token); }

void TEventLoop::AtTurnEnd(TTurnEnd& hook) {
  for (TTurnEnd* known : TurnEnds)
    if (known == &hook) return;
  TurnEnds.push_back(&hook);
}

bool TEventLoop::TakeTurnEnd(TTurnEnd& hook) {
  for (auto it = TurnEnds.begin(); it != TurnEnds.end(); ++it)
    if (*it == &hook) {
      TurnEnds.erase(it);
      return true;
    }
  return false;
}

void TEventLoop::Wake(std::uint64_t token) {
  {
    TMutexLock lock(PostGuard);
    if (Closed) return;
    Woken.push_back(token);
  }
  WakeUp.Signal();
}

void TEventLoop::Post(std::function<void()> task) {
  {
    TMutexLock lock(PostGuard);
    if (!Closed) {
      Posted.push_back(std::move(task));
      task = nullptr;
    }
  }
  if (task) {
    // The loop has ended: nobody else runs anything for it any more.
    CallRecordingFailures(FailureCounter(), kLoopFailure, task);
    return;
  }
  WakeUp.Signal();
}

void TEventLoop::RunAndWait(const std::function<void()>& task) {
  if (InLoop()) {
    task();
    return;
  }
  TSemaphore done(0);
  Post([&] {
    CallRecordingFailures(FailureCounter(), kLoopFailure, task);
    done.Post();
  });
  while (!done.Wait()) {
  }
}

void TEventLoop::RunPosted() {
  std::vector<std::function<void()>> tasks;
  std::vector<std::uint64_t> woken;
  {
    TMutexLock lock(PostGuard);
    tasks.swap(Posted);
    woken.swap(Woken);
  }
  for (auto& task : tasks) CallRecordingFailures(FailureCounter(), kLoopFailure, task);
  for (const std::uint64_t token : woken)
    if (TEntry* entry = Find(token))
      CallRecordingFailures(FailureCounter(), kLoopFailure, [&] { CallWake(entry->Client); });
}

int TEventLoop::WaitTimeout() {
  if (!Again.empty()) return 0;
  if (Timers.empty()) return -1;
  const std::uint64_t now = MonotonicMilliseconds();
  const std::uint64_t at = Timers.begin()->first;
  if (at <= now) return 0;
  const std::uint64_t wait = at - now;
  return wait > 60000 ? 60000 : static_cast<int>(wait);
}

void TEventLoop::Serve(std::uint64_t token, bool readable, bool writable) {
  // A client closed earlier in this turn is gone from the table: its event
  // is dropped here, and nothing touches it after its callback either.
  TEntry* entry = Find(token);
  if (entry == nullptr) return;
  TLoopClient* client = entry->Client;
  CallRecordingFailures(FailureCounter(), kLoopFailure, [&] { CallReady(client, readable, writable); });
}

void TEventLoop::FireTimers() {
  if (Timers.empty()) return;
  const std::uint64_t now = MonotonicMilliseconds();
  std::vector<std::uint64_t> due;
  while (!Timers.empty() && Timers.begin()->first <= now) {
    due.push_back(Timers.begin()->second);
    Timers.erase(Timers.begin());
  }
  for (const std::uint64_t token : due)
    if (TEntry* entry = Find(token)) {
      TLoopClient* client = entry->Client;
      CallRecordingFailures(FailureCounter(), kLoopFailure, [&] { CallTimer(client); });
    }
}

void TEventLoop::EndTurn() {
  // A hook may register again (or another) while it runs: that waits for
  // the next turn's end.
  std::vector<TTurnEnd*> hooks;
  hooks.swap(TurnEnds);
  for (TTurnEnd* hook : hooks) CallRecordingFailures(FailureCounter(), kLoopFailure, [&] { CallTurnEnd(hook); });
}

void TEventLoop::Execute() {
  Role.Bind();
  std::vector<TPollEvent> ready;
  std::vector<std::uint64_t> again;
  while (!Terminated()) {
    const int count = Poller.Wait(ready, kMaxEvents, WaitTimeout());
    if (count < 0) {
      ready.clear();
      // Only EINTR is expected; anything else would repeat at once, so the
      // loop pauses instead of spinning.
      if (errno != EINTR) SleepMilliseconds(10);
    }
    again.swap(Again);
    Again.clear();
    // What other threads asked for first: a stop posted now finds nothing
    // half served, since every hook of the last turn has run.
    WakeUp.Clear();
    RunPosted();
    for (const TPollEvent& event : ready)
      if (event.Token != kWakeToken) Serve(event.Token, event.Readable, event.Writable);
    for (const std::uint64_t token : again) Serve(token, true, false);
    again.clear();
    FireTimers();
    EndTurn();
  }
  Close();
}

void TEventLoop::Close() {
  for (;;) {
    std::vector<std::function<void()>> tasks;
    {
      TMutexLock lock(PostGuard);
      Closed = true;
      tasks.swap(Posted);
      Woken.clear();
    }
    if (tasks.empty()) return;
    for (auto& task : tasks) CallRecordingFailures(FailureCounter(), kLoopFailure, task);
  }
}

TEventLoops::TEventLoops(std::size_t count, TCaughtFailures* failures) {
  if (count == 0) count = ProcessorCount();
  if (count == 0) count = 1;
  for (std::size_t i = 0; i < count; ++i)
    Loops.push_back(TEventLoop::Create(static_cast<int>(i), failures));
}

TEventLoops::~TEventLoops() {
  // Every server on the loops has stopped by now; the threads just end.
  for (auto& loop : Loops) loop->Terminate();
  Loops.clear();
}

TEventLoop& TEventLoops::Next() {
  return *Loops[Turn.fetch_add(1, std::memory_order_relaxed) % Loops.size()];
}

int TEventLoops::SetupError() const {
  for (const auto& loop : Loops)
    if (!loop->Valid()) return loop->SetupError();
  return 0;
}

}  // namespace logserver

// tLogQueue and tControlConnectionsProcess.
#include "core/uMainThread.h"

#include "platform/uTime.h"

namespace logserver {

bool tLogQueue::Fits(std::size_t size) const {
  return size == 0 || Items.empty() || Bytes + size <= MaxBytes;
}

void tLogQueue::Append(pLogQueueElement element) {
  Bytes += element->Data.size();
  Items.push_back(std::move(element));
  Signal.Post();
}

void tLogQueue::Push(pLogQueueElement element) {
  TLockGuard guard(Lock);
  Append(std::move(element));
}

bool tLogQueue::PushWaiting(pLogQueueElement element) {
  std::unique_lock<TRecursiveLock> guard(Lock);
  Space.wait(guard, [&] { return Closed || Fits(element->Data.size()); });
  if (Closed) return false;
  Append(std::move(element));
  return true;
}

bool tLogQueue::TryPush(pLogQueueElement element) {
  TLockGuard guard(Lock);
  if (!Fits(element->Data.size())) return false;
  Append(std::move(element));
  return true;
}

void tLogQueue::Close() {
  TLockGuard guard(Lock);
  Closed = true;
  Space.notify_all();
}

bool tLogQueue::Pop(pLogQueueElement& element) {
  element.reset();
  if (!Signal.Wait()) return false;
  TLockGuard guard(Lock);
  bool taken = false;
  if (!Items.empty()) {
    element = std::move(Items.front());
    Items.pop_front();
    Bytes -= element->Data.size();
    Space.notify_all();
    taken = true;
  }
  if (Items.empty()) {
    // Posts of releases that found nothing queued wake the loop only once.
    while (Signal.TryWait()) {
    }
  }
  return taken;
}

void tLogQueue::Clear() {
  TLockGuard guard(Lock);
  Items.clear();
  Bytes = 0;
  Space.notify_all();
}

std::size_t tLogQueue::Count() {
  TLockGuard guard(Lock);
  return Items.size();
}

std::size_t tLogQueue::QueuedBytes() {
  TLockGuard guard(Lock);
  return Bytes;
}

std::unique_ptr<tControlConnectionsProcess> tControlConnectionsProcess::Create(
    tOnCheckConnectionEvent OnCheck) {
  std::unique_ptr<tControlConnectionsProcess> controller(
      new tControlConnectionsProcess(std::move(OnCheck)));
  controller->Start();
  return controller;
}

tControlConnectionsProcess::~tControlConnectionsProcess() { StopAndWait(); }

void tControlConnectionsProcess::Execute() {
  // The flag is tested before each sleep only, so after a terminate request
  // the event may still fire once.
  while (!Terminated()) {
    SleepMilliseconds(1000);
    if (OnCheck) OnCheck();
  }
}

}  // namespace logserver

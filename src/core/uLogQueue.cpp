// tLogQueue and tControlConnectionsProcess.
#include "core/uMainThread.h"

#include "platform/uTime.h"

namespace logserver {

void tLogQueue::Push(pLogQueueElement element) {
  TLockGuard guard(Lock);
  Items.push_back(std::move(element));
  Signal.Post();
}

bool tLogQueue::Pop(pLogQueueElement& element) {
  element.reset();
  if (!Signal.Wait()) return false;
  TLockGuard guard(Lock);
  bool taken = false;
  if (!Items.empty()) {
    element = std::move(Items.front());
    Items.pop_front();
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
}

std::size_t tLogQueue::Count() {
  TLockGuard guard(Lock);
  return Items.size();
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

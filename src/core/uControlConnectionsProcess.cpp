#include "core/uControlConnectionsProcess.h"

#include "platform/uTime.h"

namespace logserver {

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

// The connection controller: the heartbeat thread that fires OnCheck about
// once a second until it is terminated, so that the main loop makes a pass
// at least that often.
#pragma once

#include "platform/uThread.h"

#include <functional>
#include <memory>

namespace logserver {

using tOnCheckConnectionEvent = std::function<void()>;

class tControlConnectionsProcess : public TThread {
 public:
  // Creates the controller and starts its thread at once.
  static std::unique_ptr<tControlConnectionsProcess> Create(tOnCheckConnectionEvent OnCheck);
  // Requests termination and waits: returns within about one second.
  ~tControlConnectionsProcess() override;

 protected:
  void Execute() override;

 private:
  explicit tControlConnectionsProcess(tOnCheckConnectionEvent onCheck)
      : TThread("ls-heartbeat"), OnCheck(std::move(onCheck)) {}
  const tOnCheckConnectionEvent OnCheck;
};

}  // namespace logserver

#include "core/uMainLoopRequests.h"

namespace logserver {

std::atomic<TMainLoopRequests*> TMainLoopRequests::Listening{nullptr};

void TMainLoopRequests::HandleStopSignal(int) {
  // Runs on the initial thread only (every other thread blocks the stop
  // signals). Taking the requests out first makes later signals no-ops.
  if (TMainLoopRequests* requests = Listening.exchange(nullptr)) requests->Ask(rqStop);
}

void TMainLoopRequests::HandleReopenSignal(int) {
  if (TMainLoopRequests* requests = Listening.load()) requests->Ask(rqReopen);
}

void TMainLoopRequests::HandleStatisticsSignal(int) {
  if (TMainLoopRequests* requests = Listening.load()) requests->Ask(rqStatistics);
}

}  // namespace logserver

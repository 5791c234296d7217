// A token bucket: tokens grow at a rate per unit of time up to a most,
// and whoever spends them takes them out. The unit of time is the
// caller's (days of server time for new paths, seconds for a sender's
// messages and bytes).
//
// Threading: none of its own; its owner guards it.
#pragma once

#include <algorithm>

namespace logserver {

struct TTokenBucket {
  double Tokens = 0;
  double At = 0;  // when it was last refilled

  // Adds what `rate` grew since At, up to `most`; a clock that went back
  // adds nothing and moves nothing back.
  void Refill(double rate, double most, double now) {
    if (now > At) Tokens = std::min(most, Tokens + (now - At) * rate);
    At = std::max(At, now);
  }
};

}  // namespace logserver

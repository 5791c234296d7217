// Fixed server times for tests of hourly files: two in one hour, one in the
// next, and both sides of a midnight.
#pragma once

#include "platform/uTime.h"

namespace testing_support {

inline const double k1407 = logserver::EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);
inline const double k1408 = logserver::EncodeDateTime(2024, 3, 5, 14, 8, 0, 0);
inline const double k1500 = logserver::EncodeDateTime(2024, 3, 5, 15, 0, 0, 0);
inline const double kBeforeMidnight = logserver::EncodeDateTime(2024, 3, 5, 23, 59, 59, 999);
inline const double kMidnight = logserver::EncodeDateTime(2024, 3, 6, 0, 0, 0, 0);

}  // namespace testing_support

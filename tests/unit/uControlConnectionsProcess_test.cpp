#include "core/uControlConnectionsProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace logserver;

TEST(ControllerTest, FiresAboutOnceASecondAndStopsOnRequest) {
  std::atomic<int> calls{0};
  auto controller = tControlConnectionsProcess::Create([&] { ++calls; });
  EXPECT_TRUE(testing_support::WaitUntil([&] { return calls.load() >= 2; }, 5000));
  controller.reset();  // returns: the thread has ended
}


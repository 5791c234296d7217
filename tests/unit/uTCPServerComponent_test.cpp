#include "net/uTCPServerComponent.h"
#include "platform/uSocket.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace logserver;
using testing_support::WaitUntil;

TEST(TCPComponentTest, DefaultsAndOperationsWithoutAListener) {
  TTCPServerComponent component;
  EXPECT_EQ(component.GetTCPServerType(), &TSimpleTCPServer::Create);
  component.SetTCPServerType(nullptr);
  EXPECT_EQ(component.GetTCPServerType(), &TSimpleTCPServer::Create);
  EXPECT_EQ(component.IPAddress, "");
  EXPECT_EQ(component.IPPort, 0);
  EXPECT_FALSE(component.GetActive());
  int code = 0;
  EXPECT_FALSE(component.WaitForStart(10, code));
  EXPECT_EQ(code, kNoServerError);
  EXPECT_EQ(component.SetClientOption(0, 0, 0, nullptr, 0), -2);
  EXPECT_EQ(component.GetListenError(), 0);
  EXPECT_FALSE(component.ClientExists(0));
  component.SetActive(false);
  EXPECT_FALSE(component.GetActive());
}

TEST(TCPComponentTest, APortInUseKeepsTheListenerActiveAndRetrying) {
  TDescriptor blocker = SocketCreateStream();
  ASSERT_TRUE(blocker.Valid());
  SocketSetReuseAddress(blocker.Get());
  ASSERT_EQ(SocketBind(blocker.Get(), ParseIPv4("127.0.0.1"), 0), 0);
  ASSERT_EQ(SocketListen(blocker.Get(), 4), 0);
  const std::uint16_t port = SocketLocalAddress(blocker.Get()).Port;

  TTCPServerComponent component;
  component.SetIPAddress("127.0.0.1");
  component.SetIPPort(port);
  component.SetActive(true);
  component.SetActive(true);  // still one listener
  int code = 0;
  EXPECT_TRUE(component.WaitForStart(1000, code));
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(WaitUntil([&] { return component.GetListenFailure() == EADDRINUSE; }));
  EXPECT_TRUE(component.GetActive());
  blocker.Reset();
  ASSERT_TRUE(WaitUntil([&] { return component.Listener()->ListeningPort() == port; }));
  EXPECT_EQ(component.GetListenFailure(), 0);
  TDescriptor fd = SocketConnect("127.0.0.1", port);
  EXPECT_TRUE(fd.Valid());
  EXPECT_TRUE(WaitUntil([&] { return component.ClientExists(0); }));
  fd.Reset();
}

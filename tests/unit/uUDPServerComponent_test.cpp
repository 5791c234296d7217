#include "net/uUDPServerComponent.h"
#include "platform/uSocket.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace logserver;

TEST(UDPComponentTest, BindFailureKeepsItActiveAndWaitForStartReportsIt) {
  TDescriptor holder = SocketCreateDatagram();
  ASSERT_EQ(SocketBind(holder.Get(), ParseIPv4("127.0.0.1"), 0), 0);
  TUDPServerComponent component;
  int code = 0;
  EXPECT_FALSE(component.WaitForStart(10, code));
  EXPECT_EQ(code, kNoServerError);
  EXPECT_EQ(component.SetClientOption(0, 0, 0, nullptr, 0), -1);
  component.SetIPAddress("127.0.0.1");
  component.SetIPPort(SocketLocalAddress(holder.Get()).Port);
  component.SetActive(true);
  component.SetActive(true);
  EXPECT_TRUE(component.GetActive());
  EXPECT_FALSE(component.WaitForStart(1000, code));
  EXPECT_EQ(code, EADDRINUSE);
  EXPECT_EQ(component.GetLastError(), EADDRINUSE);
  component.SetActive(false);
  EXPECT_FALSE(component.GetActive());
  holder.Reset();
}

TEST(UDPComponentTest, AnEmptyAddressFailsTheStart) {
  TUDPServerComponent component;
  component.SetActive(true);
  int code = 0;
  EXPECT_FALSE(component.WaitForStart(1000, code));
  EXPECT_NE(code, 0);
}
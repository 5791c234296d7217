// The owner-facing side of a network server: the interface through which the
// service configures, starts and stops a server and receives its events.
//
// A component's operations run on its owner's thread; its events are raised
// on the server's own threads. Settings and events changed while active reach
// the server at the next activation only.
#pragma once

#include "net/uIPServerHeader.h"

#include <cstdint>
#include <string>

namespace logserver {

// Common interface of the TCP and UDP components.
class TIPServerComponent {
 public:
  virtual ~TIPServerComponent() = default;
  TIPServerComponent(const TIPServerComponent&) = delete;
  TIPServerComponent& operator=(const TIPServerComponent&) = delete;

  std::string Name;
  std::intptr_t Tag = 0;

  std::string IPAddress;
  std::uint16_t IPPort = 0;
  tNotifyDataTCPEvent OnReceive;
  tNotifyDataTCPEvent OnSend;
  tNotifyTCPEvent OnDisconnect;
  tNotifyTCPEvent OnConnect;
  tNotifyBatchEndEvent OnBatchEnd;
  tNotifyRunTCPEvent OnReceiveRun;

  // The current handlers, address and port, as a new server gets them.
  tServerSetup Setup() const {
    return {{OnReceive, OnSend, OnDisconnect, OnConnect, OnBatchEnd, OnReceiveRun}, IPAddress,
            IPPort};
  }

  // The Active property.
  virtual bool GetActive() = 0;
  virtual void SetActive(bool Value) = 0;
  virtual void SetIPAddress(const std::string& Value) = 0;
  virtual void SetIPPort(std::uint16_t Value) = 0;
  virtual bool ClientExists(std::uint16_t ClientID) = 0;
  virtual void SendBuffer(TIPConnection* Client, const char* Data, std::uint32_t Size) = 0;
  virtual void SendBufferByID(std::uint16_t ClientID, const char* Data, std::uint32_t Size) = 0;
  virtual void SendText(TIPConnection* Client, const std::string& Text) = 0;
  virtual void SendTextByID(std::uint16_t ClientID, const std::string& Text) = 0;
  virtual void SendToIP(const std::string& Address, std::uint16_t Port, const char* Data,
                        std::int32_t Size) = 0;
  virtual void SendToAll(const char* Data, std::uint32_t Size) = 0;
  virtual void SendTextToAll(const std::string& Text) = 0;
  virtual void DisconnectClient(std::uint16_t ClientID) = 0;
  virtual int SetClientOption(std::uint16_t ClientID, int Level, int OptName, const void* OptVal,
                              int OptLen) = 0;
  virtual bool WaitForStart(int TimeoutMs, int& ErrorCode) = 0;

 protected:
  TIPServerComponent() = default;
};

}  // namespace logserver

// The owner-facing side of a network server: the interface through which the
// service configures, starts and stops a server and receives its events.
//
// A component's operations run on its owner's thread; its events are raised
// on the server's own threads. Settings and events changed while active reach
// the server at the next activation only.
#pragma once

#include "net/uIPServerHeader.h"

#include <cerrno>
#include <cstdint>
#include <string>

namespace logserver {

// WaitForStart's error code when there is no server to wait for.
constexpr int kNoServerError = EBADF;

// Common interface of the TCP and UDP components. The settings and handlers
// (IPAddress, IPPort, OnReceive, ...) are the fields of the TServerSetup it
// derives from: that is their one place, and a new server gets a copy.
class TIPServerComponent : public TServerSetup {
 public:
  virtual ~TIPServerComponent() = default;
  TIPServerComponent(const TIPServerComponent&) = delete;
  TIPServerComponent& operator=(const TIPServerComponent&) = delete;

  std::string Name;
  std::intptr_t Tag = 0;

  // The current handlers and settings, as a new server gets them.
  const TServerSetup& Setup() const { return *this; }

  // The Active property.
  virtual bool GetActive() = 0;
  virtual void SetActive(bool Value) = 0;
  // Both take effect with the next activation.
  virtual void SetIPAddress(const std::string& Value) { IPAddress = Value; }
  virtual void SetIPPort(std::uint16_t Value) { IPPort = Value; }
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

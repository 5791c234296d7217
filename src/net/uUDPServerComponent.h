// The UDP component: owns the datagram server while active.
#pragma once

#include "net/uIPServerComponent.h"
#include "net/uUDPServer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace logserver {

// The UDP component: a tUDPServer while active. A ClientID is a peer slot.
class TUDPServerComponent : public TIPServerComponent {
 public:
  TUDPServerComponent() = default;
  ~TUDPServerComponent() override;

  bool GetActive() override;
  void SetActive(bool Value) override;
  bool ClientExists(std::uint16_t ClientID) override;
  // Client must be the server object an event of this component delivered.
  void SendBuffer(TIPConnection* Client, const char* Data, std::uint32_t Size) override;
  void SendBufferByID(std::uint16_t ClientID, const char* Data, std::uint32_t Size) override;
  void SendText(TIPConnection* Client, const std::string& Text) override;
  void SendTextByID(std::uint16_t ClientID, const std::string& Text) override;
  void SendToIP(const std::string& Address, std::uint16_t Port, const char* Data,
                std::int32_t Size) override;
  void SendToAll(const char* Data, std::uint32_t Size) override;
  void SendTextToAll(const std::string& Text) override;
  void DisconnectClient(std::uint16_t ClientID) override;
  // -1 without a server; ClientID is ignored (all peers share one socket).
  int SetClientOption(std::uint16_t ClientID, int Level, int OptName, const void* OptVal,
                      int OptLen) override;
  bool WaitForStart(int TimeoutMs, int& ErrorCode) override;

  // The server's LastError; 0 without a server.
  int GetLastError();
  // Why the server is not serving (it could not bind, or failed), 0 while
  // it serves or without a server. Active stays true meanwhile.
  int GetBindFailure();
  tUDPServer* Server() { return Server_.get(); }
  // A moved port (a reload): the server in use hands on what waits in its
  // socket and stops; then, once the owner is told (`between`), a new one
  // serves `bound` (tUDPServer::Bind) at `address` and `port`.
  void MoveTo(const std::string& address, std::uint16_t port, TDescriptor bound,
              const std::function<void()>& between);

 private:
  std::unique_ptr<tUDPServer> Server_;
};

}  // namespace logserver

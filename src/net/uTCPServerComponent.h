// The TCP component and the two listener classes it can choose from.
#pragma once

#include "net/uIPServerComponent.h"
#include "net/uTCPServer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

// Listener whose connections pass bytes through unframed.
class TSimpleTCPServer : public TCustomTCPServer {
 public:
  using TCustomTCPServer::TCustomTCPServer;
  static std::unique_ptr<TCustomTCPServer> Create(const TServerSetup& Setup);
};

// Listener whose connections cut their input into TPKT frames.
class TTPKTTCPServer : public TCustomTCPServer {
 public:
  using TCustomTCPServer::TCustomTCPServer;
  static std::unique_ptr<TCustomTCPServer> Create(const TServerSetup& Setup);

 protected:
  int CreateConnection(TDescriptor Socket, const TSocketAddress& Peer) override;
};

// The TCP component: a listener of class TCPServerType while active.
class TTCPServerComponent : public TIPServerComponent {
 public:
  TTCPServerComponent();
  ~TTCPServerComponent() override;

  bool GetActive() override;
  // Stops a running listener (no handler runs once it returns); with true,
  // creates a new one with the current settings and events.
  void SetActive(bool Value) override;
  bool ClientExists(std::uint16_t ClientID) override;
  void SendBuffer(TIPConnection* Client, const char* Data, std::uint32_t Size) override;
  void SendBufferByID(std::uint16_t ClientID, const char* Data, std::uint32_t Size) override;
  void SendText(TIPConnection* Client, const std::string& Text) override;
  void SendTextByID(std::uint16_t ClientID, const std::string& Text) override;
  // TCP has no connectionless send: does nothing.
  void SendToIP(const std::string&, std::uint16_t, const char*, std::int32_t) override {}
  // Size 0 runs ProbeConnections.
  void SendToAll(const char* Data, std::uint32_t Size) override;
  void SendTextToAll(const std::string& Text) override;
  void DisconnectClient(std::uint16_t ClientID) override;
  // -2 without a listener or without that client.
  int SetClientOption(std::uint16_t ClientID, int Level, int OptName, const void* OptVal,
                      int OptLen) override;
  // ErrorCode kNoServerError (EBADF) and false without a listener.
  bool WaitForStart(int TimeoutMs, int& ErrorCode) override;

  // Queues an empty chunk for every client: with TPKT the header-only frame.
  void ProbeConnections();
  // The listener's LastError; 0 without a listener.
  int GetListenError();
  // The listener's failure to listen, 0 while it listens or without one.
  int GetListenFailure();

  // Ignores an empty class reference.
  void SetTCPServerType(TTCPServerType Value) {
    if (Value) TCPServerType = Value;
  }
  TTCPServerType GetTCPServerType() const { return TCPServerType; }

  TCustomTCPServer* Listener() { return Server.get(); }

 private:
  std::unique_ptr<TCustomTCPServer> Server;
  TTCPServerType TCPServerType;
};

}  // namespace logserver

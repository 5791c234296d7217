// Server components: the owner-facing objects through which the service
// configures, starts and stops its network servers and receives their events,
// and the two listener classes a TCP component can choose.
//
// A component's operations run on its owner's thread; its events are raised
// on the server's own threads. Settings and events changed while active reach
// the server at the next activation only.
#pragma once

#include "net/uIPServerHeader.h"
#include "net/uTCPServer.h"
#include "net/uUDPServer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

// Listener whose connections pass bytes through unframed.
class TSimpleTCPServer : public TCustomTCPServer {
 public:
  using TCustomTCPServer::TCustomTCPServer;
  static std::unique_ptr<TCustomTCPServer> Create(tNotifyDataTCPEvent OnReceive,
                                                  tNotifyDataTCPEvent OnSend,
                                                  tNotifyTCPEvent OnDisconnect,
                                                  tNotifyTCPEvent OnConnect,
                                                  const std::string& IPAddress,
                                                  std::uint16_t IPPort);
};

// Listener whose connections cut their input into TPKT frames.
class TTPKTTCPServer : public TCustomTCPServer {
 public:
  using TCustomTCPServer::TCustomTCPServer;
  static std::unique_ptr<TCustomTCPServer> Create(tNotifyDataTCPEvent OnReceive,
                                                  tNotifyDataTCPEvent OnSend,
                                                  tNotifyTCPEvent OnDisconnect,
                                                  tNotifyTCPEvent OnConnect,
                                                  const std::string& IPAddress,
                                                  std::uint16_t IPPort);

 protected:
  int CreateConnection(int Socket, const TSocketAddress& Peer) override;
};

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

// The TCP component: a listener of class TCPServerType while active.
class TTCPServerComponent : public TIPServerComponent {
 public:
  TTCPServerComponent();
  ~TTCPServerComponent() override;

  bool GetActive() override;
  // Stops a running listener (Terminate, CloseListenSocket, WaitFor); with
  // true, creates a new one with the current settings and events.
  void SetActive(bool Value) override;
  void SetIPAddress(const std::string& Value) override { IPAddress = Value; }
  void SetIPPort(std::uint16_t Value) override { IPPort = Value; }
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
  // ErrorCode 9 and false without a listener.
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

// The UDP component: a tUDPServer while active. A ClientID is a peer slot.
class TUDPServerComponent : public TIPServerComponent {
 public:
  TUDPServerComponent() = default;
  ~TUDPServerComponent() override;

  bool GetActive() override;
  void SetActive(bool Value) override;
  void SetIPAddress(const std::string& Value) override { IPAddress = Value; }
  void SetIPPort(std::uint16_t Value) override { IPPort = Value; }
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
  tUDPServer* Server() { return Server_.get(); }

 private:
  std::unique_ptr<tUDPServer> Server_;
};

}  // namespace logserver

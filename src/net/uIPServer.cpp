#include "net/uIPServer.h"

namespace logserver {

std::unique_ptr<TCustomTCPServer> TSimpleTCPServer::Create(
    tNotifyDataTCPEvent OnReceive, tNotifyDataTCPEvent OnSend, tNotifyTCPEvent OnDisconnect,
    tNotifyTCPEvent OnConnect, const std::string& IPAddress, std::uint16_t IPPort) {
  return CreateAs<TSimpleTCPServer>(std::move(OnReceive), std::move(OnSend),
                                    std::move(OnDisconnect), std::move(OnConnect), IPAddress,
                                    IPPort);
}

std::unique_ptr<TCustomTCPServer> TTPKTTCPServer::Create(
    tNotifyDataTCPEvent OnReceive, tNotifyDataTCPEvent OnSend, tNotifyTCPEvent OnDisconnect,
    tNotifyTCPEvent OnConnect, const std::string& IPAddress, std::uint16_t IPPort) {
  return CreateAs<TTPKTTCPServer>(std::move(OnReceive), std::move(OnSend),
                                  std::move(OnDisconnect), std::move(OnConnect), IPAddress, IPPort);
}

int TTPKTTCPServer::CreateConnection(int Socket, const TSocketAddress& Peer) {
  return AddConnection(Socket, Peer, &tTPKTReceiveFilter::Create);
}

TTCPServerComponent::TTCPServerComponent() : TCPServerType(&TSimpleTCPServer::Create) {}

TTCPServerComponent::~TTCPServerComponent() {
  SetActive(false);
  Server.reset();
}

bool TTCPServerComponent::GetActive() { return Server && !Server->Terminated(); }

void TTCPServerComponent::SetActive(bool Value) {
  if (GetActive() == Value) return;
  if (Server) {
    Server->Terminate();
    Server->CloseListenSocket();
    Server->WaitFor();
    Server.reset();
  }
  if (Value)
    Server = TCPServerType(OnReceive, OnSend, OnDisconnect, OnConnect, IPAddress, IPPort);
}

bool TTCPServerComponent::ClientExists(std::uint16_t ClientID) {
  return Server && Server->ClientExists(ClientID);
}

void TTCPServerComponent::SendBuffer(TIPConnection* Client, const char* Data, std::uint32_t Size) {
  if (Size > 0 && Server) Server->SendToConnection(Client, Data, static_cast<int>(Size));
}

void TTCPServerComponent::SendBufferByID(std::uint16_t ClientID, const char* Data,
                                         std::uint32_t Size) {
  if (Size > 0 && Server) Server->SendToID(ClientID, Data, static_cast<int>(Size));
}

void TTCPServerComponent::SendText(TIPConnection* Client, const std::string& Text) {
  if (!Text.empty() && Server)
    Server->SendToConnection(Client, Text.data(), static_cast<int>(Text.size()));
}

void TTCPServerComponent::SendTextByID(std::uint16_t ClientID, const std::string& Text) {
  if (!Text.empty() && Server) Server->SendToID(ClientID, Text.data(), static_cast<int>(Text.size()));
}

void TTCPServerComponent::SendToAll(const char* Data, std::uint32_t Size) {
  if (Size == 0) {
    ProbeConnections();
    return;
  }
  if (Server) Server->SendToAll(Data, static_cast<int>(Size));
}

void TTCPServerComponent::SendTextToAll(const std::string& Text) {
  if (!Text.empty() && Server) Server->SendToAll(Text.data(), static_cast<int>(Text.size()));
}

void TTCPServerComponent::DisconnectClient(std::uint16_t ClientID) {
  if (Server) Server->TerminateConnection(ClientID);
}

int TTCPServerComponent::SetClientOption(std::uint16_t ClientID, int Level, int OptName,
                                         const void* OptVal, int OptLen) {
  if (!Server) return -2;
  return Server->SetConnectionOption(ClientID, Level, OptName, OptVal, OptLen);
}

bool TTCPServerComponent::WaitForStart(int TimeoutMs, int& ErrorCode) {
  ErrorCode = 9;
  if (!Server) return false;
  return Server->WaitStarted(TimeoutMs, ErrorCode);
}

void TTCPServerComponent::ProbeConnections() {
  if (Server) Server->SendToAll(nullptr, 0);
}

int TTCPServerComponent::GetListenError() { return Server ? Server->LastError() : 0; }

int TTCPServerComponent::GetListenFailure() { return Server ? Server->ListenFailure() : 0; }

// ---------------------------------------------------------------------------
// TUDPServerComponent

TUDPServerComponent::~TUDPServerComponent() {
  if (Server_) {
    Server_->Terminate();
    Server_->WaitFor();
    Server_.reset();
  }
}

bool TUDPServerComponent::GetActive() { return Server_ && !Server_->Terminated(); }

void TUDPServerComponent::SetActive(bool Value) {
  if (GetActive() == Value) return;
  if (Server_) {
    Server_->Terminate();
    Server_->WaitFor();
    Server_.reset();
  }
  if (Value) Server_ = tUDPServer::Create(OnReceive, OnSend, OnDisconnect, OnConnect, IPAddress, IPPort);
}

bool TUDPServerComponent::ClientExists(std::uint16_t ClientID) {
  return Server_ && !Server_->GetClientText(ClientID).empty();
}

void TUDPServerComponent::SendBuffer(TIPConnection* Client, const char* Data, std::uint32_t Size) {
  if (Client && Client == Server_.get())
    Server_->SendToClient(Client->ClientID, Data, static_cast<int>(Size));
}

void TUDPServerComponent::SendBufferByID(std::uint16_t ClientID, const char* Data,
                                         std::uint32_t Size) {
  if (Server_) Server_->SendToClient(ClientID, Data, static_cast<int>(Size));
}

void TUDPServerComponent::SendText(TIPConnection* Client, const std::string& Text) {
  if (Client && Client == Server_.get() && !Text.empty())
    Server_->SendToClient(Client->ClientID, Text.data(), static_cast<int>(Text.size()));
}

void TUDPServerComponent::SendTextByID(std::uint16_t ClientID, const std::string& Text) {
  if (Server_ && !Text.empty())
    Server_->SendToClient(ClientID, Text.data(), static_cast<int>(Text.size()));
}

void TUDPServerComponent::SendToIP(const std::string& Address, std::uint16_t Port,
                                   const char* Data, std::int32_t Size) {
  if (Server_) Server_->SendToIP(Address, Port, Data, Size);
}

void TUDPServerComponent::SendToAll(const char* Data, std::uint32_t Size) {
  if (Server_) Server_->SendToAll(Data, static_cast<int>(Size));
}

void TUDPServerComponent::SendTextToAll(const std::string& Text) {
  if (Server_ && !Text.empty()) Server_->SendToAll(Text.data(), static_cast<int>(Text.size()));
}

void TUDPServerComponent::DisconnectClient(std::uint16_t ClientID) {
  if (Server_) Server_->DisconnectClient(ClientID);
}

int TUDPServerComponent::SetClientOption(std::uint16_t, int Level, int OptName,
                                         const void* OptVal, int OptLen) {
  return Server_ ? Server_->SetSocketOption(Level, OptName, OptVal, OptLen) : -1;
}

bool TUDPServerComponent::WaitForStart(int TimeoutMs, int& ErrorCode) {
  ErrorCode = 9;
  if (!Server_) return false;
  return Server_->WaitStarted(TimeoutMs, ErrorCode);
}

int TUDPServerComponent::GetLastError() { return Server_ ? Server_->LastError() : 0; }

}  // namespace logserver

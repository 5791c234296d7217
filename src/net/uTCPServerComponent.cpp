#include "net/uTCPServerComponent.h"

namespace logserver {

std::unique_ptr<TCustomTCPServer> TSimpleTCPServer::Create(const TServerSetup& Setup) {
  return CreateAs<TSimpleTCPServer>(Setup);
}

std::unique_ptr<TCustomTCPServer> TTPKTTCPServer::Create(const TServerSetup& Setup) {
  return CreateAs<TTPKTTCPServer>(Setup);
}

int TTPKTTCPServer::CreateConnection(TDescriptor Socket, const TSocketAddress& Peer) {
  return AddConnection(std::move(Socket), Peer, &tTPKTReceiveFilter::Create);
}

TTCPServerComponent::TTCPServerComponent() : TCPServerType(&TSimpleTCPServer::Create) {}

TTCPServerComponent::~TTCPServerComponent() {
  SetActive(false);
  Server.reset();
}

bool TTCPServerComponent::GetActive() { return Server != nullptr; }

void TTCPServerComponent::SetActive(bool Value) {
  if (GetActive() == Value) return;
  if (Server) {
    Server->Stop();
    Server.reset();
  }
  if (Value) Server = TCPServerType(Setup());
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
  ErrorCode = kNoServerError;
  if (!Server) return false;
  return Server->WaitStarted(TimeoutMs, ErrorCode);
}

void TTCPServerComponent::ProbeConnections() {
  if (Server) Server->SendToAll(nullptr, 0);
}

int TTCPServerComponent::GetListenError() { return Server ? Server->LastError() : 0; }

int TTCPServerComponent::GetListenFailure() { return Server ? Server->ListenFailure() : 0; }

}  // namespace logserver

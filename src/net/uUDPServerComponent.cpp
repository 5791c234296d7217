#include "net/uUDPServerComponent.h"

#include <cerrno>

namespace logserver {

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
  if (Value) Server_ = tUDPServer::Create(Setup());
}

void TUDPServerComponent::MoveTo(const std::string& address, std::uint16_t port, TDescriptor bound,
                                 const std::function<void()>& between) {
  if (Server_) {
    Server_->DrainAndStop();
    Server_.reset();
  }
  if (between) between();
  SetIPAddress(address);
  SetIPPort(port);
  Server_ = tUDPServer::Create(Setup(), std::move(bound));
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
  ErrorCode = kNoServerError;
  if (!Server_) return false;
  return Server_->WaitStarted(TimeoutMs, ErrorCode);
}

int TUDPServerComponent::GetLastError() { return Server_ ? Server_->LastError() : 0; }

int TUDPServerComponent::GetBindFailure() {
  if (!Server_ || !Server_->Failed()) return 0;
  const int error = Server_->LastError();
  return error != 0 ? error : EIO;
}

}  // namespace logserver

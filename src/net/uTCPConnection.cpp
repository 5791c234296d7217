#include "net/uTCPConnection.h"

#include "net/uTCPServer.h"
#include "platform/uSocket.h"

#include <cerrno>

namespace logserver {

namespace {

// A connection with output pending waits up to this long for its socket.
constexpr int kBusyWaitMs = 100;
// An idle connection wakes this often to look for queued chunks and its
// terminate flag; received data wakes it at once.
constexpr int kIdleWaitMs = 50;

}  // namespace

TCustomTCPConnection::TCustomTCPConnection(TDescriptor socket, std::uint16_t id,
                                           TCustomTCPServer* server, const std::string& address,
                                           std::uint16_t port, tReceiveFilterType filterClass)
    : TIPConnection("ls-tcp-conn"),
      Server(server),
      Socket(std::move(socket)),
      Filter(filterClass ? filterClass() : tEmptyReceiveFilter::Create()),
      ReceiveBuffer(65536) {
  ClientID = id;
  ClientAddress = address;
  ClientPort = port;
}

std::unique_ptr<TCustomTCPConnection> TCustomTCPConnection::Create(
    TDescriptor Socket, std::uint16_t ID, TCustomTCPServer* Server, const std::string& Address,
    std::uint16_t Port, tReceiveFilterType FilterClass) {
  return std::unique_ptr<TCustomTCPConnection>(
      new TCustomTCPConnection(std::move(Socket), ID, Server, Address, Port, FilterClass));
}

TCustomTCPConnection::~TCustomTCPConnection() {
  StopAndWait();
  ClearSendList();
}

void TCustomTCPConnection::Send(const char* Data, int Size) {
  TLockGuard guard(SendLock);
  if (Size <= 0) {
    SendList.emplace_back();
    SendSignal.Post();
    return;
  }
  for (int offset = 0; offset < Size; offset += kMaxChunk) {
    const int length = Size - offset < kMaxChunk ? Size - offset : kMaxChunk;
    SendList.emplace_back(Data + offset, static_cast<std::size_t>(length));
    SendSignal.Post();
  }
}

int TCustomTCPConnection::SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) {
  return SocketSetOption(Socket.Get(), Level, OptName, OptVal, OptLen);
}

std::size_t TCustomTCPConnection::QueuedChunks() {
  TLockGuard guard(SendLock);
  return SendList.size();
}

int TCustomTCPConnection::TakeSendChunk(std::string& chunk) {
  TLockGuard guard(SendLock);
  if (SendList.empty()) return -1;
  chunk = std::move(SendList.front());
  SendList.pop_front();
  return static_cast<int>(chunk.size());
}

void TCustomTCPConnection::ClearSendList() {
  TLockGuard guard(SendLock);
  SendList.clear();
}

void TCustomTCPConnection::Post(TConnectionEvent Event, std::string Data) {
  TCustomTCPServer* server = Server.load();
  if (server == nullptr) return;
  tReceiveMSG m;
  m.Event = Event;
  m.Connection = this;
  m.Data = std::move(Data);
  // Waits while the delivery queue is full; gives up only when this
  // connection is being stopped.
  server->PostEvent(std::move(m), this);
}

void TCustomTCPConnection::Notify(TConnectionEvent Event, const char* Data, int Size) {
  // A connection being stopped raises no events.
  if (Terminated()) return;
  switch (Event) {
    case ceConnect:
    case ceDisconnect:
      Post(Event, std::string());
      break;
    case ceReceiveData: {
      bool more = false;
      std::string unit = Filter->Decode(Data, Size, more);
      if (!unit.empty()) Post(ceReceiveData, std::move(unit));
      while (more && !Terminated()) {
        unit = Filter->Decode(nullptr, 0, more);
        if (!unit.empty()) Post(ceReceiveData, std::move(unit));
      }
      break;
    }
    case ceSendData:
      Post(ceSendData, Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string());
      break;
    default:
      break;
  }
}

bool TCustomTCPConnection::WriteStep() {
  if (Pending.empty()) {
    std::string chunk;
    const int k = TakeSendChunk(chunk);
    if (k < 0) return true;
    Notify(ceSendData, chunk.data(), k);
    Pending = Filter->Encode(chunk.data(), k);
    PendingOffset = 0;
    if (Pending.empty()) return true;
  }
  const long w = SocketWrite(Socket.Get(), Pending.data() + PendingOffset, Pending.size() - PendingOffset);
  if (w < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  PendingOffset += static_cast<std::size_t>(w);
  if (PendingOffset >= Pending.size()) {
    Pending.clear();
    PendingOffset = 0;
  }
  return true;
}

void TCustomTCPConnection::Execute() {
  SocketSetNonBlocking(Socket.Get());
  Notify(ceConnect, nullptr, 0);
  while (!Terminated()) {
    const long n = SocketRead(Socket.Get(), ReceiveBuffer.data(), kMaxChunk);
    if (n > 0) {
      Notify(ceReceiveData, ReceiveBuffer.data(), static_cast<int>(n));
    } else if (n == 0) {
      break;  // end of stream
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      break;
    }
    if (!WriteStep()) break;

    bool readable = false, writable = false;
    if (!Pending.empty()) {
      SocketWait(Socket.Get(), true, true, kBusyWaitMs, readable, writable);
    } else if (!SendSignal.TryWait()) {
      SocketWait(Socket.Get(), true, false, kIdleWaitMs, readable, writable);
    }
  }
  Notify(ceDisconnect, nullptr, 0);
  SocketShutdown(Socket.Get());
}

}  // namespace logserver

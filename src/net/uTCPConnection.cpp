#include "net/uTCPConnection.h"

#include "net/uTCPServer.h"
#include "platform/uBufferPool.h"
#include "platform/uSocket.h"

#include <cerrno>
#include <mutex>

namespace logserver {

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;

}  // namespace

TCustomTCPConnection::TCustomTCPConnection(TDescriptor socket, std::uint16_t id,
                                           TCustomTCPServer* server, const std::string& address,
                                           std::uint16_t port, tReceiveFilterType filterClass)
    : TIPConnection("ls-tcp-conn"),
      Server(server),
      Socket(std::move(socket)),
      Filter(filterClass ? filterClass() : tEmptyReceiveFilter::Create()) {
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
  {
    TLockGuard guard(SendLock);
    bool wake = false;
    if (Size <= kMaxChunk && TryWriteNow(Data, Size, wake)) {
      if (wake) WakeUp.Signal();
      return;
    }
    if (Size <= 0) {
      SendList.emplace_back();
    } else {
      for (int offset = 0; offset < Size; offset += kMaxChunk) {
        const int length = Size - offset < kMaxChunk ? Size - offset : kMaxChunk;
        SendList.emplace_back(Data + offset, static_cast<std::size_t>(length));
      }
    }
  }
  WakeUp.Signal();
}

int TCustomTCPConnection::SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) {
  return SocketSetOption(Socket.Get(), Level, OptName, OptVal, OptLen);
}

bool TCustomTCPConnection::TryWriteNow(const char* Data, int Size, bool& wake) {
  // Only when nothing is ahead of this chunk, and no handler wants to hear
  // of it on the connection's side.
  if (!Writable || Writing || !SendList.empty()) return false;
  TCustomTCPServer* server = Server.load();
  if (server == nullptr || server->OnSend) return false;
  std::string frame = Filter->Encode(Data, Size);
  if (frame.empty()) return true;  // nothing to write, as on the queued path
  const long w = SocketWrite(Socket.Get(), frame.data(), frame.size());
  // Refused or failed: queued as usual, the connection thread then waits
  // for room or meets the failure itself.
  if (w <= 0) return false;
  if (static_cast<std::size_t>(w) < frame.size()) {
    // The rest goes out before anything queued later.
    Handoff = frame.substr(static_cast<std::size_t>(w));
    Writing = true;
    wake = true;
  }
  return true;
}

void TCustomTCPConnection::SetWritable(bool writable) {
  TLockGuard guard(SendLock);
  Writable = writable;
}

void TCustomTCPConnection::DoneWriting() {
  TLockGuard guard(SendLock);
  Writing = false;
}

std::size_t TCustomTCPConnection::QueuedChunks() {
  TLockGuard guard(SendLock);
  return SendList.size() + (Handoff.empty() ? 0 : 1);
}

int TCustomTCPConnection::TakeSendChunk(std::string& chunk, bool& encoded) {
  TLockGuard guard(SendLock);
  encoded = !Handoff.empty();
  if (encoded) {
    chunk = std::move(Handoff);
    Handoff.clear();
  } else {
    if (SendList.empty()) return -1;
    chunk = std::move(SendList.front());
    SendList.pop_front();
  }
  Writing = true;
  return static_cast<int>(chunk.size());
}

void TCustomTCPConnection::ClearSendList() {
  TLockGuard guard(SendLock);
  SendList.clear();
  Handoff.clear();
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
    case ceSendData: {
      // An unset handler drops the event anyway: not posting it spares the
      // delivery thread a wake-up per keep-alive and connection.
      TCustomTCPServer* server = Server.load();
      if (server == nullptr || !server->OnSend) break;
      Post(ceSendData, Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string());
      break;
    }
    default:
      break;
  }
}

bool TCustomTCPConnection::WriteStep() {
  if (Pending.empty()) {
    std::string chunk;
    bool encoded = false;
    const int k = TakeSendChunk(chunk, encoded);
    if (k < 0) return true;
    if (encoded) {
      Pending = std::move(chunk);
    } else {
      Notify(ceSendData, chunk.data(), k);
      Pending = Filter->Encode(chunk.data(), k);
    }
    PendingOffset = 0;
    if (Pending.empty()) {
      DoneWriting();
      return true;
    }
  }
  const long w = SocketWrite(Socket.Get(), Pending.data() + PendingOffset, Pending.size() - PendingOffset);
  if (w < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  PendingOffset += static_cast<std::size_t>(w);
  if (PendingOffset >= Pending.size()) {
    Pending.clear();
    PendingOffset = 0;
    DoneWriting();
  }
  return true;
}

bool TCustomTCPConnection::WriteAllQueued() {
  for (;;) {
    const bool hadPending = !Pending.empty();
    if (!WriteStep()) return false;
    // Stop when the socket refused more, or nothing was queued.
    if (!Pending.empty()) return true;
    if (!hadPending && QueuedChunks() == 0) return true;
  }
}

bool TCustomTCPConnection::ReadStep(bool& drained) {
  // Read straight into a run buffer, which the filter turns into the run of
  // units in place; the record then carries it without another copy.
  std::string run = TBufferPool::Shared().Take();
  const std::size_t head = Filter->HeadRoom();
  if (run.size() < head + kReadBytes) run.resize(head + kReadBytes);
  const long n = SocketRead(Socket.Get(), run.data() + head, kReadBytes);
  if (n <= 0) {
    TBufferPool::Shared().Give(std::move(run));
    drained = true;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  // A read that filled the buffer may have left more behind.
  drained = static_cast<std::size_t>(n) < kReadBytes;
  const std::size_t units = Filter->DecodeRun(run, head, static_cast<std::size_t>(n));
  TCustomTCPServer* server = Server.load();
  // A connection being stopped raises no events.
  if (units == 0 || server == nullptr || Terminated()) {
    TBufferPool::Shared().Give(std::move(run));
    return true;
  }
  tReceiveMSG m;
  m.Event = ceReceiveData;
  m.Connection = this;
  m.Packed = true;
  m.Data = std::move(run);
  // Waits while the delivery queue is full; gives up only when this
  // connection is being stopped.
  server->PostEvent(std::move(m), this);
  return true;
}

void TCustomTCPConnection::Execute() {
  SocketSetNonBlocking(Socket.Get());
  SetWritable(true);
  Notify(ceConnect, nullptr, 0);
  bool readable = true;
  while (!Terminated()) {
    // A wake-up for a chunk alone (a keep-alive) reads nothing.
    bool drained = true;
    if (readable && !ReadStep(drained)) break;
    if (!WriteAllQueued()) break;
    if (!drained) continue;
    // Nothing to read now: sleep until data, a chunk, room for a pending
    // chunk, or the stop. Signals that came meanwhile keep the wake-up
    // readable, so none is missed.
    bool writable = false, woken = false;
    if (SocketWaitOrWake(Socket.Get(), true, !Pending.empty(), WakeUp, -1, readable, writable,
                         woken) < 0)
      readable = false;
    if (woken) WakeUp.Clear();
  }
  SetWritable(false);
  Notify(ceDisconnect, nullptr, 0);
  SocketShutdown(Socket.Get());
}

}  // namespace logserver

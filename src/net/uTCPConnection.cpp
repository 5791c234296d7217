#include "net/uTCPConnection.h"

#include "platform/uSocket.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;

}  // namespace

TCustomTCPConnection::TCustomTCPConnection(TDescriptor socket, std::uint16_t id,
                                           TConnectionCallbacks callbacks,
                                           const std::string& address, std::uint16_t port,
                                           tReceiveFilterType filterClass)
    : TIPConnection("ls-tcp-conn"),
      Socket(std::move(socket)),
      Callbacks(std::move(callbacks)),
      Filter(filterClass ? filterClass() : tEmptyReceiveFilter::Create()) {
  ClientID = id;
  ClientAddress = address;
  ClientPort = port;
}

std::unique_ptr<TCustomTCPConnection> TCustomTCPConnection::Create(
    TDescriptor Socket, std::uint16_t ID, TConnectionCallbacks Callbacks,
    const std::string& Address, std::uint16_t Port, tReceiveFilterType FilterClass) {
  return std::unique_ptr<TCustomTCPConnection>(new TCustomTCPConnection(
      std::move(Socket), ID, std::move(Callbacks), Address, Port, FilterClass));
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
  if (PostingStopped.load() || Callbacks.NotifySends) return false;
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

bool TCustomTCPConnection::Post(tReceiveMSG& message) {
  // A connection being stopped raises no events.
  if (PostingStopped.load() || Terminated() || !Callbacks.Post) return false;
  message.Connection = this;
  // Waits while the delivery queue is full; gives up only when this
  // connection is being stopped.
  return Callbacks.Post(message, *this);
}

void TCustomTCPConnection::Notify(TConnectionEvent Event, const char* Data, int Size) {
  // An unset send handler drops the event anyway: not posting it spares the
  // delivery thread a wake-up per keep-alive and connection.
  if (Event == ceSendData && !Callbacks.NotifySends) return;
  tReceiveMSG message;
  message.Event = Event;
  if (Event == ceSendData && Size > 0) message.Chunk.assign(Data, static_cast<std::size_t>(Size));
  Post(message);
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
  // units in place; the record then carries it without another copy. An
  // unused buffer goes back to its pool when it goes out of scope.
  tReceiveMSG message;
  message.Event = ceReceiveData;
  message.Run.Bytes = TBufferPool::TakeFrom(Callbacks.Buffers);
  TPooledBuffer& run = message.Run.Bytes;
  const std::size_t head = Filter->HeadRoom();
  run.Resize(head + kReadBytes);
  const long n = SocketRead(Socket.Get(), run.Data() + head, kReadBytes);
  if (n <= 0) {
    drained = true;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  // A read that filled the buffer may have left more behind.
  drained = static_cast<std::size_t>(n) < kReadBytes;
  message.Run.Units = Filter->DecodeRun(run, head, static_cast<std::size_t>(n));
  if (const std::size_t skipped = Filter->TakeSkippedBytes(); skipped > 0 && Callbacks.Counters)
    Callbacks.Counters->NoteUnframed(skipped, ClientAddress + ":" + std::to_string(ClientPort));
  if (message.Run.Units > 0) Post(message);
  return true;
}

void TCustomTCPConnection::Execute() {
  // A socket that cannot be made non-blocking would stall this thread in a
  // read: such a client is connected and let go at once.
  const bool usable = SocketSetNonBlocking(Socket.Get()) == 0;
  SetWritable(usable);
  Notify(ceConnect, nullptr, 0);
  bool readable = true;
  while (usable && !Terminated()) {
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
  // Lets the peer see the end at once; a socket the peer reset already
  // fails here, which changes nothing.
  SocketShutdown(Socket.Get());
}

}  // namespace logserver

#include "net/uTCPConnection.h"

#include "platform/uSocket.h"
#include "platform/uTime.h"

#include <cerrno>

namespace logserver {

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;

}  // namespace

TCustomTCPConnection::TCustomTCPConnection(TDescriptor socket, std::uint16_t id,
                                           TConnectionOwner& owner,
                                           const TConnectionSettings& settings,
                                           const std::string& address, std::uint16_t port,
                                           tReceiveFilterType filterClass)
    : TUnfinishedHolder(settings.Unfinished),
      Socket(std::move(socket)),
      Owner(owner),
      Settings(settings),
      Filter(filterClass ? filterClass() : tEmptyReceiveFilter::Create()),
      LastActivity_(MonotonicMilliseconds()) {
  ClientID = id;
  ClientAddress = address;
  ClientPort = port;
  Pace.Follow(Settings.Rates, &ClientAddress, ikTpkt);
}

std::unique_ptr<TCustomTCPConnection> TCustomTCPConnection::Create(
    TDescriptor Socket, std::uint16_t ID, TConnectionOwner& Owner,
    const TConnectionSettings& Settings, const std::string& Address, std::uint16_t Port,
    tReceiveFilterType FilterClass) {
  return std::unique_ptr<TCustomTCPConnection>(new TCustomTCPConnection(
      std::move(Socket), ID, Owner, Settings, Address, Port, FilterClass));
}

TCustomTCPConnection::~TCustomTCPConnection() = default;

void TCustomTCPConnection::Send(const char* Data, int Size) {
  {
    TLockGuard guard(SendLock);
    bool wake = false;
    if (Size <= kMaxChunk && TryWriteNow(Data, Size, wake)) {
      if (!wake) return;
    } else if (Size <= 0) {
      SendList.Push(std::string());
    } else {
      for (int offset = 0; offset < Size; offset += kMaxChunk) {
        const int length = Size - offset < kMaxChunk ? Size - offset : kMaxChunk;
        SendList.Push(std::string(Data + offset, static_cast<std::size_t>(length)));
      }
    }
  }
  // Before Open the loop is not known yet; Open writes what waits.
  if (TEventLoop* loop = LoopForWake.load()) loop->Wake(TokenForWake.load());
}

int TCustomTCPConnection::SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) {
  return SocketSetOption(Socket.Get(), Level, OptName, OptVal, OptLen);
}

void TCustomTCPConnection::Close() {
  CloseRequested.store(true);
  if (TEventLoop* loop = LoopForWake.load()) loop->Wake(TokenForWake.load());
}

bool TCustomTCPConnection::TryWriteNow(const char* Data, int Size, bool& wake) {
  // Only when nothing is ahead of this chunk, and no handler wants to hear
  // of it on the loop's side.
  if (!Writable || Writing || Settings.NotifySends || SendList.Count() != 0) return false;
  std::string frame = Filter->Encode(Data, Size);
  if (frame.empty()) return true;  // nothing to write, as on the queued path
  const long w = SocketWrite(Socket.Get(), frame.data(), frame.size());
  // Refused or failed: queued as usual, the loop then waits for room or
  // meets the failure itself.
  if (w <= 0) return false;
  if (static_cast<std::size_t>(w) < frame.size()) {
    // The rest goes out before anything queued later.
    Handoff = frame.substr(static_cast<std::size_t>(w));
    Writing = true;
    wake = true;
  }
  return true;
}

void TCustomTCPConnection::DoneWriting() {
  TLockGuard guard(SendLock);
  Writing = false;
}

std::size_t TCustomTCPConnection::QueuedChunks() {
  TLockGuard guard(SendLock);
  return SendList.Count() + (Handoff.empty() ? 0 : 1);
}

int TCustomTCPConnection::TakeSendChunk(std::string& chunk, bool& encoded) {
  TLockGuard guard(SendLock);
  encoded = !Handoff.empty();
  if (encoded) {
    chunk = std::move(Handoff);
    Handoff.clear();
  } else if (!SendList.Pop(chunk, 0)) {
    return -1;
  }
  Writing = true;
  return static_cast<int>(chunk.size());
}

void TCustomTCPConnection::Open() {
  if (Ended_ || Loop_ == nullptr) return;  // shut before its loop came to it
  Token = Loop_->Register(*this, Socket.Get());
  if (Token != 0) {
    TokenForWake.store(Token);
    LoopForWake.store(Loop_);
    WakeOnEviction(*Loop_, Token);
    TLockGuard guard(SendLock);
    Writable = true;
  }
  Owner.Raise(*this, ceConnect, nullptr, nullptr, 0);
  // A poller that refused the socket (out of memory) cannot serve it: the
  // client is connected and let go at once.
  if (Token == 0 || CloseRequested.load() || !WriteAllQueued()) End(true);
}

void TCustomTCPConnection::Shut() {
  if (Ended_) return;
  Ended_ = true;
  ForgetUnfinished();
  {
    TLockGuard guard(SendLock);
    Writable = false;
  }
  if (Loop_ != nullptr && Token != 0) Loop_->Deregister(Token);
  // Lets the peer see the end at once; a socket the peer reset already
  // fails here, which changes nothing.
  SocketShutdown(Socket.Get());
  SendList.Clear();
}

void TCustomTCPConnection::End(bool raise) {
  // Raised before the socket is shut: a client that waits for the close
  // (and then connects again, maybe on another loop) finds its disconnect
  // handed on before anything of its next connection.
  if (raise) Owner.Raise(*this, ceDisconnect, nullptr, nullptr, 0);
  Shut();
  // The owner may free this connection: nothing follows.
  Owner.Ended(*this);
}

void TCustomTCPConnection::OnWake() {
  if (Ended_) return;
  if (CloseRequested.load() || Evicted() || !WriteAllQueued()) End(true);
}

void TCustomTCPConnection::OnTimer() {
  if (!Ended_) Pace.OnTimer(*Loop_, Token);
}

void TCustomTCPConnection::OnReady(bool readable, bool writable) {
  if (Ended_) return;
  if (CloseRequested.load() || Evicted()) {
    End(true);
    return;
  }
  if (readable) {
    for (int i = 0; i < kReadsPerTurn; ++i) {
      bool drained = true;
      if (!ReadStep(drained)) {
        End(true);
        return;
      }
      if (drained) break;
      // A sender that keeps the socket full gets its next turn after the
      // others: the descriptor is reported again, level-triggered.
    }
  }
  if (writable && !WriteAllQueued()) End(true);
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
      if (Settings.NotifySends) Owner.Raise(*this, ceSendData, nullptr, chunk.data(), k);
      Pending = Filter->Encode(chunk.data(), k);
    }
    PendingOffset = 0;
    if (Pending.empty()) {
      DoneWriting();
      return true;
    }
  }
  const long w =
      SocketWrite(Socket.Get(), Pending.data() + PendingOffset, Pending.size() - PendingOffset);
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
    if (!Pending.empty()) break;  // the socket took no more
    if (!hadPending && QueuedChunks() == 0) break;
  }
  // Woken when there is room again, and only then.
  Loop_->WatchWrite(Token, !Pending.empty());
  return true;
}

bool TCustomTCPConnection::ReadStep(bool& drained) {
  // Read straight into a run buffer, which the filter turns into the run of
  // units in place; the run then travels without another copy. An unused
  // buffer goes back to its pool when it goes out of scope.
  TUnitRun received;
  received.Bytes = TBufferPool::TakeFrom(Settings.Buffers);
  TPooledBuffer& run = received.Bytes;
  const std::size_t head = Filter->HeadRoom();
  run.Resize(head + kReadBytes);
  const long n = SocketRead(Socket.Get(), run.Data() + head, kReadBytes);
  if (n <= 0) {
    drained = true;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
  LastActivity_.store(MonotonicMilliseconds(), std::memory_order_relaxed);
  // A read that filled the buffer may have left more behind.
  drained = static_cast<std::size_t>(n) < kReadBytes;
  received.Units = Filter->DecodeRun(run, head, static_cast<std::size_t>(n));
  const std::size_t units = received.Units;
  HoldUnfinished(Filter->Unfinished(), units > 0);
  if (const std::size_t skipped = Filter->TakeSkippedBytes(); skipped > 0 && Settings.Counters)
    Settings.Counters->NoteUnframed(skipped, ClientAddress + ":" + std::to_string(ClientPort));
  if (units > 0) Owner.Raise(*this, ceReceiveData, &received, nullptr, 0);
  // Over its allowance: the sender waits, in its socket, until it has
  // grown back.
  if (Pace.Charge(*Loop_, Token, units, static_cast<std::size_t>(n))) drained = true;
  return true;
}

}  // namespace logserver

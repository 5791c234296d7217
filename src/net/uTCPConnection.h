// One accepted TCP client: the state an event loop drives. It reads,
// decodes and raises its events through its owner (the listener), on its
// loop, and writes the chunks other threads queue. It holds no thread.
//
// Reading: a turn reads up to kReadsPerTurn times 64 KiB straight into a
// pooled run buffer, cuts every complete frame there and raises them as one
// run; the buffer goes with the run to whoever takes it (the intake hands it
// on to the main loop without copying). A frame torn across two reads waits
// in the filter for its rest.
//
// Writing: a chunk that finds nothing ahead of it (a keep-alive to an idle
// client) is written by the sending thread at once, without waking the
// loop; anything else is queued and the loop woken, which writes it when
// the socket takes it. A chunk the socket takes in part is finished before
// the next one, so no frame is ever torn.
//
// Threading: OnReady, OnWake, Open and Shut run on the loop. Send,
// SetSocketOption, QueuedChunks and Close may be called from any thread
// (the listener calls them under its ListLock, which is taken before
// SendLock, never after). Ownership: the listener owns the connection; the
// connection owns its socket and its filter.
#pragma once

#include "net/uEventLoop.h"
#include "net/uIPServerHeader.h"
#include "net/uSenderRates.h"
#include "net/uTPKTFilter.h"
#include "net/uUnfinishedBytes.h"
#include "platform/uBoundedQueue.h"
#include "platform/uDescriptor.h"
#include "platform/uSync.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logserver {

class TCustomTCPConnection;

// How a connection reports: its listener, through this interface only.
class TConnectionOwner {
 public:
  // One event, on the connection's loop: connect, a run of units received
  // (Run set), a chunk about to be written (Data, Size), disconnect.
  virtual void Raise(TCustomTCPConnection& connection, TConnectionEvent event, TUnitRun* run,
                     const char* data, int size) = 0;
  // The connection ended and raised its disconnect; the owner may free it
  // now (the connection touches nothing of itself after this call).
  virtual void Ended(TCustomTCPConnection& connection) = 0;

 protected:
  ~TConnectionOwner() = default;
};

// What the listener lends its connections.
struct TConnectionSettings {
  // Whether anybody wants ceSendData events (an OnSend handler is set).
  bool NotifySends = false;
  // Where read buffers come from, where bytes that are no frame are
  // counted; may be null.
  TBufferPool* Buffers = nullptr;
  TServerCounters* Counters = nullptr;
  // Where the bytes of a frame not yet whole are held; may be null.
  TUnfinishedBytes* Unfinished = nullptr;
  // The senders' allowances its reads are charged to; may be null.
  TSenderRates* Rates = nullptr;
};

class TCustomTCPConnection : public TIPConnection, private TLoopClient, private TUnfinishedHolder {
 public:
  static constexpr int kReadsPerTurn = 4;

  // The socket (non-blocking) is owned from here on.
  static std::unique_ptr<TCustomTCPConnection> Create(TDescriptor Socket, std::uint16_t ID,
                                                      TConnectionOwner& Owner,
                                                      const TConnectionSettings& Settings,
                                                      const std::string& Address,
                                                      std::uint16_t Port,
                                                      tReceiveFilterType FilterClass);
  ~TCustomTCPConnection() override;

  // Queues data in chunks of at most 65533 bytes; Size <= 0 queues the empty
  // chunk. Any thread; a multi-chunk send is never interleaved with another.
  void Send(const char* Data, int Size) EXCLUDES(SendLock);
  int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) override;
  std::size_t QueuedChunks() EXCLUDES(SendLock);
  // Asks the loop to end the connection (it then raises its disconnect).
  // Any thread.
  void Close();

  // The loop that is to serve it; set once, under the owner's list lock,
  // before Open is posted there.
  void Assign(TEventLoop& loop) { Loop_ = &loop; }
  // On its loop's thread: starts serving there and raises the connect.
  void Open() EXCLUDES(SendLock);
  // On its loop: ends the connection without raising anything (its
  // listener is stopping).
  void Shut() EXCLUDES(SendLock);
  TEventLoop* Loop() const { return Loop_; }
  // Monotonic ms when the connection last sent something (or was made):
  // always kept, since a reload may give an idle limit to connections
  // already open. Any thread.
  std::uint64_t LastActivity() const { return LastActivity_.load(std::memory_order_relaxed); }

 private:
  TCustomTCPConnection(TDescriptor socket, std::uint16_t id, TConnectionOwner& owner,
                       const TConnectionSettings& settings, const std::string& address,
                       std::uint16_t port, tReceiveFilterType filterClass);

  void OnReady(bool readable, bool writable) override;
  void OnWake() override;
  void OnTimer() override;

  // SendLock held: writes the chunk at once when nothing is queued or being
  // written and no OnSend handler is set; true when the chunk needs no
  // queueing, with `wake` set when a rest was left for the loop.
  bool TryWriteNow(const char* Data, int Size, bool& wake) REQUIRES(SendLock);
  void DoneWriting() EXCLUDES(SendLock);
  // The next chunk to write; `encoded` tells it is the rest of one a sender
  // began, which is written as it is.
  int TakeSendChunk(std::string& chunk, bool& encoded) EXCLUDES(SendLock);
  // Reads once; false at the end of the stream or on a failure. `drained`
  // tells whether the socket has nothing more to read now.
  bool ReadStep(bool& drained);
  // Writes what is pending, taking the next chunk when nothing is; false
  // when the socket failed.
  bool WriteStep();
  // Writes chunks until none is left or the socket takes no more, and
  // watches for room while something waits.
  bool WriteAllQueued();
  // Ends the connection on the loop; raises the disconnect unless Shut.
  void End(bool raise) EXCLUDES(SendLock);

  // Shut down when the connection ends (the peer then sees the end at
  // once) and closed only when it is destroyed, so that SetSocketOption
  // from another thread never meets a reused descriptor number.
  const TDescriptor Socket;
  TConnectionOwner& Owner;
  const TConnectionSettings Settings;
  std::unique_ptr<tEmptyReceiveFilter> Filter;

  TRecursiveLock SendLock;
  // Appended to under SendLock, so that the chunks of one send stay
  // together; taken by the loop.
  TBoundedQueue<std::string> SendList;
  // The loop serves the socket (senders may write); the loop holds a chunk
  // it has not fully written; the encoded rest of a chunk a sender wrote
  // in part.
  bool Writable GUARDED_BY(SendLock) = false;
  bool Writing GUARDED_BY(SendLock) = false;
  std::string Handoff GUARDED_BY(SendLock);
  // Set once Open ran; read by senders to wake the loop.
  std::atomic<TEventLoop*> LoopForWake{nullptr};
  std::atomic<std::uint64_t> TokenForWake{0};
  std::atomic<bool> CloseRequested{false};
  std::atomic<std::uint64_t> LastActivity_;

  // Loop only.
  TEventLoop* Loop_ = nullptr;
  std::uint64_t Token = 0;
  bool Ended_ = false;
  TReadPace Pace;
  // The encoded chunk being written and how much of it has gone out.
  std::string Pending;
  std::size_t PendingOffset = 0;
};

}  // namespace logserver

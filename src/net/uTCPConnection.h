// One accepted TCP client on a thread of its own: reads, decodes, hands its
// events to the callback it was given (the listener's delivery queue), and
// writes the chunks other threads queue. It never calls a handler itself and
// knows nothing of its listener.
//
// The thread sleeps in poll on its socket and on a wake-up descriptor that
// Send and Terminate signal, with no time limit: an idle connection costs
// nothing until data, a chunk or the stop arrives. A chunk that finds
// nothing ahead of it (a keep-alive to an idle client) is written by the
// sending thread at once, without waking the connection: with a thousand
// clients, those wake-ups were most of what an idle service cost. It reads
// up to 64 KiB at a time into a buffer it borrows only for the read, cuts
// every complete frame, and hands them to the receive manager in one step.
//
// Threading: the connection thread reads, writes and decodes; a sender
// writes only while the connection thread is not writing (Writing, under
// SendLock) and only whole encoded chunks (the filter's Encode keeps no
// state). Any thread may Send (in the service always through the listener,
// under its ListLock, which is taken before SendLock, never after).
// Ownership: the listener owns the connection; the connection owns its
// socket and its filter.
#pragma once

#include "net/uIPServerHeader.h"
#include "net/uTPKTFilter.h"
#include "platform/uDescriptor.h"
#include "platform/uSync.h"
#include "platform/uWakeEvent.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace logserver {

// How a connection reports, given by its listener.
struct TConnectionCallbacks {
  // Hands one event on; waits while the delivery queue is full and gives up
  // (false) once `canceller` (the connection) is terminated.
  std::function<bool(tReceiveMSG& message, const TThread& canceller)> Post;
  // Whether anybody wants ceSendData events (an OnSend handler is set).
  bool NotifySends = false;
  // Where read buffers come from, where bytes that are no frame are
  // counted; may be null.
  TBufferPool* Buffers = nullptr;
  TServerCounters* Counters = nullptr;
};

class TCustomTCPConnection : public TIPConnection {
 public:
  // Builds the connection; the caller starts it. The socket is owned from
  // here on, also when the thread never starts.
  static std::unique_ptr<TCustomTCPConnection> Create(TDescriptor Socket, std::uint16_t ID,
                                                      TConnectionCallbacks Callbacks,
                                                      const std::string& Address,
                                                      std::uint16_t Port,
                                                      tReceiveFilterType FilterClass);
  ~TCustomTCPConnection() override;

  // False when the connection could not get its wake-up descriptor (the
  // process is out of descriptors): it must not be started then.
  bool CanStart() const { return WakeUp.Valid(); }
  int StartError() const { return WakeUp.CreateError(); }

  // Queues data in chunks of at most 65533 bytes; Size <= 0 queues the empty
  // chunk. Any thread; a multi-chunk send is never interleaved with another.
  void Send(const char* Data, int Size);
  int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) override;

  std::size_t QueuedChunks();

  // From now on nothing more is posted; the listener calls it when it
  // shuts down.
  void StopPosting() { PostingStopped.store(true); }

 protected:
  void Execute() override;

 private:
  TCustomTCPConnection(TDescriptor socket, std::uint16_t id, TConnectionCallbacks callbacks,
                       const std::string& address, std::uint16_t port,
                       tReceiveFilterType filterClass);

  void Wake() override { WakeUp.Signal(); }

  // SendLock held: writes the chunk at once when nothing is queued or being
  // written and no OnSend handler is set; true when the chunk needs no
  // queueing, with `wake` set when a rest was left for the connection thread.
  bool TryWriteNow(const char* Data, int Size, bool& wake) REQUIRES(SendLock);
  void SetWritable(bool writable) EXCLUDES(SendLock);
  void DoneWriting() EXCLUDES(SendLock);
  // The next chunk to write; `encoded` tells it is the rest of one a sender
  // began, which is written as it is.
  int TakeSendChunk(std::string& chunk, bool& encoded) EXCLUDES(SendLock);
  void ClearSendList() EXCLUDES(SendLock);
  void Notify(TConnectionEvent Event, const char* Data, int Size);
  // Hands the event on unless posting stopped; false when it was not.
  bool Post(tReceiveMSG& message);
  // Reads once; false at the end of the stream or on a failure. `drained`
  // tells whether the socket has nothing more to read now.
  bool ReadStep(bool& drained);
  // Writes what is pending, taking the next chunk when nothing is; false
  // when the socket failed.
  bool WriteStep();
  // Writes chunks until none is left or the socket takes no more.
  bool WriteAllQueued();

  // Shut down when the thread ends (the peer then sees the end at once) and
  // closed only when the connection is destroyed, so that SetSocketOption
  // from another thread never meets a reused descriptor number.
  const TDescriptor Socket;
  const TConnectionCallbacks Callbacks;
  std::atomic<bool> PostingStopped{false};
  TRecursiveLock SendLock;
  std::deque<std::string> SendList GUARDED_BY(SendLock);
  // The socket is non-blocking and the thread running (senders may write);
  // the connection thread holds a chunk it has not fully written; the
  // encoded rest of a chunk a sender wrote in part.
  bool Writable GUARDED_BY(SendLock) = false;
  bool Writing GUARDED_BY(SendLock) = false;
  std::string Handoff GUARDED_BY(SendLock);
  std::unique_ptr<tEmptyReceiveFilter> Filter;
  TWakeEvent WakeUp;

  // Connection thread only: the encoded chunk being written and how much of
  // it has gone out. A chunk the socket takes in part, or refuses with
  // EAGAIN, is finished before the next one, so no frame is ever torn.
  std::string Pending;
  std::size_t PendingOffset = 0;
};

}  // namespace logserver

// A listening socket served by an event loop: the one place that binds,
// retries, accepts and rests, for every stream intake.
//
// Start binds at once (the caller learns whether the port is listening);
// a port that cannot be bound is tried again every kRetryMs, on the loop,
// until Stop. Accept failures are sorted: those of one pending client (it
// reset, a network went down) are passed over; an exhausted process
// (descriptors, memory) makes the listener rest kRestMs, unwatched, with the
// clients waiting in the backlog, instead of spinning on a socket that
// stays readable; anything else closes the socket and the port is bound
// anew, as at start.
//
// Threading: Start and Stop from the owner's thread (not the loop); the
// callback runs on the loop; the state may be read from any thread.
#pragma once

#include "net/uEventLoop.h"
#include "platform/uDescriptor.h"
#include "platform/uSocket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace logserver {

class TListener final : private TLoopClient {
 public:
  static constexpr int kRetryMs = 1000;
  static constexpr int kRestMs = 100;
  static constexpr int kBacklog = 1024;

  // A new client, its socket non-blocking; on the loop.
  using TAccepted = std::function<void(TDescriptor socket, const TSocketAddress& peer)>;

  TListener(TEventLoop& loop, std::string address, std::uint16_t port, TAccepted accepted);
  ~TListener();
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;

  // True when the port is listening on return.
  bool Start();
  // Closes the socket; on return the callback is not running and will not
  // run again.
  void Stop();

  bool Listening() const { return Listening_.load(); }
  // The errno of the last failed attempt to listen, 0 while listening.
  int Failure() const { return Failure_.load(); }
  // The errno of the last failed step, accepts included (0 once the next
  // accept went well).
  int LastError() const { return LastError_.load(); }
  // The port listened on (0 while not listening).
  std::uint16_t BoundPort() const { return BoundPort_.load(); }
  // How often the listener rested for want of descriptors or memory.
  std::uint64_t Rests() const { return Rests_.load(); }

 private:
  void OnReady(bool readable, bool writable) override;
  void OnTimer() override;
  // On the loop: binds and watches, or sets the retry timer.
  void Bind();
  void CloseSocket();
  void RetryLater(int delayMs);

  TEventLoop& Loop;
  const std::string Address;
  const std::uint16_t Port;
  const TAccepted Accepted;

  // Loop thread only (Start and Stop run there, through RunAndWait).
  TDescriptor Socket;
  std::uint64_t Token = 0;
  bool Resting = false;
  bool Stopped = false;

  std::atomic<bool> Listening_{false};
  std::atomic<int> Failure_{0};
  std::atomic<int> LastError_{0};
  std::atomic<std::uint16_t> BoundPort_{0};
  std::atomic<std::uint64_t> Rests_{0};
};

}  // namespace logserver

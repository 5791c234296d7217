// The client side of the TCP intake: builds client log messages in their
// TPKT frames and sends them to a service. Used by the logsend tool, the
// tests and the benchmarks. One object per connection; not thread-safe.
#pragma once

#include "core/uClientMessage.h"
#include "platform/uDescriptor.h"

#include <cstdint>

#include <string>

namespace logserver {

// One client log message in its TPKT frame, ready to be written.
std::string BuildClientLogFrame(const tClientLogMessage& message);

class TLogClient {
 public:
  TLogClient() = default;
  ~TLogClient();
  TLogClient(const TLogClient&) = delete;
  TLogClient& operator=(const TLogClient&) = delete;

  // Connects (blocking) to host:port; false with errno set on failure.
  bool Connect(const std::string& host, std::uint16_t port);
  bool Connected() const { return Socket.Valid(); }
  // The local port of the connection, as the service sees it.
  std::uint16_t LocalPort() const;

  // Writes the message's frame whole; false when the connection failed.
  bool Send(const tClientLogMessage& message);
  // Writes raw bytes whole.
  bool SendRaw(const std::string& bytes);

  // Reads what arrives within `timeoutMs` (at most until end of stream).
  std::string Receive(int timeoutMs);

  // Half-closes the connection and waits, at most `timeoutMs`, for the
  // service to close its side: it has then read everything that was sent.
  // Waiting matters: closing with unread keep-alive frames in the receive
  // buffer would reset the connection and could discard what the service
  // has not read yet.
  bool Finish(int timeoutMs);

  void Close();

 private:
  TDescriptor Socket;
};

}  // namespace logserver

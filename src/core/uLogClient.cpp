#include "core/uLogClient.h"

#include "net/uTPKTFilter.h"
#include "platform/uSocket.h"

#include <cerrno>
#include <chrono>

namespace logserver {

std::string BuildClientLogFrame(const tClientLogMessage& message) {
  return BuildTpktFrame(BuildClientLogMessage(message));
}

TLogClient::~TLogClient() { Close(); }

bool TLogClient::Connect(const std::string& host, std::uint16_t port) {
  Close();
  Socket = SocketConnect(host, port);
  return Socket.Valid();
}

std::uint16_t TLogClient::LocalPort() const {
  return Socket.Valid() ? SocketLocalAddress(Socket.Get()).Port : 0;
}

bool TLogClient::Send(const tClientLogMessage& message) {
  return SendRaw(BuildClientLogFrame(message));
}

bool TLogClient::SendRaw(const std::string& bytes) {
  return Socket.Valid() && SocketWriteAll(Socket.Get(), bytes.data(), bytes.size());
}

std::string TLogClient::Receive(int timeoutMs) {
  std::string received;
  if (!Socket.Valid()) return received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    bool readable = false, writable = false;
    if (SocketWait(Socket.Get(), true, false, static_cast<int>(left), readable, writable) <= 0) {
      if (errno == EINTR) continue;
      break;
    }
    const long n = SocketRead(Socket.Get(), buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

bool TLogClient::Finish(int timeoutMs) {
  if (!Socket.Valid()) return false;
  // A connection the service already closed fails here; the wait below
  // then sees its end at once.
  SocketShutdownWrite(Socket.Get());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  bool ended = false;
  while (!ended) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    bool readable = false, writable = false;
    if (SocketWait(Socket.Get(), true, false, static_cast<int>(left), readable, writable) <= 0) continue;
    const long n = SocketRead(Socket.Get(), buffer, sizeof buffer);
    ended = n <= 0;
  }
  Close();
  return ended;
}

void TLogClient::Close() {
  Socket.Reset();
}

}  // namespace logserver

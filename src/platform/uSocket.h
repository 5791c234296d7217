// IPv4 and IPv6 sockets: the small set of calls the servers and clients
// need. A listening IPv6 socket is dual-stack, and an IPv4 peer reaching it
// is given as the plain IPv4 address it is (never ::ffff:a.b.c.d).
//
// Every function returns the system call's result (-1 on failure) and keeps
// errno for the caller; EINTR is retried inside where a retry is right.
// Readiness waits use poll(), so any descriptor number works. Sends never
// raise SIGPIPE. Thread-safe: nothing here keeps state.
#pragma once

#include "platform/uDescriptor.h"
#include "platform/uWakeEvent.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

// An IPv4 address in network byte order (or, with V6, an IPv6 address) and
// a port in host byte order.
struct TSocketAddress {
  std::uint32_t Address = 0;
  std::uint16_t Port = 0;
  bool V6 = false;
  std::array<std::uint8_t, 16> Address6{};
  bool SameHost(const TSocketAddress& other) const {
    return V6 == other.V6 && (V6 ? Address6 == other.Address6 : Address == other.Address);
  }
};
// The text of the address: a dotted quad, or IPv6 in its RFC 5952 form.
std::string FormatAddress(const TSocketAddress& address);
// Whether `text` is an IPv6 literal ("::", "::1", "fe80::1", ...).
bool IsIPv6Literal(const std::string& text);
// A dotted quad or an IPv6 literal into `address` (its port untouched);
// false for any other text.
bool ParseAddress(const std::string& text, TSocketAddress& address);

constexpr std::uint32_t kInvalidAddress = 0xFFFFFFFFu;

// New sockets (close-on-exec); empty on failure, errno set.
TDescriptor SocketCreateStream();
TDescriptor SocketCreateDatagram();
// For binding to `address` (a dotted quad or an IPv6 literal): an IPv6
// socket for an IPv6 one, dual-stack.
TDescriptor SocketCreateStreamFor(const std::string& address);
TDescriptor SocketCreateDatagramFor(const std::string& address);
// Binds to a dotted quad or an IPv6 literal; -1 with EINVAL for other text.
int SocketBindTo(int fd, const std::string& address, std::uint16_t port);
// FIONBIO with a non-zero argument.
int SocketSetNonBlocking(int fd);
int SocketSetReuseAddress(int fd);
int SocketSetOption(int fd, int level, int name, const void* value, int length);
// Asks for a receive buffer of `bytes`; the kernel may grant less.
int SocketSetReceiveBuffer(int fd, int bytes);
// The receive buffer the kernel granted (it reports twice the usable size).
int SocketReceiveBuffer(int fd);
// Bytes waiting to be read (FIONREAD); -1 on a failure.
long SocketPending(int fd);
// Copies up to `size` waiting bytes without taking them, never waiting.
long SocketPeek(int fd, void* buffer, std::size_t size);
// The socket is reported readable only once `bytes` wait (or it ended):
// SO_RCVLOWAT; 1 is the default.
int SocketSetReadMark(int fd, int bytes);
// Asks the kernel to tell, with each datagram read, how many it has dropped
// on this socket so far for want of room (SO_RXQ_OVFL; see
// TDatagramBatch::KernelDrops).
int SocketReportDrops(int fd);
int SocketBind(int fd, std::uint32_t address, std::uint16_t port);
int SocketListen(int fd, int backlog);
// The accepted socket (close-on-exec), empty on failure; `peer` is filled in.
TDescriptor SocketAccept(int fd, TSocketAddress& peer);
// Blocking connect of a new stream socket to host:port (name, dotted quad
// or IPv6 literal). Empty on failure, errno set.
TDescriptor SocketConnect(const std::string& host, std::uint16_t port);
// As SocketConnect, giving up after `timeoutMs` (errno ETIMEDOUT). The socket
// it returns is blocking.
TDescriptor SocketConnectWithin(const std::string& host, std::uint16_t port, int timeoutMs);
// A datagram socket whose sends go to host:port; empty on failure.
TDescriptor SocketConnectDatagram(const std::string& host, std::uint16_t port);
// Blocking sends on `fd` fail with EAGAIN after `timeoutMs`.
int SocketSetSendTimeout(int fd, int timeoutMs);
long SocketRead(int fd, void* buffer, std::size_t size);
long SocketWrite(int fd, const void* data, std::size_t size);
// Writes all `size` bytes on a blocking socket; false when a write failed.
bool SocketWriteAll(int fd, const void* data, std::size_t size);
long SocketReceiveFrom(int fd, void* buffer, std::size_t size, TSocketAddress& from);
long SocketSendTo(int fd, const void* data, std::size_t size, const TSocketAddress& to);
// As SocketSendTo, with the datagram's source address chosen per call
// (IP_PKTINFO): a local address of the machine, any of 127.0.0.0/8 on
// loopback. For tools that play many senders from one socket.
long SocketSendFrom(int fd, const void* data, std::size_t size, const TSocketAddress& to,
                    std::uint32_t from);
int SocketShutdown(int fd);
// Ends the sending direction only (the peer reads end of stream).
int SocketShutdownWrite(int fd);
TSocketAddress SocketLocalAddress(int fd);

// Waits at most `timeoutMs` for the descriptor to become readable and/or
// writable. Returns -1 (errno set, EINTR included), 0 on timeout, else a
// positive value with `readable`/`writable` telling what is ready; a hang-up
// or an error condition reads as readable, so that the next read reports it.
int SocketWait(int fd, bool forRead, bool forWrite, int timeoutMs, bool& readable, bool& writable);

// As SocketWait, also returning (with `woken` true) when `wake` is signalled;
// a negative `timeoutMs` waits without limit.
int SocketWaitOrWake(int fd, bool forRead, bool forWrite, const TWakeEvent& wake, int timeoutMs,
                     bool& readable, bool& writable, bool& woken);

// Room for a run of datagrams read with one call (recvmmsg).
class TDatagramBatch {
 public:
  static constexpr int kCapacity = 64;
  explicit TDatagramBatch(std::size_t datagramBytes);
  ~TDatagramBatch();
  TDatagramBatch(const TDatagramBatch&) = delete;
  TDatagramBatch& operator=(const TDatagramBatch&) = delete;

  // Of the last SocketReceiveMany: how many, and each one's bytes (cut to
  // datagramBytes) and sender.
  int Count() const { return Received; }
  const char* Data(int i) const;
  std::size_t Size(int i) const;
  TSocketAddress From(int i) const;
  // The datagrams the kernel had dropped on the socket when the last one of
  // the read came (with SocketReportDrops); false when it did not say.
  bool KernelDrops(std::uint32_t& drops) const;

 private:
  friend int SocketReceiveMany(int fd, TDatagramBatch& batch);
  struct TStorage;
  std::unique_ptr<TStorage> Storage;
  int Received = 0;
};

// Reads the datagrams waiting, up to kCapacity, without blocking. Returns
// their number; 0 when none waits; -1 on another failure (errno set).
int SocketReceiveMany(int fd, TDatagramBatch& batch);

// inet_addr: the dotted quad in network order, or kInvalidAddress.
std::uint32_t ParseIPv4(const std::string& text);
// Dotted quad of an address in network order (inet_ntop; no shared buffer).
std::string FormatIPv4(std::uint32_t address);
// The first IPv4 address of a host name; false when there is none.
bool ResolveIPv4(const std::string& host, std::uint32_t& address);

}  // namespace logserver

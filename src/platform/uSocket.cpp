#include "platform/uSocket.h"
#include "platform/uSocketDetail.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace logserver {

namespace socket_detail {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return sa;
}

// A peer's address as the kernel gave it; an IPv4-mapped IPv6 address
// (an IPv4 peer of a dual-stack socket) becomes the IPv4 address.
TSocketAddress FromSockaddr(const sockaddr_storage& sa) {
  TSocketAddress address;
  if (sa.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    address.Port = ntohs(in6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
      std::memcpy(&address.Address, in6.sin6_addr.s6_addr + 12, 4);
    } else {
      address.V6 = true;
      std::memcpy(address.Address6.data(), in6.sin6_addr.s6_addr, 16);
    }
    return address;
  }
  const auto& in4 = reinterpret_cast<const sockaddr_in&>(sa);
  address.Address = in4.sin_addr.s_addr;
  address.Port = ntohs(in4.sin_port);
  return address;
}

sockaddr_in6 MakeAddress6(const in6_addr& address, std::uint16_t port) {
  sockaddr_in6 sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = address;
  return sa;
}

}  // namespace socket_detail

using namespace socket_detail;

namespace {

TDescriptor CreateFor(const std::string& address, int type) {
  TDescriptor fd(socket(IsIPv6Literal(address) ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0));
  if (fd && IsIPv6Literal(address)) {
    // Dual-stack whatever net.ipv6.bindv6only says.
    int off = 0;
    if (setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) fd.Reset();
  }
  return fd;
}

}  // namespace

std::string FormatAddress(const TSocketAddress& address) {
  if (!address.V6) return FormatIPv4(address.Address);
  char text[INET6_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET6, address.Address6.data(), text, sizeof text) != nullptr ? std::string(text)
                                                                                     : std::string();
}

bool ParseAddress(const std::string& text, TSocketAddress& address) {
  in6_addr address6;
  if (inet_pton(AF_INET6, text.c_str(), &address6) == 1) {
    address.V6 = true;
    std::memcpy(address.Address6.data(), address6.s6_addr, 16);
    return true;
  }
  in_addr address4;
  if (inet_pton(AF_INET, text.c_str(), &address4) != 1) return false;
  address.V6 = false;
  address.Address = address4.s_addr;
  return true;
}

bool IsIPv6Literal(const std::string& text) {
  in6_addr address;
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

TDescriptor SocketCreateStream() { return TDescriptor(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

TDescriptor SocketCreateDatagram() { return TDescriptor(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

TDescriptor SocketCreateStreamFor(const std::string& address) { return CreateFor(address, SOCK_STREAM); }

TDescriptor SocketCreateDatagramFor(const std::string& address) { return CreateFor(address, SOCK_DGRAM); }

int SocketBindTo(int fd, const std::string& address, std::uint16_t port) {
  in6_addr address6;
  if (inet_pton(AF_INET6, address.c_str(), &address6) == 1) {
    const sockaddr_in6 sa = MakeAddress6(address6, port);
    return bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  }
  const std::uint32_t address4 = ParseIPv4(address);
  if (address4 == kInvalidAddress && address != "255.255.255.255") {
    errno = EINVAL;
    return -1;
  }
  return SocketBind(fd, address4, port);
}

int SocketSetNonBlocking(int fd) {
  int on = 1;
  return ioctl(fd, FIONBIO, &on);
}

int SocketSetReuseAddress(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int SocketSetOption(int fd, int level, int name, const void* value, int length) {
  return setsockopt(fd, level, name, value, static_cast<socklen_t>(length));
}

long SocketPending(int fd) {
  int pending = 0;
  return ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

long SocketPeek(int fd, void* buffer, std::size_t size) {
  return recv(fd, buffer, size, MSG_PEEK | MSG_DONTWAIT);
}

int SocketSetReadMark(int fd, int bytes) {
  return setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

int SocketSetReceiveBuffer(int fd, int bytes) {
  // SO_RCVBUF is capped by the system's rmem_max; a privileged process may
  // go beyond it with SO_RCVBUFFORCE.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return 0;
  return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int SocketReceiveBuffer(int fd) {
  int bytes = 0;
  socklen_t length = sizeof bytes;
  return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, &length) == 0 ? bytes : -1;
}

int SocketReportDrops(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

int SocketBind(int fd, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sa = MakeAddress(address, port);
  return bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

int SocketListen(int fd, int backlog) { return listen(fd, backlog); }

TDescriptor SocketAccept(int fd, TSocketAddress& peer) {
  sockaddr_storage sa;
  socklen_t length = sizeof sa;
  TDescriptor client(accept4(fd, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC));
  if (client) peer = FromSockaddr(sa);
  return client;
}

namespace {

// A blocking connect of `fd` to `sa`; `fd` is emptied when it fails.
template <class TAddress>
TDescriptor ConnectTo(TDescriptor fd, const TAddress& sa) {
  if (!fd) return fd;
  int rc;
  do {
    rc = connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) fd.Reset();
  return fd;
}

}  // namespace

TDescriptor SocketConnect(const std::string& host, std::uint16_t port) {
  in6_addr address6;
  if (inet_pton(AF_INET6, host.c_str(), &address6) == 1)
    return ConnectTo(TDescriptor(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)), MakeAddress6(address6, port));
  std::uint32_t address = ParseIPv4(host);
  if (address == kInvalidAddress && !ResolveIPv4(host, address)) {
    errno = EHOSTUNREACH;
    return TDescriptor();
  }
  return ConnectTo(SocketCreateStream(), MakeAddress(address, port));
}

namespace {

bool Lookup(const std::string& host, std::uint32_t& address) {
  address = ParseIPv4(host);
  if (address != kInvalidAddress || host == "255.255.255.255") return true;
  if (ResolveIPv4(host, address)) return true;
  errno = EHOSTUNREACH;
  return false;
}

}  // namespace

TDescriptor SocketConnectWithin(const std::string& host, std::uint16_t port, int timeoutMs) {
  std::uint32_t address = 0;
  if (!Lookup(host, address)) return TDescriptor();
  TDescriptor fd = SocketCreateStream();
  if (!fd) return fd;
  const int flags = fcntl(fd.Get(), F_GETFL, 0);
  if (flags < 0 || fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    fd.Reset();
    return fd;
  }
  const sockaddr_in sa = MakeAddress(address, port);
  int rc = connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
    bool readable = false, writable = false;
    rc = SocketWait(fd.Get(), false, true, timeoutMs, readable, writable);
    if (rc == 0) {
      errno = ETIMEDOUT;
      rc = -1;
    } else if (rc > 0) {
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      errno = error;
      rc = error == 0 ? 0 : -1;
    }
  }
  // The caller expects a blocking socket.
  if (rc != 0 || fcntl(fd.Get(), F_SETFL, flags) != 0) fd.Reset();
  return fd;
}

TDescriptor SocketConnectDatagram(const std::string& host, std::uint16_t port) {
  in6_addr address6;
  if (inet_pton(AF_INET6, host.c_str(), &address6) == 1) {
    TDescriptor fd(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in6 sa = MakeAddress6(address6, port);
    if (fd && connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) fd.Reset();
    return fd;
  }
  std::uint32_t address = 0;
  if (!Lookup(host, address)) return TDescriptor();
  TDescriptor fd = SocketCreateDatagram();
  if (!fd) return fd;
  const sockaddr_in sa = MakeAddress(address, port);
  if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) fd.Reset();
  return fd;
}

int SocketSetSendTimeout(int fd, int timeoutMs) {
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

long SocketRead(int fd, void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long SocketWrite(int fd, const void* data, std::size_t size) {
  ssize_t n;
  do {
    n = send(fd, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

bool SocketWriteAll(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const long n = SocketWrite(fd, bytes, size);
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int SocketShutdown(int fd) { return shutdown(fd, SHUT_RDWR); }

int SocketShutdownWrite(int fd) { return shutdown(fd, SHUT_WR); }

TSocketAddress SocketLocalAddress(int fd) {
  sockaddr_storage sa;
  socklen_t length = sizeof sa;
  return getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0 ? FromSockaddr(sa)
                                                                           : TSocketAddress();
}

int SocketWait(int fd, bool forRead, bool forWrite, int timeoutMs, bool& readable,
               bool& writable) {
  readable = writable = false;
  pollfd p;
  p.fd = fd;
  p.events = static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0));
  p.revents = 0;
  const int rc = poll(&p, 1, timeoutMs);
  if (rc > 0) {
    readable = (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    writable = (p.revents & POLLOUT) != 0;
  }
  return rc;
}

int SocketWaitOrWake(int fd, bool forRead, bool forWrite, const TWakeEvent& wake, int timeoutMs,
                     bool& readable, bool& writable, bool& woken) {
  readable = writable = woken = false;
  pollfd p[2];
  p[0].fd = fd;
  p[0].events = static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0));
  p[0].revents = 0;
  p[1].fd = wake.Descriptor();
  p[1].events = POLLIN;
  p[1].revents = 0;
  const int rc = poll(p, 2, timeoutMs < 0 ? -1 : timeoutMs);
  if (rc > 0) {
    readable = (p[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    writable = (p[0].revents & POLLOUT) != 0;
    woken = (p[1].revents & POLLIN) != 0;
  }
  return rc;
}

std::uint32_t ParseIPv4(const std::string& text) {
  if (text.find('\0') != std::string::npos) return kInvalidAddress;
  return inet_addr(text.c_str());
}

std::string FormatIPv4(std::uint32_t address) {
  in_addr a;
  a.s_addr = address;
  char text[INET_ADDRSTRLEN] = {0};
  if (inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) return std::string();
  return text;
}

bool ResolveIPv4(const std::string& host, std::uint32_t& address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
    return false;
  address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return true;
}

}  // namespace logserver

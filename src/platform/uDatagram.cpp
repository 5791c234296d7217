#include "platform/uSocket.h"
#include "platform/uSocketDetail.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

// Datagrams: one received or sent with its peer's address, and batches of
// them received with one call (recvmmsg) with the kernel's count of drops.

namespace logserver {

using namespace socket_detail;

long SocketReceiveFrom(int fd, void* buffer, std::size_t size, TSocketAddress& from) {
  sockaddr_storage sa;
  socklen_t length = sizeof sa;
  ssize_t n;
  do {
    length = sizeof sa;
    n = recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&sa), &length);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) from = FromSockaddr(sa);
  return static_cast<long>(n);
}

long SocketSendTo(int fd, const void* data, std::size_t size, const TSocketAddress& to) {
  // Linux sends to an IPv4 address from a dual-stack IPv6 socket as well.
  sockaddr_storage sa;
  socklen_t length = 0;
  if (to.V6) {
    in6_addr address6{};
    std::memcpy(address6.s6_addr, to.Address6.data(), 16);
    const sockaddr_in6 in6 = MakeAddress6(address6, to.Port);
    std::memcpy(&sa, &in6, sizeof in6);
    length = sizeof in6;
  } else {
    const sockaddr_in in4 = MakeAddress(to.Address, to.Port);
    std::memcpy(&sa, &in4, sizeof in4);
    length = sizeof in4;
  }
  ssize_t n;
  do {
    n = sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), length);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long SocketSendFrom(int fd, const void* data, std::size_t size, const TSocketAddress& to,
                    std::uint32_t from) {
  sockaddr_in sa = MakeAddress(to.Address, to.Port);
  iovec vector{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr message{};
  message.msg_name = &sa;
  message.msg_namelen = sizeof sa;
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = IPPROTO_IP;
  header->cmsg_type = IP_PKTINFO;
  header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst.s_addr = from;
  std::memcpy(CMSG_DATA(header), &info, sizeof info);
  ssize_t n;
  do {
    n = sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

struct TDatagramBatch::TStorage {
  explicit TStorage(std::size_t bytes) : DatagramBytes(bytes), Buffer(bytes * kCapacity) {}
  std::size_t DatagramBytes;
  std::vector<char> Buffer;
  mmsghdr Messages[kCapacity];
  iovec Vectors[kCapacity];
  sockaddr_storage Senders[kCapacity];
  // Room for one SO_RXQ_OVFL message per datagram.
  alignas(cmsghdr) char Control[kCapacity][CMSG_SPACE(sizeof(std::uint32_t))];
};

TDatagramBatch::TDatagramBatch(std::size_t datagramBytes)
    : Storage(std::make_unique<TStorage>(datagramBytes)) {}

TDatagramBatch::~TDatagramBatch() = default;

const char* TDatagramBatch::Data(int i) const {
  return Storage->Buffer.data() + static_cast<std::size_t>(i) * Storage->DatagramBytes;
}

std::size_t TDatagramBatch::Size(int i) const { return Storage->Messages[i].msg_len; }

bool TDatagramBatch::KernelDrops(std::uint32_t& drops) const {
  if (Received == 0) return false;
  const msghdr& header = Storage->Messages[Received - 1].msg_hdr;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
      return true;
    }
  }
  return false;
}

TSocketAddress TDatagramBatch::From(int i) const {
  return FromSockaddr(Storage->Senders[i]);
}

int SocketReceiveMany(int fd, TDatagramBatch& batch) {
  TDatagramBatch::TStorage& st = *batch.Storage;
  for (int i = 0; i < TDatagramBatch::kCapacity; ++i) {
    st.Vectors[i].iov_base = st.Buffer.data() + static_cast<std::size_t>(i) * st.DatagramBytes;
    st.Vectors[i].iov_len = st.DatagramBytes;
    std::memset(&st.Messages[i].msg_hdr, 0, sizeof st.Messages[i].msg_hdr);
    st.Messages[i].msg_hdr.msg_iov = &st.Vectors[i];
    st.Messages[i].msg_hdr.msg_iovlen = 1;
    st.Messages[i].msg_hdr.msg_name = &st.Senders[i];
    st.Messages[i].msg_hdr.msg_namelen = sizeof st.Senders[i];
    st.Messages[i].msg_hdr.msg_control = st.Control[i];
    st.Messages[i].msg_hdr.msg_controllen = sizeof st.Control[i];
    st.Messages[i].msg_len = 0;
  }
  int n;
  do {
    n = recvmmsg(fd, st.Messages, TDatagramBatch::kCapacity, MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  batch.Received = n > 0 ? n : 0;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return n;
}

}  // namespace logserver

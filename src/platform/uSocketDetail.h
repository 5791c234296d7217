// What the socket wrappers of this module share among their files; nothing
// outside src/platform includes it.
#pragma once

#include "platform/uSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace logserver::socket_detail {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port);
sockaddr_in6 MakeAddress6(const in6_addr& address, std::uint16_t port);
// A peer's address as the kernel gave it; an IPv4-mapped IPv6 address
// (an IPv4 peer of a dual-stack socket) becomes the IPv4 address.
TSocketAddress FromSockaddr(const sockaddr_storage& sa);

}  // namespace logserver::socket_detail

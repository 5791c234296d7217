// What one sender address may hold of a stream intake: at most so many
// connections, and so many TLS handshakes not yet finished, so that one
// address cannot take every slot and lock the others out. Addresses of an
// exempt list (relays the operator trusts) hold as many as they like.
//
// Threading: a TAddressList is read-only once parsed; TAddressPlaces is
// not thread-safe, its owner holds the lock that guards its connections.
#pragma once

#include "platform/uSocket.h"

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace logserver {

// Addresses and CIDR prefixes, IPv4 and IPv6.
class TAddressList {
 public:
  // Entries separated by commas or blanks: "10.0.0.0/8, 192.0.2.7 ::1
  // fd00::/8". False for a text with an entry that is neither an address
  // nor a prefix (`bad` names it); the list is then empty.
  bool Parse(const std::string& text, std::string* bad = nullptr);
  bool Contains(const TSocketAddress& address) const;
  bool Empty() const { return Prefixes.empty(); }

 private:
  struct TPrefix {
    TSocketAddress Address;
    unsigned Bits = 0;
  };
  std::vector<TPrefix> Prefixes;
};

struct TAddressCaps {
  std::size_t MaxConnections = 0;  // per address; 0: no cap
  std::size_t MaxHandshakes = 0;   // unfinished TLS handshakes per address; 0: no cap
  TAddressList Unlimited;          // addresses no cap applies to
};

class TAddressPlaces {
 public:
  explicit TAddressPlaces(TAddressCaps caps) : Caps(std::move(caps)) {}

  // A place for a new connection from `peer` (`address` is its text), and
  // one for its handshake with `handshake`; false when its address has none
  // left, and nothing is taken.
  bool Take(const std::string& address, const TSocketAddress& peer, bool handshake);
  // Gives back the connection's place, its handshake's, or both.
  void Give(const std::string& address, bool connection, bool handshake);
  void Clear() { PerAddress.clear(); }
  // New caps for the connections to come (a reload); those open keep their
  // places, so a lowered cap closes no one.
  void SetCaps(TAddressCaps caps) { Caps = std::move(caps); }

 private:
  struct TPlaces {
    std::size_t Connections = 0;
    std::size_t Handshakes = 0;
  };
  TAddressCaps Caps;
  // Only addresses with a connection, and never an exempt one.
  std::unordered_map<std::string, TPlaces> PerAddress;
};

}  // namespace logserver

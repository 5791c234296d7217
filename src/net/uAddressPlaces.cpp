#include "net/uAddressPlaces.h"

#include <cstdint>
#include <cstring>

namespace logserver {

namespace {

// The address's bytes, most significant first, IPv4 in four.
std::vector<std::uint8_t> Bytes(const TSocketAddress& address) {
  if (address.V6) return std::vector<std::uint8_t>(address.Address6.begin(), address.Address6.end());
  // Network order: the bytes as they stand in memory.
  std::vector<std::uint8_t> bytes(4);
  std::memcpy(bytes.data(), &address.Address, 4);
  return bytes;
}

}  // namespace

bool TAddressList::Parse(const std::string& text, std::string* bad) {
  Prefixes.clear();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find_first_of(", \t", at);
    const std::string entry = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    if (entry.empty()) continue;
    TPrefix prefix;
    const std::size_t slash = entry.find('/');
    bool valid = ParseAddress(entry.substr(0, slash), prefix.Address);
    const unsigned width = prefix.Address.V6 ? 128 : 32;
    prefix.Bits = width;
    if (valid && slash != std::string::npos) {
      const std::string bits = entry.substr(slash + 1);
      valid = !bits.empty() && bits.size() <= 3 && bits.find_first_not_of("0123456789") == std::string::npos &&
              static_cast<unsigned>(std::stoul(bits)) <= width;
      if (valid) prefix.Bits = static_cast<unsigned>(std::stoul(bits));
    }
    if (!valid) {
      if (bad != nullptr) *bad = entry;
      Prefixes.clear();
      return false;
    }
    Prefixes.push_back(prefix);
  }
  return true;
}

bool TAddressList::Contains(const TSocketAddress& address) const {
  if (Prefixes.empty()) return false;
  const std::vector<std::uint8_t> bytes = Bytes(address);
  for (const TPrefix& prefix : Prefixes) {
    if (prefix.Address.V6 != address.V6) continue;
    const std::vector<std::uint8_t> wanted = Bytes(prefix.Address);
    unsigned bits = prefix.Bits;
    bool match = true;
    for (std::size_t i = 0; match && bits > 0; ++i, bits = bits > 8 ? bits - 8 : 0) {
      const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xFF : 0xFF << (8 - bits));
      match = (bytes[i] & mask) == (wanted[i] & mask);
    }
    if (match) return true;
  }
  return false;
}

bool TAddressPlaces::Take(const std::string& address, const TSocketAddress& peer, bool handshake) {
  if ((Caps.MaxConnections == 0 && Caps.MaxHandshakes == 0) || Caps.Unlimited.Contains(peer)) return true;
  TPlaces& places = PerAddress[address];
  if ((Caps.MaxConnections != 0 && places.Connections >= Caps.MaxConnections) ||
      (handshake && Caps.MaxHandshakes != 0 && places.Handshakes >= Caps.MaxHandshakes)) {
    if (places.Connections == 0) PerAddress.erase(address);
    return false;
  }
  ++places.Connections;
  if (handshake) ++places.Handshakes;
  return true;
}

void TAddressPlaces::Give(const std::string& address, bool connection, bool handshake) {
  const auto found = PerAddress.find(address);
  if (found == PerAddress.end()) return;  // exempt, or never counted
  TPlaces& places = found->second;
  if (connection && places.Connections > 0) --places.Connections;
  if (handshake && places.Handshakes > 0) --places.Handshakes;
  if (places.Connections == 0) PerAddress.erase(found);
}

}  // namespace logserver

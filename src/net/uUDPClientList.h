// The UDP server's table of peers: 1024 slots, each holding the address and
// port of one sender. A peer's slot is its identity while it stays listed.
//
// Finding a peer, adding one and finding the lowest free slot cost the same
// however many peers are listed (a hash index beside the slots, a bit per
// slot), so a server that hears from thousands of senders does not slow
// down with them.
//
// Thread-safe: every operation holds the list's recursive lock for its whole
// duration; Lock and Unlock let a caller group several operations.
#pragma once

#include "platform/uSync.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace logserver {

struct tUDPClient {
  std::string Address;  // dotted quad
  std::uint16_t Port = 0;
};
using pUDPClient = std::unique_ptr<tUDPClient>;

class TUDPClintList {
 public:
  static constexpr int kSlots = 1024;
  static constexpr std::uint16_t kFullSlot = 255;

  // The occupied slot holding exactly this address and port.
  bool FindClient(const std::string& Address, std::uint16_t Port, std::uint16_t& Index)
      EXCLUDES(Guard);
  // Stores a copy in the lowest free slot; 255 (and nothing stored) when full.
  std::uint16_t AddClient(const tUDPClient& Client) EXCLUDES(Guard);
  bool GetClient(int Index, tUDPClient& Client) EXCLUDES(Guard);
  bool RemoveClient(std::uint16_t Index) EXCLUDES(Guard);
  void Clear() EXCLUDES(Guard);

  void Lock() ACQUIRE(Guard) { Guard.Lock(); }
  void Unlock() RELEASE(Guard) { Guard.Unlock(); }

 private:
  // "port address" with the port as two bytes: one string per peer, looked
  // up without building it again from the texts.
  static std::string IndexKey(std::string_view address, std::uint16_t port);

  static constexpr int kWords = kSlots / 64;
  TRecursiveLock Guard;
  std::array<pUDPClient, kSlots> Slots GUARDED_BY(Guard);
  std::array<std::uint64_t, kWords> Occupied GUARDED_BY(Guard) = {};
  std::unordered_map<std::string, std::uint16_t> SlotOf GUARDED_BY(Guard);
};

}  // namespace logserver

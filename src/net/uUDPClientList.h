// The UDP server's table of peers: 1024 slots, each holding the address and
// port of one sender. A peer's slot is its identity while it stays listed.
//
// Thread-safe: every operation holds the list's recursive lock for its whole
// duration; Lock and Unlock let a caller group several operations.
#pragma once

#include "platform/uSync.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

struct tUDPClient {
  std::string Address;  // dotted quad
  std::uint16_t Port = 0;
};
using pUDPClient = std::unique_ptr<tUDPClient>;

// 1024 peer slots; a peer's slot is its identity while it stays listed.
// Every operation holds the list's recursive lock for its whole duration.
class TUDPClintList {
 public:
  static constexpr int kSlots = 1024;
  static constexpr std::uint16_t kFullSlot = 255;

  // The first occupied slot holding exactly this address and port.
  bool FindClient(const std::string& Address, std::uint16_t Port, std::uint16_t& Index);
  // Stores a copy in the lowest free slot; 255 (and nothing stored) when full.
  std::uint16_t AddClient(const tUDPClient& Client);
  bool GetClient(int Index, tUDPClient& Client);
  bool RemoveClient(std::uint16_t Index);
  void Clear();

  void Lock() ACQUIRE(Guard) { Guard.Lock(); }
  void Unlock() RELEASE(Guard) { Guard.Unlock(); }

 private:
  TRecursiveLock Guard;
  std::array<pUDPClient, kSlots> Slots GUARDED_BY(Guard);
};

}  // namespace logserver

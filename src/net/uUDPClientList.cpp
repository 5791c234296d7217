#include "net/uUDPClientList.h"

namespace logserver {

std::string TUDPClintList::IndexKey(std::string_view address, std::uint16_t port) {
  std::string key;
  key.reserve(address.size() + 2);
  key += static_cast<char>(port >> 8);
  key += static_cast<char>(port & 0xFF);
  key += address;
  return key;
}

bool TUDPClintList::FindClient(const std::string& Address, std::uint16_t Port,
                               std::uint16_t& Index) {
  TLockGuard guard(Guard);
  const auto found = SlotOf.find(IndexKey(Address, Port));
  if (found == SlotOf.end()) return false;
  Index = found->second;
  return true;
}

std::uint16_t TUDPClintList::AddClient(const tUDPClient& Client) {
  TLockGuard guard(Guard);
  for (int word = 0; word < kWords; ++word) {
    const std::uint64_t free = ~Occupied[static_cast<std::size_t>(word)];
    if (free == 0) continue;
    const int slot = word * 64 + __builtin_ctzll(free);
    Occupied[static_cast<std::size_t>(word)] |= std::uint64_t{1} << (slot % 64);
    Slots[static_cast<std::size_t>(slot)] = std::make_unique<tUDPClient>(Client);
    // The lowest slot of a peer listed twice answers for it.
    const auto [known, added] =
        SlotOf.emplace(IndexKey(Client.Address, Client.Port), static_cast<std::uint16_t>(slot));
    if (!added && slot < known->second) known->second = static_cast<std::uint16_t>(slot);
    return static_cast<std::uint16_t>(slot);
  }
  return kFullSlot;
}

bool TUDPClintList::GetClient(int Index, tUDPClient& Client) {
  TLockGuard guard(Guard);
  if (Index < 0 || Index >= kSlots || !Slots[static_cast<std::size_t>(Index)]) return false;
  Client = *Slots[static_cast<std::size_t>(Index)];
  return true;
}

bool TUDPClintList::RemoveClient(std::uint16_t Index) {
  TLockGuard guard(Guard);
  if (Index >= kSlots || !Slots[Index]) return false;
  const pUDPClient& client = Slots[Index];
  const auto found = SlotOf.find(IndexKey(client->Address, client->Port));
  if (found != SlotOf.end() && found->second == Index) {
    SlotOf.erase(found);
    // Another slot of the same peer (listed twice) answers for it now.
    for (int slot = 0; slot < kSlots; ++slot) {
      const pUDPClient& other = Slots[static_cast<std::size_t>(slot)];
      if (slot != Index && other && other->Port == client->Port && other->Address == client->Address) {
        SlotOf.emplace(IndexKey(other->Address, other->Port), static_cast<std::uint16_t>(slot));
        break;
      }
    }
  }
  Slots[Index].reset();
  Occupied[Index / 64] &= ~(std::uint64_t{1} << (Index % 64));
  return true;
}

void TUDPClintList::Clear() {
  TLockGuard guard(Guard);
  for (pUDPClient& c : Slots) c.reset();
  Occupied.fill(0);
  SlotOf.clear();
}

}  // namespace logserver

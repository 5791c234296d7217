#include "net/uUDPClientList.h"

namespace logserver {

bool TUDPClintList::FindClient(const std::string& Address, std::uint16_t Port,
                               std::uint16_t& Index) {
  TLockGuard guard(Guard);
  for (int i = 0; i < kSlots; ++i) {
    const pUDPClient& c = Slots[static_cast<std::size_t>(i)];
    if (c && c->Port == Port && c->Address == Address) {
      Index = static_cast<std::uint16_t>(i);
      return true;
    }
  }
  return false;
}

std::uint16_t TUDPClintList::AddClient(const tUDPClient& Client) {
  TLockGuard guard(Guard);
  for (int i = 0; i < kSlots; ++i) {
    pUDPClient& c = Slots[static_cast<std::size_t>(i)];
    if (!c) {
      c = std::make_unique<tUDPClient>(Client);
      return static_cast<std::uint16_t>(i);
    }
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
  Slots[Index].reset();
  return true;
}

void TUDPClintList::Clear() {
  TLockGuard guard(Guard);
  for (pUDPClient& c : Slots) c.reset();
}

}  // namespace logserver

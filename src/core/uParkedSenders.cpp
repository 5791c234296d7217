#include "core/uParkedSenders.h"

namespace logserver {

std::string TParkedSenders::KeyOf(const tLogQueueElement& element) {
  return element.ClientAddress + ":" + std::to_string(element.ClientPort);
}

bool TParkedSenders::TakeIfWaiting(pLogQueueElement& element) {
  if (Lines.empty() || !element) return false;
  const auto found = Lines.find(KeyOf(*element));
  if (found == Lines.end()) return false;
  Bytes += tLogQueue::SizeOf(element);
  found->second.push_back(std::move(element));
  return true;
}

void TParkedSenders::Hold(const tLogQueueElement& element) {
  std::string key = KeyOf(element);
  if (Lines.contains(key)) return;
  Lines.emplace(key, std::deque<pLogQueueElement>());
  Turns.push_back(std::move(key));
}

pLogQueueElement TParkedSenders::Next() {
  while (!Turns.empty()) {
    if (Turn >= Turns.size()) Turn = 0;
    const auto found = Lines.find(Turns[Turn]);
    if (found->second.empty()) {
      Lines.erase(found);
      Turns.erase(Turns.begin() + static_cast<std::ptrdiff_t>(Turn));
      continue;
    }
    pLogQueueElement element = std::move(found->second.front());
    found->second.pop_front();
    Bytes -= tLogQueue::SizeOf(element);
    ++Turn;
    return element;
  }
  return nullptr;
}

}  // namespace logserver

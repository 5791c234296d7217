#include "net/uUnfinishedBytes.h"

#include "platform/uTime.h"

namespace logserver {

TUnfinishedHolder::~TUnfinishedHolder() { ForgetUnfinished(); }

void TUnfinishedHolder::HoldUnfinished(std::size_t bytes, bool finishedOne) {
  // The common case, messages that end with the read, costs no lock.
  if (Ledger == nullptr || Evicted()) return;
  if (bytes == 0 && !Listed.load(std::memory_order_relaxed)) return;
  Ledger->Hold(*this, bytes, finishedOne);
}

void TUnfinishedHolder::ForgetUnfinished() {
  if (Ledger != nullptr) Ledger->Forget(*this);
}

void TUnfinishedBytes::Unlink(TUnfinishedHolder& holder) {
  (holder.Prev ? holder.Prev->Next : First) = holder.Next;
  (holder.Next ? holder.Next->Prev : Last) = holder.Prev;
  holder.Prev = holder.Next = nullptr;
  holder.Listed.store(false, std::memory_order_relaxed);
  Total.fetch_sub(holder.Held, std::memory_order_relaxed);
  holder.Held = 0;
}

void TUnfinishedBytes::Append(TUnfinishedHolder& holder, std::uint64_t now) {
  holder.Prev = Last;
  holder.Next = nullptr;
  (Last ? Last->Next : First) = &holder;
  Last = &holder;
  holder.Listed.store(true, std::memory_order_relaxed);
  holder.Since = now;
}

void TUnfinishedBytes::Hold(TUnfinishedHolder& holder, std::size_t bytes, bool finishedOne) {
  TMutexLock lock(Guard);
  if (holder.Evicted()) return;
  const std::uint64_t now = MonotonicMilliseconds();
  if (holder.Listed.load() && (bytes == 0 || finishedOne)) Unlink(holder);
  if (bytes == 0) return;
  if (!holder.Listed.load()) Append(holder, now);
  Total.fetch_add(bytes - holder.Held, std::memory_order_relaxed);  // modulo arithmetic: a shrink too
  holder.Held = bytes;
  TrimLocked(now);
}

void TUnfinishedBytes::Forget(TUnfinishedHolder& holder) {
  TMutexLock lock(Guard);
  if (holder.Listed.load()) Unlink(holder);
}

void TUnfinishedBytes::Trim() {
  TMutexLock lock(Guard);
  TrimLocked(MonotonicMilliseconds());
}

void TUnfinishedBytes::TrimLocked(std::uint64_t now) {
  const std::size_t limit = Limit.load(std::memory_order_relaxed);
  if (limit == 0) return;
  // Past twice the limit, senders fill memory faster than anybody stalls:
  // the oldest go whatever their age.
  for (;;) {
    const std::size_t total = Total.load(std::memory_order_relaxed);
    if (First == nullptr || total <= limit || (now - First->Since < kMinStallMs && total <= 2 * limit)) break;
    TUnfinishedHolder& oldest = *First;
    Unlink(oldest);
    oldest.Evicted_.store(true, std::memory_order_relaxed);
    Evictions.fetch_add(1, std::memory_order_relaxed);
    if (oldest.WakeLoop != nullptr) oldest.WakeLoop->Wake(oldest.WakeToken);
  }
}

}  // namespace logserver

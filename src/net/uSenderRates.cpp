#include "net/uSenderRates.h"

#include "platform/uTime.h"

#include <algorithm>
#include <cmath>

namespace logserver {

TSenderRate::TSenderRate(TSenderRates& table, std::string address, std::uint64_t nowMs)
    : Table(table), Address(std::move(address)) {
  // A new sender starts with its whole burst.
  const TRateLimits limits = table.Limits();
  const double now = static_cast<double>(nowMs) / 1000.0;
  TMutexLock lock(Guard);
  Messages = {static_cast<double>(limits.MessagesPerSecond) * limits.BurstSeconds, now};
  Bytes = {static_cast<double>(limits.BytesPerSecond) * limits.BurstSeconds, now};
}

void TSenderRate::Refill(const TRateLimits& limits, std::uint64_t nowMs) {
  const double now = static_cast<double>(nowMs) / 1000.0;
  // At least one message's and one second's worth, so that a burst of 0
  // or a rate below one a second still lets the sender on.
  const double burst = std::max<double>(limits.BurstSeconds, 1.0);
  Messages.Refill(limits.MessagesPerSecond, std::max(limits.MessagesPerSecond * burst, 1.0), now);
  Bytes.Refill(limits.BytesPerSecond, std::max(limits.BytesPerSecond * burst, 1.0), now);
}

bool TSenderRate::NoteOver(std::uint64_t nowMs) {
  LastOverMs = nowMs;
  if (Limited) return false;
  Limited = true;
  Decided = false;
  SinceMs = nowMs;
  Dropped = 0;
  return true;
}

std::uint64_t TSenderRate::Charge(TIntakeKind intake, std::size_t messages, std::size_t bytes,
                                  std::uint64_t nowMs) {
  const TRateLimits limits = Table.Limits();
  if (limits.Off() || messages == 0) return 0;
  std::uint64_t resumeMs = 0;
  bool begins = false;
  {
    TMutexLock lock(Guard);
    Refill(limits, nowMs);
    // What was read is taken whole: the debt is paid by waiting.
    double waitSeconds = 0;
    if (limits.MessagesPerSecond != 0) {
      Messages.Tokens -= static_cast<double>(messages);
      if (Messages.Tokens < 0) waitSeconds = -Messages.Tokens / limits.MessagesPerSecond;
    }
    if (limits.BytesPerSecond != 0) {
      Bytes.Tokens -= static_cast<double>(bytes);
      if (Bytes.Tokens < 0) waitSeconds = std::max(waitSeconds, -Bytes.Tokens / limits.BytesPerSecond);
    }
    if (waitSeconds > 0) {
      begins = NoteOver(nowMs);
      resumeMs = nowMs + static_cast<std::uint64_t>(std::ceil(waitSeconds * 1000.0)) + 1;
    }
  }
  if (resumeMs != 0) Table.Count(intake, messages);
  if (begins) Table.NoteLimited(shared_from_this());
  return resumeMs;
}

bool TSenderRate::Admit(std::size_t bytes, std::uint64_t nowMs) {
  const TRateLimits limits = Table.Limits();
  if (limits.Off()) return true;
  bool begins = false;
  {
    TMutexLock lock(Guard);
    Refill(limits, nowMs);
    const bool fits = (limits.MessagesPerSecond == 0 || Messages.Tokens >= 1.0) &&
                      (limits.BytesPerSecond == 0 || Bytes.Tokens > 0);
    if (fits) {
      Messages.Tokens -= 1.0;
      Bytes.Tokens -= static_cast<double>(bytes);
      return true;
    }
    begins = NoteOver(nowMs);
    ++Dropped;
  }
  Table.Count(ikUdp, 1);
  if (begins) Table.NoteLimited(shared_from_this());
  return false;
}

TSenderRates::TSenderRates(TRateLimits limits, TAddressList unlimited)
    : MessagesPerSecond(limits.MessagesPerSecond),
      BytesPerSecond(limits.BytesPerSecond),
      BurstSeconds(limits.BurstSeconds),
      Unlimited(std::move(unlimited)) {}

TRateLimits TSenderRates::Limits() const {
  return {MessagesPerSecond.load(std::memory_order_relaxed), BytesPerSecond.load(std::memory_order_relaxed),
          BurstSeconds.load(std::memory_order_relaxed)};
}

void TSenderRates::SetLimits(const TRateLimits& limits, TAddressList unlimited) {
  {
    TMutexLock lock(Guard);
    Unlimited = std::move(unlimited);
  }
  MessagesPerSecond.store(limits.MessagesPerSecond, std::memory_order_relaxed);
  BytesPerSecond.store(limits.BytesPerSecond, std::memory_order_relaxed);
  BurstSeconds.store(limits.BurstSeconds, std::memory_order_relaxed);
  Generation_.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<TSenderRate> TSenderRates::For(const std::string& address, const TSocketAddress& peer) {
  if (Limits().Off()) return nullptr;
  TMutexLock lock(Guard);
  if (Unlimited.Contains(peer)) return nullptr;
  const auto found = Rates.find(address);
  if (found != Rates.end()) return found->second;
  if (Rates.size() >= kMaxSenders) return nullptr;
  auto rate = std::make_shared<TSenderRate>(*this, address, MonotonicMilliseconds());
  Rates.emplace(address, rate);
  return rate;
}

void TSenderRates::NoteLimited(std::shared_ptr<TSenderRate> rate) {
  TMutexLock lock(Guard);
  LimitedList.push_back(std::move(rate));
  LimitedNow.store(LimitedList.size(), std::memory_order_relaxed);
}

std::vector<std::string> TSenderRates::Sweep(std::uint64_t nowMs) {
  std::vector<std::string> lines;
  TMutexLock lock(Guard);
  std::erase_if(LimitedList, [&](const std::shared_ptr<TSenderRate>& rate) {
    TMutexLock rateLock(rate->Guard);
    if (!rate->Decided) {
      // Told at most once a minute; a quieter episode is counted only.
      rate->Decided = true;
      rate->Told = rate->LastToldMs == 0 || nowMs - rate->LastToldMs >= kTellEveryMs;
      if (rate->Told) {
        rate->LastToldMs = nowMs;
        lines.push_back("RATE LIMITED: " + rate->Address);
      }
    }
    if (nowMs - rate->LastOverMs < kEndAfterMs) return false;
    rate->Limited = false;
    if (rate->Told) {
      const std::uint64_t seconds = (rate->LastOverMs - rate->SinceMs + 999) / 1000;
      lines.push_back("RATE LIMIT ENDED: " + rate->Address + " (" + std::to_string(rate->Dropped) +
                      " messages dropped, " + std::to_string(seconds) + " s)");
    }
    return true;
  });
  LimitedNow.store(LimitedList.size(), std::memory_order_relaxed);
  Forget(nowMs);
  return lines;
}

void TSenderRates::Forget(std::uint64_t nowMs) {
  // Every ten seconds: an allowance nobody else holds, whose buckets are
  // full again, tells nothing a new one would not.
  if (nowMs - ForgottenMs < kEndAfterMs) return;
  ForgottenMs = nowMs;
  const double fullAfter = static_cast<double>(std::max<std::uint32_t>(BurstSeconds.load(), 1) + 1);
  const double now = static_cast<double>(nowMs) / 1000.0;
  std::erase_if(Rates, [&](const auto& entry) {
    if (entry.second.use_count() != 1) return false;
    TMutexLock rateLock(entry.second->Guard);
    return !entry.second->Limited && now - entry.second->Messages.At >= fullAfter;
  });
}

bool TReadPace::Charge(TEventLoop& loop, std::uint64_t token, std::size_t messages, std::size_t bytes) {
  if (Table == nullptr || token == 0) return false;
  if (const std::uint64_t generation = Table->Generation(); generation != Generation) {
    Generation = generation;
    TSocketAddress peer;
    Rate = ParseAddress(*Address, peer) ? Table->For(*Address, peer) : nullptr;
  }
  if (!Rate) return false;
  const std::uint64_t resumeMs = Rate->Charge(Intake, messages, bytes, MonotonicMilliseconds());
  if (resumeMs == 0) return false;
  // A refused change leaves the socket watched: the connection is then read
  // when it is ready, as it was before the limit.
  loop.WatchRead(token, false);
  ResumeAtMs = std::max(ResumeAtMs, resumeMs);
  // One timer of its own at a time; a later resume is set when it fires.
  if (TimerAtMs == 0) {
    TimerAtMs = ResumeAtMs;
    loop.SetTimer(token, TimerAtMs);
  }
  return true;
}

void TReadPace::OnTimer(TEventLoop& loop, std::uint64_t token) {
  const std::uint64_t now = MonotonicMilliseconds();
  // The connection's other timers call this too.
  if (TimerAtMs != 0 && now >= TimerAtMs) TimerAtMs = 0;
  if (ResumeAtMs == 0) return;
  if (now < ResumeAtMs) {
    if (TimerAtMs == 0) {
      TimerAtMs = ResumeAtMs;
      loop.SetTimer(token, TimerAtMs);
    }
    return;
  }
  ResumeAtMs = 0;
  loop.WatchRead(token, true);
  loop.ServeAgain(token);
}

}  // namespace logserver

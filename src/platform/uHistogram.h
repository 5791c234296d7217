// A histogram of durations for metrics: fixed buckets, each a relaxed
// atomic count, so that observing costs a few additions and reading it
// (a scrape, on another thread) takes no lock and holds nobody up.
//
// Thread-safe. A reading taken while observations go on may be a moment
// out of step between its buckets; each count only ever grows.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace logserver {

class TDurationHistogram {
 public:
  // Upper bounds in seconds (Prometheus's "le"); the last bucket is +Inf.
  static constexpr std::array<double, 12> kBounds = {0.0001, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                     0.025,  0.05,   0.1,   0.25,   1.0,   5.0};

  void Observe(double seconds, std::uint64_t times = 1) {
    std::size_t bucket = 0;
    while (bucket < kBounds.size() && seconds > kBounds[bucket]) ++bucket;
    Counts[bucket].fetch_add(times, std::memory_order_relaxed);
    // The sum in microseconds keeps it an integer addition.
    SumMicroseconds.fetch_add(static_cast<std::uint64_t>(seconds * 1e6) * times,
                              std::memory_order_relaxed);
  }

  struct TReading {
    std::array<std::uint64_t, kBounds.size() + 1> Counts{};  // per bucket, not cumulative
    double SumSeconds = 0;
    std::uint64_t Total = 0;
  };
  TReading Read() const {
    TReading reading;
    for (std::size_t i = 0; i < Counts.size(); ++i) {
      reading.Counts[i] = Counts[i].load(std::memory_order_relaxed);
      reading.Total += reading.Counts[i];
    }
    reading.SumSeconds = static_cast<double>(SumMicroseconds.load(std::memory_order_relaxed)) / 1e6;
    return reading;
  }

 private:
  std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> Counts{};
  std::atomic<std::uint64_t> SumMicroseconds{0};
};

}  // namespace logserver

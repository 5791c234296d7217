// Histograms for metrics: fixed buckets, each a relaxed atomic count, so
// that observing costs a few additions and reading one (a scrape, on
// another thread) takes no lock and holds nobody up. Durations are
// observed in seconds, sizes in bytes.
//
// Thread-safe. A reading taken while observations go on may be a moment
// out of step between its buckets; each count only ever grows.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace logserver {

// Upper bounds (Prometheus's "le"); the last bucket is +Inf.
inline constexpr std::array<double, 12> kDurationBounds = {0.0001, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                           0.025,  0.05,   0.1,   0.25,   1.0,   5.0};
inline constexpr std::array<double, 9> kSizeBounds = {256, 1024, 4096, 8192, 16384, 32768, 65536, 131072, 1048576};

template <const auto& Bounds>
class TBucketHistogram {
 public:
  static constexpr const auto& kBounds = Bounds;

  void Observe(double value, std::uint64_t times = 1) {
    std::size_t bucket = 0;
    while (bucket < kBounds.size() && value > kBounds[bucket]) ++bucket;
    Counts[bucket].fetch_add(times, std::memory_order_relaxed);
    // The sum in millionths keeps it an integer addition.
    SumMillionths.fetch_add(static_cast<std::uint64_t>(value * 1e6) * times, std::memory_order_relaxed);
  }

  struct TReading {
    std::array<std::uint64_t, Bounds.size() + 1> Counts{};  // per bucket, not cumulative
    double Sum = 0;
    std::uint64_t Total = 0;
  };
  TReading Read() const {
    TReading reading;
    for (std::size_t i = 0; i < Counts.size(); ++i) {
      reading.Counts[i] = Counts[i].load(std::memory_order_relaxed);
      reading.Total += reading.Counts[i];
    }
    reading.Sum = static_cast<double>(SumMillionths.load(std::memory_order_relaxed)) / 1e6;
    return reading;
  }

 private:
  std::array<std::atomic<std::uint64_t>, Bounds.size() + 1> Counts{};
  std::atomic<std::uint64_t> SumMillionths{0};
};

using TDurationHistogram = TBucketHistogram<kDurationBounds>;
using TSizeHistogram = TBucketHistogram<kSizeBounds>;

}  // namespace logserver

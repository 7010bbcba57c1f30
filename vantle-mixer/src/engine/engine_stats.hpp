// Statistics of one `Mixer`'s engine, shared without locks: the process callback
// writes the cycle timing, the JACK notification thread the xrun count, the main
// thread the CPU load, the broadcast thread the ingest drops; the diagnostics read
// them all.
#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace vantle::engine {

class EngineStats {
 public:
  EngineStats(std::uint32_t sample_rate, std::uint32_t buffer_size, std::size_t slot_count)
      : start(std::chrono::steady_clock::now()),
        sample_rate(sample_rate),
        buffer_size(buffer_size),
        slot_count_(slot_count),
        slot_drops_(std::make_unique<std::atomic<std::uint64_t>[]>(slot_count)) {}

  const std::chrono::steady_clock::time_point start;
  const std::uint32_t sample_rate;
  const std::uint32_t buffer_size;

  std::atomic<std::uint64_t> last_us{0};
  std::atomic<std::uint64_t> max_us{0};
  std::atomic<std::uint64_t> ewma{0};  // microseconds x 256
  std::atomic<std::uint32_t> cpu_load{0};  // tenths of a percent
  std::atomic<std::uint32_t> xrun_count{0};

  // Real-time thread: folds one cycle's duration into last, max and the average
  // (weight 1/16, 8 fractional bits).
  void record_cycle(std::uint64_t us) noexcept {
    last_us.store(us, std::memory_order_relaxed);
    if (us > max_us.load(std::memory_order_relaxed)) max_us.store(us, std::memory_order_relaxed);
    std::uint64_t avg = ewma.load(std::memory_order_relaxed);
    if (avg == 0) {
      avg = us * 256;
    } else {
      auto diff = static_cast<std::int64_t>(us * 256 - avg);
      avg = static_cast<std::uint64_t>(static_cast<std::int64_t>(avg) + (diff >> 4));
    }
    ewma.store(avg, std::memory_order_relaxed);
  }

  // Real-time thread: microseconds since `t0` (0 if the clock went backwards).
  static std::uint64_t elapsed_us(const timespec& t0) noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t ns = (static_cast<std::int64_t>(now.tv_sec) - t0.tv_sec) * 1'000'000'000 + (now.tv_nsec - t0.tv_nsec);
    return ns < 0 ? 0 : static_cast<std::uint64_t>(ns) / 1000;
  }

  double ewma_us() const { return static_cast<double>(ewma.load(std::memory_order_relaxed)) / 256.0; }
  double headroom_us() const {
    if (sample_rate == 0) return 0.0;
    return static_cast<double>(buffer_size) / sample_rate * 1'000'000.0 - ewma_us();
  }
  // The longest cycle since the previous call.
  std::uint64_t take_max_us() { return max_us.exchange(0, std::memory_order_relaxed); }

  // Main thread: JACK's CPU load in percent, stored in tenths, saturating.
  void store_cpu_load(float percent) {
    double tenths = static_cast<double>(percent) * 10.0;
    std::uint32_t value = 0;
    if (tenths >= 4294967295.0) {
      value = 4294967295u;
    } else if (tenths > 0.0) {  // NaN and negatives give 0
      value = static_cast<std::uint32_t>(tenths);
    }
    cpu_load.store(value, std::memory_order_relaxed);
  }

  // Samples discarded because an ingest slot ring was full, per slot.
  std::size_t slot_count() const { return slot_count_; }
  std::atomic<std::uint64_t>& slot_drops(std::size_t slot) { return slot_drops_[slot]; }

 private:
  std::size_t slot_count_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> slot_drops_;
};

}  // namespace vantle::engine

// Level meters handed from the process callback to the meters writer: a triple
// buffer of fixed-size frames, so publishing every cycle neither allocates nor waits.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace vantle::meters {

// Channels at positions beyond this report 0.0 (their audio is mixed normally).
inline constexpr std::size_t kMeteredChannels = 32;

struct PeakPair {
  float left = 0.0f;
  float right = 0.0f;
};

enum MeterList : std::size_t { kInput = 0, kMain = 1, kMonitor = 2, kCue = 3 };

// Peaks of one cycle, linear (1.0 = full scale).
struct MeterFrame {
  // Channels configured; 0 in the empty frame shown before the first cycle.
  std::uint32_t channel_count = 0;
  // Per list (input, main, monitor, cue) the first 32 channels' peaks.
  std::array<std::array<PeakPair, kMeteredChannels>, 4> channels{};
  // Bus peaks after master gain and clip: main, monitor, cue.
  std::array<float, 3> bus_out{};
};

class MeterSlot {
 public:
  // Real-time thread: the frame to fill for this cycle, then publish it.
  MeterFrame& rt_frame() noexcept { return frames_[back_]; }
  void rt_publish() noexcept {
    back_ = middle_.exchange(static_cast<std::uint8_t>(back_ | kFresh), std::memory_order_acq_rel) & kIndex;
  }

  // The one reader (the meters writer): the latest published frame, or the empty one.
  const MeterFrame& latest() noexcept {
    if (middle_.load(std::memory_order_acquire) & kFresh) {
      front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
    }
    return frames_[front_];
  }

 private:
  static constexpr std::uint8_t kFresh = 4;
  static constexpr std::uint8_t kIndex = 3;

  std::array<MeterFrame, 3> frames_{};
  std::uint8_t back_ = 0;   // real-time thread only
  std::uint8_t front_ = 1;  // reader only
  alignas(64) std::atomic<std::uint8_t> middle_{2};
};

}  // namespace vantle::meters

// A stereo delay line whose size is a power of two, so positions wrap with a mask.
// The bus effects and the per-relay session delays are built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantle::dsp {

class DelayLine {
 public:
  // Sized for `ms` milliseconds at `sample_rate`: the smallest power of two holding
  // ceil(sample_rate * ms / 1000) samples (1 when that is below 2). Delay 0, silent.
  // Allocates: never on the real-time thread. Throws std::length_error for a line
  // longer than memory can address, std::bad_alloc when the memory is not there.
  DelayLine(double sample_rate, double ms);

  // The size such a line gets. Saturates instead of overflowing: at most 2^63.
  static std::uint64_t size_for(double sample_rate, double ms);
  // A delay of `ms` on a line of `size`: min(size - 1, round(sample_rate * ms / 1000)),
  // halves away from zero, negative or NaN products counting as 0.
  static std::uint64_t delay_for(double sample_rate, double ms, std::uint64_t size);

  std::size_t size() const { return left_.size(); }
  std::size_t delay() const { return delay_; }
  void set_delay(std::size_t samples) { delay_ = samples; }
  void set_delay_ms(double sample_rate, double ms) { delay_ = delay_for(sample_rate, ms, size()); }

  // The frame `delay` samples behind the write position (read before writing the
  // frame of this instant), then the write of the new frame and the advance.
  void read_delayed(float& left, float& right) const noexcept {
    const std::size_t pos = (write_ - delay_) & mask_;
    left = left_[pos];
    right = right_[pos];
  }
  void write_and_advance(float left, float right) noexcept {
    left_[write_] = left;
    right_[write_] = right;
    write_ = (write_ + 1) & mask_;
  }

  // Silence and write position 0, as when created. Real-time safe.
  void clear() noexcept;

 private:
  std::vector<float> left_, right_;
  std::size_t mask_ = 0;
  std::size_t write_ = 0;
  std::size_t delay_ = 0;
};

}  // namespace vantle::dsp

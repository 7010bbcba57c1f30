// The echo effect: the bus plus its own delayed copy, fed back into the line.
#pragma once

#include <cstddef>

#include "vantle/dsp/delay_line.hpp"

namespace vantle::dsp {

class Echo {
 public:
  // The line holds max(delay_ms, 10) ms; feedback is clamped to 0..0.95 and mix to
  // 0..1, a NaN parameter counting as the lower bound (a NaN delay as 0). Allocates:
  // never on the real-time thread.
  Echo(double sample_rate, float delay_ms, float feedback, float mix);

  // Real-time thread: in place, frame by frame, so the echo of a frame can come back
  // within the same cycle and cycles of any length work. An echo of 0 samples would
  // coincide with its own input; it passes the audio unchanged.
  void process(float* left, float* right, std::size_t frames) noexcept;
  // Real-time thread: silence, as when created.
  void clear() noexcept { line_.clear(); }

  const DelayLine& line() const { return line_; }
  float feedback() const { return feedback_; }
  float mix() const { return mix_; }

 private:
  DelayLine line_;
  float feedback_;
  float mix_;
};

}  // namespace vantle::dsp

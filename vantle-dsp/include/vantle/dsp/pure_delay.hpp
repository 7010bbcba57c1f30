// The pure delay effect: the bus delayed by a fixed time, fully wet.
#pragma once

#include <cstddef>

#include "vantle/dsp/delay_line.hpp"

namespace vantle::dsp {

class PureDelay {
 public:
  PureDelay(double sample_rate, double delay_ms);

  // In place, frame by frame; a delay of 0 samples passes the audio unchanged.
  void process(float* left, float* right, std::size_t frames) noexcept;
  void clear() noexcept { line_.clear(); }
  const DelayLine& line() const { return line_; }

 private:
  DelayLine line_;
};

}  // namespace vantle::dsp

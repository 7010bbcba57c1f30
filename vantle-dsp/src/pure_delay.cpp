#include "vantle/dsp/pure_delay.hpp"

namespace vantle::dsp {

PureDelay::PureDelay(double sample_rate, double delay_ms) : line_(sample_rate, delay_ms) {
  line_.set_delay_ms(sample_rate, delay_ms);
}

// Real-time thread.
void PureDelay::process(float* left, float* right, std::size_t frames) noexcept {
  if (line_.delay() == 0) {
    // Reading before writing at delay 0 would return the oldest frame of the line, a
    // whole line length late; a zero delay means the signal itself. The line is still
    // fed so that it holds the recent past like any other delay.
    for (std::size_t i = 0; i < frames; ++i) line_.write_and_advance(left[i], right[i]);
    return;
  }
  for (std::size_t i = 0; i < frames; ++i) {
    float delayed_left;
    float delayed_right;
    line_.read_delayed(delayed_left, delayed_right);
    line_.write_and_advance(left[i], right[i]);
    left[i] = delayed_left;
    right[i] = delayed_right;
  }
}

}  // namespace vantle::dsp

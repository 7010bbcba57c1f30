#include "dsp/echo.hpp"

#include <cmath>

namespace vantle::dsp {
namespace {

// Feedback paths decaying towards silence would otherwise end up circulating subnormal
// numbers for ever (0.99 x rounds back to x down there), which costs many times the work
// of normal ones on x86. Nothing below 1e-30 (-600 dB) is audible.
inline float flushed(float x) { return std::fabs(x) < 1e-30f ? 0.0f : x; }

// Written as comparisons that fail for NaN, so a NaN lands on the lower bound.
float clamped(float value, float low, float high) {
  if (!(value >= low)) return low;
  return value <= high ? value : high;
}

double line_ms_for(float delay_ms) { return delay_ms > 10.0f ? delay_ms : 10.0; }

}  // namespace

Echo::Echo(double sample_rate, float delay_ms, float feedback, float mix)
    : line_(sample_rate, line_ms_for(delay_ms)),
      feedback_(clamped(feedback, 0.0f, 0.95f)),
      mix_(clamped(mix, 0.0f, 1.0f)) {
  line_.set_delay_ms(sample_rate, delay_ms);
}

void Echo::process(float* left, float* right, std::size_t frames) noexcept {
  if (line_.delay() == 0) return;
  // Locals, so the stores into the bus buffers cannot make the compiler reload them.
  const float feedback = feedback_;
  const float mix = mix_;
  const float dry = 1.0f - mix_;
  DelayLine& line = line_;
  for (std::size_t i = 0; i < frames; ++i) {
    const float in_left = left[i];
    const float in_right = right[i];
    float delayed_left;
    float delayed_right;
    line.read_delayed(delayed_left, delayed_right);
    line.write_and_advance(flushed(feedback * delayed_left + in_left),
                           flushed(feedback * delayed_right + in_right));
    left[i] = delayed_left * mix + in_left * dry;
    right[i] = delayed_right * mix + in_right * dry;
  }
}

}  // namespace vantle::dsp

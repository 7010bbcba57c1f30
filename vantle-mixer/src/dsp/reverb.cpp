#include "dsp/reverb.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "vantle/dsp/delay_line.hpp"

namespace vantle::dsp {
namespace {

constexpr std::array<double, 4> kCombMs{29.7, 37.1, 41.3, 43.7};
constexpr std::array<double, 2> kDiffusionMs{5.1, 10.3};
constexpr float kDiffusionFeedback = 0.7f;

// Feedback paths decaying towards silence would otherwise end up circulating subnormal
// numbers for ever (0.99 x rounds back to x down there), which costs many times the work
// of normal ones on x86. Nothing below 1e-30 (-600 dB) is audible.
inline float flushed(float x) { return std::fabs(x) < 1e-30f ? 0.0f : x; }

float clamped(float value, float low, float high) {
  if (!(value >= low)) return low;  // NaN too
  return value <= high ? value : high;
}

}  // namespace

Reverb::Line Reverb::make_line(double sample_rate, double ms) {
  const std::uint64_t size = DelayLine::size_for(sample_rate, ms);
  Line line;
  if (size > line.samples.max_size()) throw std::length_error("reverb line too long");
  line.samples.assign(static_cast<std::size_t>(size), 0.0f);
  line.mask = static_cast<std::size_t>(size - 1);
  line.delay = static_cast<std::size_t>(DelayLine::delay_for(sample_rate, ms, size));
  return line;
}

Reverb::Reverb(double sample_rate, float wet_mix, float decay)
    : wet_(clamped(wet_mix, 0.0f, 1.0f)), decay_(clamped(decay, 0.0f, 0.99f)) {
  for (std::size_t k = 0; k < combs_.size(); ++k) combs_[k] = make_line(sample_rate, kCombMs[k]);
  for (std::size_t k = 0; k < diffusers_.size(); ++k) {
    diffusers_[k] = make_line(sample_rate, kDiffusionMs[k]);
  }
}

void Reverb::clear() noexcept {
  for (Line& line : combs_) std::fill(line.samples.begin(), line.samples.end(), 0.0f);
  for (Line& line : diffusers_) std::fill(line.samples.begin(), line.samples.end(), 0.0f);
  now_ = 0;
}

void Reverb::process(float* left, float* right, std::size_t frames) noexcept {
  // Everything the loop needs in locals: the stores into the lines and the bus are
  // float stores, which the compiler would otherwise have to assume change the members.
  float* const c0 = combs_[0].samples.data();
  float* const c1 = combs_[1].samples.data();
  float* const c2 = combs_[2].samples.data();
  float* const c3 = combs_[3].samples.data();
  float* const f0 = diffusers_[0].samples.data();
  float* const f1 = diffusers_[1].samples.data();
  const std::size_t m0 = combs_[0].mask, d0 = combs_[0].delay;
  const std::size_t m1 = combs_[1].mask, d1 = combs_[1].delay;
  const std::size_t m2 = combs_[2].mask, d2 = combs_[2].delay;
  const std::size_t m3 = combs_[3].mask, d3 = combs_[3].delay;
  const std::size_t n0 = diffusers_[0].mask, e0 = diffusers_[0].delay;
  const std::size_t n1 = diffusers_[1].mask, e1 = diffusers_[1].delay;
  const float decay = decay_;
  const float wet = wet_;
  const float dry = 1.0f - wet_;
  std::size_t now = now_;

  for (std::size_t i = 0; i < frames; ++i, ++now) {
    const float in_left = left[i];
    const float in_right = right[i];
    const float x = (in_left + in_right) * 0.5f;

    const float y0 = c0[(now - d0) & m0];
    c0[now & m0] = flushed(decay * y0 + x);
    const float y1 = c1[(now - d1) & m1];
    c1[now & m1] = flushed(decay * y1 + x);
    const float y2 = c2[(now - d2) & m2];
    c2[now & m2] = flushed(decay * y2 + x);
    const float y3 = c3[(now - d3) & m3];
    c3[now & m3] = flushed(decay * y3 + x);
    const float combs = (y0 + y1 + y2 + y3) * 0.25f;

    const float a1 = f0[(now - e0) & n0];
    f0[now & n0] = flushed(combs + kDiffusionFeedback * a1);
    const float a2 = f1[(now - e1) & n1];
    f1[now & n1] = flushed(a1 + kDiffusionFeedback * a2);

    left[i] = in_left * dry + a2 * wet;
    right[i] = in_right * dry + a2 * wet;
  }
  now_ = now;
}

}  // namespace vantle::dsp

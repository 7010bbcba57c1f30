#include "dsp/filter.hpp"

#include <cmath>

namespace vantle::dsp {
namespace {

// A state decaying towards silence would otherwise linger among subnormal numbers, which
// cost many times the work of normal ones on x86. Nothing below 1e-30 (-600 dB) is
// audible.
inline float flushed(float x) { return std::fabs(x) < 1e-30f ? 0.0f : x; }

}  // namespace

BiquadCoefficients filter_coefficients(FilterShape shape, float freq_hz, float q,
                                       float sample_rate) {
  const float quality = q >= 0.1f ? q : 0.1f;
  const float w0 = 6.2831855f * freq_hz / sample_rate;
  const float s = std::sin(w0);
  const float c = std::cos(w0);
  // |sin| rather than sin: identical below half the sample rate, and the mirror
  // frequency above it instead of an unstable filter.
  const float alpha = std::fabs(s) / (2.0f * quality);
  const float a0 = 1.0f + alpha;

  float b0 = 0.0f;
  float b1 = 0.0f;
  float b2 = 0.0f;
  switch (shape) {
    case FilterShape::kHighPass:
      b0 = (1.0f + c) / 2.0f;
      b1 = -(1.0f + c);
      b2 = (1.0f + c) / 2.0f;
      break;
    case FilterShape::kLowPass:
      b0 = (1.0f - c) / 2.0f;
      b1 = 1.0f - c;
      b2 = (1.0f - c) / 2.0f;
      break;
    case FilterShape::kBandPass:
      b0 = alpha;
      b1 = 0.0f;
      b2 = -alpha;
      break;
  }
  const float a1 = -2.0f * c;
  const float a2 = 1.0f - alpha;

  const BiquadCoefficients k{b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
  const bool finite = std::isfinite(k.b0) && std::isfinite(k.b1) && std::isfinite(k.b2) &&
                      std::isfinite(k.a1) && std::isfinite(k.a2);
  return finite ? k : BiquadCoefficients{};
}

void Biquad::process(float* left, float* right, std::size_t frames) noexcept {
  const float b0 = k_.b0;
  const float b1 = k_.b1;
  const float b2 = k_.b2;
  const float a1 = k_.a1;
  const float a2 = k_.a2;
  float l1 = left1_;
  float l2 = left2_;
  float r1 = right1_;
  float r2 = right2_;
  for (std::size_t i = 0; i < frames; ++i) {
    const float xl = left[i];
    const float yl = b0 * xl + l1;
    l1 = b1 * xl - a1 * yl + l2;
    l2 = b2 * xl - a2 * yl;
    left[i] = yl;

    const float xr = right[i];
    const float yr = b0 * xr + r1;
    r1 = b1 * xr - a1 * yr + r2;
    r2 = b2 * xr - a2 * yr;
    right[i] = yr;
  }
  // Once per block rather than per frame, where it would lengthen the recurrence: a
  // decaying state then spends at most one block among subnormal numbers.
  left1_ = flushed(l1);
  left2_ = flushed(l2);
  right1_ = flushed(r1);
  right2_ = flushed(r2);
}

}  // namespace vantle::dsp

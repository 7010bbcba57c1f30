// The high, low and band pass effects: one two-pole filter per side, with the
// coefficients of the audio-EQ cookbook computed in single precision.
#pragma once

#include <cstddef>

namespace vantle::dsp {

enum class FilterShape { kHighPass, kLowPass, kBandPass };

// Normalised (a0 = 1).
struct BiquadCoefficients {
  float b0 = 1.0f;
  float b1 = 0.0f;
  float b2 = 0.0f;
  float a1 = 0.0f;
  float a2 = 0.0f;
};

// q is raised to at least 0.1 (a NaN q counts as 0.1); the frequency is not clamped.
// A frequency between half the sample rate and the sample rate acts as its mirror
// image below half the rate: the cookbook's alpha would turn negative there and put a
// pole outside the unit circle, and the bus would blow up. A frequency that gives no
// finite coefficients at all (NaN, infinite, or a sample rate of 0) gives a filter that
// passes the audio unchanged.
BiquadCoefficients filter_coefficients(FilterShape shape, float freq_hz, float q,
                                       float sample_rate);

class Biquad {
 public:
  explicit Biquad(const BiquadCoefficients& coefficients) : k_(coefficients) {}

  // Real-time thread: in place, transposed direct form II, each side with its state.
  void process(float* left, float* right, std::size_t frames) noexcept;
  // Real-time thread: zero state, as when created.
  void clear() noexcept { left1_ = left2_ = right1_ = right2_ = 0.0f; }

  const BiquadCoefficients& coefficients() const { return k_; }

 private:
  BiquadCoefficients k_;
  float left1_ = 0.0f;
  float left2_ = 0.0f;
  float right1_ = 0.0f;
  float right2_ = 0.0f;
};

}  // namespace vantle::dsp

#include "dsp/filter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "signals.hpp"

namespace vantle::dsp {
namespace {

using signals::Stereo;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Steady-state gain of a fresh filter for a sine (or DC when freq is 0) at 48 kHz:
// the peak over the second half of `frames`.
float gain_at(FilterShape shape, float cutoff, float q, double freq, std::size_t frames = 96000) {
  Biquad filter(filter_coefficients(shape, cutoff, q, 48000.0f));
  Stereo s = Stereo::silence(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const double phase = 2.0 * std::numbers::pi * freq * static_cast<double>(i) / 48000.0;
    s.left[i] = s.right[i] = static_cast<float>(freq == 0.0 ? 1.0 : std::sin(phase + 0.3));
  }
  signals::run_cycles(filter, s, 256);
  float peak = 0.0f;
  for (std::size_t i = frames / 2; i < frames; ++i) {
    EXPECT_EQ(s.left[i], s.right[i]);
    peak = std::max(peak, std::fabs(s.left[i]));
  }
  return peak;
}

TEST(Filter, LowPassHasUnityGainAtDc) {
  const BiquadCoefficients k = filter_coefficients(FilterShape::kLowPass, 1000, 0.707f, 48000);
  EXPECT_NEAR(k.b0 + k.b1 + k.b2, 1.0f + k.a1 + k.a2, 1e-6f);
}

TEST(Filter, SteadyStateGains) {
  struct Case {
    FilterShape shape;
    double freq;  // 0 = DC
    float gain;
    float tolerance;
  };
  // Cut-off or centre 1000 Hz, q 0.707.
  const Case cases[] = {
      {FilterShape::kLowPass, 0, 1.0f, 1e-4f},
      {FilterShape::kLowPass, 100, 1.0f, 0.01f},
      {FilterShape::kLowPass, 1000, 0.707f, 0.01f},
      {FilterShape::kLowPass, 10000, 0.0f, 0.02f},
      {FilterShape::kHighPass, 0, 0.0f, 1e-4f},
      {FilterShape::kHighPass, 100, 0.0f, 0.02f},
      {FilterShape::kHighPass, 1000, 0.707f, 0.01f},
      {FilterShape::kHighPass, 10000, 1.0f, 0.01f},
      {FilterShape::kBandPass, 0, 0.0f, 1e-4f},
      {FilterShape::kBandPass, 1000, 1.0f, 0.01f},  // 0 dB at the centre
      {FilterShape::kBandPass, 10000, 0.1f, 0.05f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.shape) << " at " << c.freq << " Hz");
    EXPECT_NEAR(gain_at(c.shape, 1000, 0.707f, c.freq), c.gain, c.tolerance);
  }
}

TEST(Filter, BandPassPeaksAtItsCentre) {
  for (const float q : {0.707f, 4.0f}) {
    SCOPED_TRACE(q);
    double best = 0;
    float best_gain = 0;
    for (double f = 500; f <= 2000; f *= 1.02) {
      const float g = gain_at(FilterShape::kBandPass, 1000, q, f, 9600);
      if (g > best_gain) {
        best_gain = g;
        best = f;
      }
    }
    EXPECT_NEAR(best, 1000, 25);
  }
}

TEST(Filter, QBelowTheMinimumActsAsTheMinimum) {
  const BiquadCoefficients bound = filter_coefficients(FilterShape::kBandPass, 1000, 0.1f, 48000);
  for (const float q : {0.05f, 0.0f, -3.0f, kNaN}) {
    SCOPED_TRACE(q);
    const BiquadCoefficients k = filter_coefficients(FilterShape::kBandPass, 1000, q, 48000);
    EXPECT_EQ(k.b0, bound.b0);
    EXPECT_EQ(k.b2, bound.b2);
    EXPECT_EQ(k.a1, bound.a1);
    EXPECT_EQ(k.a2, bound.a2);
  }
}

TEST(Filter, FrequenciesAboveHalfTheRateStayStable) {
  struct Case {
    float rate, freq, q;
  };
  // 23000 Hz is a valid setting that lies above half of 44.1 kHz.
  const Case cases[] = {
      {44100, 23000, 0.707f}, {48000, 24000, 0.707f}, {48000, 30000, 0.1f},
      {48000, 47000, 10.0f},  {48000, -1000, 0.707f}, {32000, 20000, 2.0f},
  };
  for (const Case& c : cases) {
    for (const FilterShape shape : {FilterShape::kHighPass, FilterShape::kLowPass, FilterShape::kBandPass}) {
      SCOPED_TRACE(testing::Message() << c.freq << " Hz at " << c.rate << ", shape " << static_cast<int>(shape));
      Biquad filter(filter_coefficients(shape, c.freq, c.q, c.rate));
      Stereo s = Stereo::noisy(96000, 9);
      signals::run_cycles(filter, s, 256);
      const auto bounded = [](float x) { return std::fabs(x) < 50.0f; };  // false for NaN
      EXPECT_TRUE(std::all_of(s.left.begin(), s.left.end(), bounded));
      EXPECT_TRUE(std::all_of(s.right.begin(), s.right.end(), bounded));
    }
  }
}

TEST(Filter, AboveHalfTheRateActsAsTheMirrorFrequency) {
  const BiquadCoefficients above = filter_coefficients(FilterShape::kLowPass, 30000, 0.707f, 48000);
  const BiquadCoefficients mirror = filter_coefficients(FilterShape::kLowPass, 18000, 0.707f, 48000);
  EXPECT_NEAR(above.b0, mirror.b0, 1e-5f);
  EXPECT_NEAR(above.b1, mirror.b1, 1e-5f);
  EXPECT_NEAR(above.a1, mirror.a1, 1e-5f);
  EXPECT_NEAR(above.a2, mirror.a2, 1e-5f);
}

TEST(Filter, UnusableFrequencyPassesAudioUnchanged) {
  struct Case {
    float freq, rate;
  };
  const Case cases[] = {{kNaN, 48000}, {kInf, 48000}, {-kInf, 48000}, {1000, 0}, {0, 0}};
  for (const Case& c : cases) {
    for (const FilterShape shape : {FilterShape::kHighPass, FilterShape::kLowPass, FilterShape::kBandPass}) {
      SCOPED_TRACE(testing::Message() << c.freq << " Hz at " << c.rate << ", shape " << static_cast<int>(shape));
      Biquad filter(filter_coefficients(shape, c.freq, 0.707f, c.rate));
      const Stereo in = Stereo::noisy(1000, 10);
      Stereo out = in;
      signals::run_cycles(filter, out, 256);
      EXPECT_EQ(out.left, in.left);
      EXPECT_EQ(out.right, in.right);
    }
  }
}

}  // namespace
}  // namespace vantle::dsp

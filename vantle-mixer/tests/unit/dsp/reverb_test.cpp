#include "dsp/reverb.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "signals.hpp"

namespace vantle::dsp {
namespace {

using signals::Stereo;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Stereo reverberated(float wet, float decay, const Stereo& in, std::size_t cycle = 256) {
  Reverb reverb(48000, wet, decay);
  Stereo out = in;
  signals::run_cycles(reverb, out, cycle);
  return out;
}

TEST(Reverb, DryAtWetZero) {
  const Stereo in = Stereo::noisy(20000, 1);
  const Stereo out = reverberated(0.0f, 0.8f, in);
  EXPECT_EQ(out.left, in.left);
  EXPECT_EQ(out.right, in.right);
}

TEST(Reverb, FullyWetIsOneMonoSignalOfTheMid) {
  const Stereo in = Stereo::noisy(20000, 2);
  const Stereo out = reverberated(1.0f, 0.8f, in);
  EXPECT_EQ(out.left, out.right);
  // The reverberator hears the mid only: the same mid with no side gives the same tail.
  Stereo mid = in;
  for (std::size_t i = 0; i < mid.frames(); ++i) {
    mid.left[i] = mid.right[i] = (in.left[i] + in.right[i]) * 0.5f;
  }
  EXPECT_EQ(reverberated(1.0f, 0.8f, mid).left, out.left);
  float energy = 0.0f;
  for (const float x : out.left) energy += x * x;
  EXPECT_GT(energy, 1.0f);
}

TEST(Reverb, FirstReflectionArrivesAfterTheShortestCombAndBothDiffusers) {
  // At 48 kHz: shortest comb 29.7 ms = 1426 frames, diffusers 5.1 ms = 245 and 10.3 ms
  // = 494 frames. An impulse of 1 on both sides reaches the output 2165 frames later,
  // weighted by the 1/4 of the comb sum.
  for (const std::size_t cycle : {256u, 4096u, 1u}) {
    SCOPED_TRACE(cycle);
    Stereo s = Stereo::silence(2200);
    s.left[0] = s.right[0] = 1.0f;
    Reverb reverb(48000, 1.0f, 0.0f);
    signals::run_cycles(reverb, s, cycle);
    for (std::size_t i = 0; i < 2165; ++i) ASSERT_EQ(s.left[i], 0.0f) << "frame " << i;
    EXPECT_EQ(s.left[2165], 0.25f);
  }
}

TEST(Reverb, WetMixBlendsDryAndFullyWet) {
  const Stereo in = Stereo::noisy(12000, 3);
  const Stereo wet = reverberated(1.0f, 0.6f, in);
  for (const float mix : {0.25f, 0.5f, 0.9f}) {
    SCOPED_TRACE(mix);
    const Stereo out = reverberated(mix, 0.6f, in);
    for (std::size_t i = 0; i < in.frames(); ++i) {
      ASSERT_NEAR(out.left[i], in.left[i] * (1 - mix) + wet.left[i] * mix, 1e-5f) << i;
      ASSERT_NEAR(out.right[i], in.right[i] * (1 - mix) + wet.right[i] * mix, 1e-5f) << i;
    }
  }
}

TEST(Reverb, OutOfRangeParametersActAsTheNearestBound) {
  struct Case {
    float wet, decay;
    float bound_wet, bound_decay;
  };
  const Case cases[] = {
      {2.0f, 0.5f, 1.0f, 0.5f},   {-1.0f, 0.5f, 0.0f, 0.5f}, {kNaN, 0.5f, 0.0f, 0.5f},
      {0.5f, 5.0f, 0.5f, 0.99f},  {0.5f, -1.0f, 0.5f, 0.0f}, {0.5f, kNaN, 0.5f, 0.0f},
  };
  const Stereo in = Stereo::noisy(20000, 4);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "wet " << c.wet << ", decay " << c.decay);
    const Stereo a = reverberated(c.wet, c.decay, in);
    const Stereo b = reverberated(c.bound_wet, c.bound_decay, in);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(a.right, b.right);
  }
}

}  // namespace
}  // namespace vantle::dsp

#include "dsp/echo.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "signals.hpp"

namespace vantle::dsp {
namespace {

using signals::Stereo;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Echo, LineSizeAndDelay) {
  struct Case {
    float delay_ms;
    std::size_t size;
    std::size_t delay;
  };
  const Case cases[] = {
      {200, 16384, 9600},
      {5, 512, 240},  // the line still holds 10 ms
      {500, 32768, 24000},
      {0, 512, 0},
      {-20, 512, 0},
      {kNaN, 512, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay_ms);
    const Echo echo(48000, c.delay_ms, 0.3f, 0.25f);
    EXPECT_EQ(echo.line().size(), c.size);
    EXPECT_EQ(echo.line().delay(), c.delay);
  }
}

// The per-cycle form: every delayed frame of the cycle is read before any is written.
class CycleEcho {
 public:
  CycleEcho(std::size_t size, std::size_t delay, float feedback, float mix)
      : left_(size), right_(size), delay_(delay), feedback_(feedback), mix_(mix) {}

  void process(float* left, float* right, std::size_t n) {
    const std::size_t size = left_.size();
    std::vector<float> dl(n), dr(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t pos = (write_ + size - delay_ + i) % size;
      dl[i] = left_[pos];
      dr[i] = right_[pos];
    }
    for (std::size_t j = 0; j < n; ++j) {
      left_[write_] = feedback_ * dl[j] + left[j];
      right_[write_] = feedback_ * dr[j] + right[j];
      write_ = (write_ + 1) % size;
      left[j] = dl[j] * mix_ + left[j] * (1 - mix_);
      right[j] = dr[j] * mix_ + right[j] * (1 - mix_);
    }
  }

 private:
  std::vector<float> left_, right_;
  std::size_t write_ = 0;
  std::size_t delay_;
  float feedback_, mix_;
};

TEST(Echo, EqualsThePerCycleFormWhenTheDelayIsAtLeastACycle) {
  struct Case {
    double rate;
    float delay_ms;
    std::size_t cycle;
  };
  const Case cases[] = {
      {48000, 200, 256},
      {48000, 200, 9600},   // delay exactly one cycle
      {48000, 250, 10000},  // a cycle longer than any fixed scratch space
      {48000, 10, 480},
      {51200, 10, 256},     // delay 511 on a line of 512: reads and writes meet at the wrap
      {48000, 10.67f, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.delay_ms << " ms, cycles of " << c.cycle);
    Echo echo(c.rate, c.delay_ms, 0.6f, 0.4f);
    ASSERT_GE(echo.line().delay(), c.cycle);
    CycleEcho reference(echo.line().size(), echo.line().delay(), 0.6f, 0.4f);
    Stereo a = Stereo::noisy(5 * echo.line().size() + c.cycle / 2, 3);
    Stereo b = a;
    signals::run_cycles(echo, a, c.cycle);
    signals::run_cycles(reference, b, c.cycle);
    for (std::size_t i = 0; i < a.frames(); ++i) {
      ASSERT_FLOAT_EQ(a.left[i], b.left[i]) << "frame " << i;
      ASSERT_FLOAT_EQ(a.right[i], b.right[i]) << "frame " << i;
    }
  }
}

TEST(Echo, DelaysShorterThanACycleEchoWithinTheCycle) {
  // 5 ms at 48 kHz is 240 frames; an impulse comes back every 240 frames, scaled by
  // the feedback each time, even in one long cycle.
  for (const std::size_t cycle : {1024u, 10000u, 7u}) {
    SCOPED_TRACE(cycle);
    Echo echo(48000, 5, 0.5f, 0.5f);
    Stereo s = Stereo::silence(10000);
    s.left[0] = 1.0f;
    s.right[0] = -1.0f;
    signals::run_cycles(echo, s, cycle);
    for (std::size_t i = 0; i < s.frames(); ++i) {
      float expected = 0.0f;
      if (i == 0) expected = 0.5f;  // dry part
      if (i > 0 && i % 240 == 0) expected = 0.5f * std::pow(0.5f, static_cast<float>(i / 240 - 1));
      ASSERT_EQ(s.left[i], expected) << "frame " << i;
      ASSERT_EQ(s.right[i], -expected) << "frame " << i;
    }
  }
}

TEST(Echo, ZeroDelayPassesAudioUnchanged) {
  // 0.001 ms is 0.048 samples: no echo at all, rather than one a line length late.
  for (const float ms : {0.001f, 0.0f, -5.0f, kNaN}) {
    SCOPED_TRACE(ms);
    Echo echo(48000, ms, 0.9f, 0.7f);
    const Stereo in = Stereo::noisy(2000, 11);
    Stereo out = in;
    signals::run_cycles(echo, out, 256);
    EXPECT_EQ(out.left, in.left);
    EXPECT_EQ(out.right, in.right);
  }
}

TEST(Echo, OutOfRangeParametersActAsTheNearestBound) {
  struct Case {
    float feedback, mix;
    float bound_feedback, bound_mix;
  };
  const Case cases[] = {
      {2.0f, 0.5f, 0.95f, 0.5f},  {kInf, 0.5f, 0.95f, 0.5f}, {-1.0f, 0.5f, 0.0f, 0.5f},
      {kNaN, 0.5f, 0.0f, 0.5f},   {0.5f, 1.5f, 0.5f, 1.0f},  {0.5f, -0.5f, 0.5f, 0.0f},
      {0.5f, kNaN, 0.5f, 0.0f},   {kNaN, kNaN, 0.0f, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "feedback " << c.feedback << ", mix " << c.mix);
    Echo given(48000, 20, c.feedback, c.mix);
    Echo bound(48000, 20, c.bound_feedback, c.bound_mix);
    Stereo a = Stereo::noisy(20000, 5);
    Stereo b = a;
    signals::run_cycles(given, a, 256);
    signals::run_cycles(bound, b, 256);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(a.right, b.right);
  }
}

}  // namespace
}  // namespace vantle::dsp

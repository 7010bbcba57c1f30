#include "vantle/dsp/pure_delay.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace vantle::dsp {
namespace {

std::vector<float> noise(std::size_t frames, std::uint32_t seed) {
  std::vector<float> out(frames);
  std::uint32_t x = seed;
  for (float& v : out) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<float>(x >> 8) / 8388608.0f - 1.0f;
  }
  return out;
}

// Runs `delay` over `total` frames of noise in cycles of the given lengths (repeated),
// returning both inputs and both outputs.
struct DelayRun {
  std::vector<float> in_left, in_right, out_left, out_right;
};
DelayRun run(PureDelay& delay, std::size_t total, const std::vector<std::size_t>& cycles) {
  DelayRun r{noise(total, 1), noise(total, 2), {}, {}};
  r.out_left = r.in_left;
  r.out_right = r.in_right;
  std::size_t done = 0;
  for (std::size_t k = 0; done < total; ++k) {
    const std::size_t n = std::min(cycles[k % cycles.size()], total - done);
    delay.process(r.out_left.data() + done, r.out_right.data() + done, n);
    done += n;
  }
  return r;
}

TEST(PureDelay, OutputIsTheInputShiftedAcrossCycles) {
  struct Case {
    double rate;
    double ms;
    std::size_t delay;
    std::vector<std::size_t> cycles;
  };
  const Case cases[] = {
      {1000, 3, 3, {1, 2, 5, 7}},
      {1000, 7, 7, {3}},          // the longest delay of a line of 8
      {1000, 7, 7, {100}},        // cycles longer than the line
      {1000, 1.5, 1, {4, 1}},     // a line of 2
      {48000, 500, 24000, {256}},
      {48000, 100, 4800, {10000, 17}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.ms << " ms");
    PureDelay delay(c.rate, c.ms);
    ASSERT_EQ(delay.line().delay(), c.delay);
    const std::size_t total = 3 * delay.line().size() + 50;
    const DelayRun r = run(delay, total, c.cycles);
    for (std::size_t i = 0; i < total; ++i) {
      const float left = i >= c.delay ? r.in_left[i - c.delay] : 0.0f;
      const float right = i >= c.delay ? r.in_right[i - c.delay] : 0.0f;
      ASSERT_EQ(r.out_left[i], left) << "frame " << i;
      ASSERT_EQ(r.out_right[i], right) << "frame " << i;
    }
  }
}

TEST(PureDelay, ZeroDelayPassesAudioUnchanged) {
  // 0.4 samples round to none; a negative or NaN duration counts as none.
  for (const double ms : {0.0, 0.4, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(ms);
    PureDelay delay(1000, ms);
    const DelayRun r = run(delay, 50, {7, 3});
    EXPECT_EQ(r.out_left, r.in_left);
    EXPECT_EQ(r.out_right, r.in_right);
  }
}

TEST(PureDelay, ClearStartsFromSilence) {
  PureDelay used(1000, 5);
  run(used, 23, {4});
  used.clear();
  PureDelay fresh(1000, 5);
  const DelayRun a = run(used, 30, {4});
  const DelayRun b = run(fresh, 30, {4});
  EXPECT_EQ(a.out_left, b.out_left);
  EXPECT_EQ(a.out_right, b.out_right);
}

}  // namespace
}  // namespace vantle::dsp

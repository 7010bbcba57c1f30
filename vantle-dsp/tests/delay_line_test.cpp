#include "vantle/dsp/delay_line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace vantle::dsp {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(DelayLineSizing, SizeAndDelayForADuration) {
  struct Case {
    double rate;
    double ms;
    std::uint64_t size;
    std::uint64_t delay;
  };
  // At 1000 Hz the sample count equals the milliseconds, which keeps the rounding
  // cases readable.
  const Case cases[] = {
      {48000, 200, 16384, 9600},
      {48000, 10, 512, 480},
      {48000, 500, 32768, 24000},
      {1000, 2.5, 4, 3},    // size rounds 2.5 up to 3, delay rounds the half away from zero
      {1000, 4.5, 8, 5},
      {1000, 4.4, 8, 4},
      {1000, 3.5, 4, 3},    // 4 samples do not fit a line of 4: the longest delay is 3
      {1000, 8, 8, 7},
      {1000, 8.2, 16, 8},
      {1000, 1.5, 2, 1},
      {1000, 1, 1, 0},      // fewer than 2 samples: size 1
      {1000, 0.4, 1, 0},
      {1000, 0, 1, 0},
      {1000, -5, 1, 0},
      {1000, kNaN, 1, 0},
      {1000, -kInf, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.ms << " ms");
    EXPECT_EQ(DelayLine::size_for(c.rate, c.ms), c.size);
    DelayLine line(c.rate, c.ms);
    line.set_delay_ms(c.rate, c.ms);
    EXPECT_EQ(line.size(), c.size);
    EXPECT_EQ(line.delay(), c.delay);
  }
}

TEST(DelayLineSizing, DelayOnALongerLine) {
  struct Case {
    double ms;
    std::uint64_t size;
    std::uint64_t delay;
  };
  const Case cases[] = {
      {0.5, 64, 1},  {1.5, 64, 2},  {2.5, 64, 3},    {-0.5, 64, 0},       {kNaN, 64, 0},
      {1e30, 64, 63}, {kInf, 64, 63}, {20, 1, 0},    {20, 0, 0},
      // Far beyond the integer range: capped, never converted out of range.
      {1e300, std::uint64_t{1} << 63, (std::uint64_t{1} << 63) - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ms << " ms on " << c.size);
    EXPECT_EQ(DelayLine::delay_for(1000, c.ms, c.size), c.delay);
  }
}

TEST(DelayLineSizing, HugeDurationsSaturate) {
  EXPECT_EQ(DelayLine::size_for(48000, 1e12), std::uint64_t{1} << 46);  // 4.8e13 samples
  EXPECT_EQ(DelayLine::size_for(48000, 1e30), std::uint64_t{1} << 63);
  EXPECT_EQ(DelayLine::size_for(48000, kInf), std::uint64_t{1} << 63);
  EXPECT_EQ(DelayLine::size_for(kInf, 1), std::uint64_t{1} << 63);
  // 2^63 + 1 samples would round up to 2^64.
  EXPECT_EQ(DelayLine::size_for(1000, 9223372036854775808.0 * 1.5), std::uint64_t{1} << 63);
  // Such a line cannot exist; asking for one fails cleanly instead of wrapping around
  // to a small line.
  EXPECT_THROW(DelayLine(48000, 1e30), std::length_error);
}

TEST(DelayLine, ReadsEachFrameDelayLaterAcrossWrapArounds) {
  DelayLine line(1000, 8);  // size 8
  for (const std::size_t delay : {1u, 3u, 7u}) {
    SCOPED_TRACE(delay);
    line.clear();
    line.set_delay(delay);
    for (int t = 0; t < 40; ++t) {
      float left = -1;
      float right = -1;
      line.read_delayed(left, right);
      const float expected = t >= static_cast<int>(delay) ? static_cast<float>(t - static_cast<int>(delay)) : 0.0f;
      EXPECT_EQ(left, expected) << "t=" << t;
      EXPECT_EQ(right, -expected) << "t=" << t;
      line.write_and_advance(static_cast<float>(t), -static_cast<float>(t));
    }
  }
}

TEST(DelayLine, ClearGivesTheFreshLine) {
  DelayLine used(1000, 8);
  used.set_delay(5);
  for (int t = 1; t <= 11; ++t) used.write_and_advance(static_cast<float>(t), 1.0f);
  used.clear();
  DelayLine fresh(1000, 8);
  fresh.set_delay(5);
  EXPECT_EQ(used.delay(), 5u);
  for (int t = 1; t <= 20; ++t) {
    float ul, ur, fl, fr;
    used.read_delayed(ul, ur);
    fresh.read_delayed(fl, fr);
    ASSERT_EQ(ul, fl) << "t=" << t;
    ASSERT_EQ(ur, fr) << "t=" << t;
    used.write_and_advance(static_cast<float>(100 + t), 2.0f);
    fresh.write_and_advance(static_cast<float>(100 + t), 2.0f);
  }
}

}  // namespace
}  // namespace vantle::dsp

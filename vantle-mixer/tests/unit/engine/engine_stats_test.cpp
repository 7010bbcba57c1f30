#include "engine/engine_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantle::engine {
namespace {

TEST(EngineStats, CycleTimingKeepsLastMaxAndAverage) {
  EngineStats stats(48000, 256, 0);
  stats.record_cycle(1000);
  EXPECT_EQ(stats.last_us.load(), 1000u);
  EXPECT_EQ(stats.max_us.load(), 1000u);
  EXPECT_EQ(stats.ewma.load(), 256000u);
  EXPECT_NEAR(stats.headroom_us(), 5333.333 - 1000.0, 0.001);
  stats.record_cycle(2000);
  EXPECT_EQ(stats.ewma.load(), 272000u);
  EXPECT_DOUBLE_EQ(stats.ewma_us(), 1062.5);
  // A shorter cycle pulls the average down (the shift is arithmetic).
  stats.record_cycle(0);
  EXPECT_EQ(stats.ewma.load(), 272000u - 272000u / 16);
  EXPECT_EQ(stats.last_us.load(), 0u);
  EXPECT_EQ(stats.take_max_us(), 2000u);
  EXPECT_EQ(stats.take_max_us(), 0u);
}

TEST(EngineStats, HeadroomWithoutRateIsZero) {
  EngineStats stats(0, 256, 0);
  stats.record_cycle(10);
  EXPECT_EQ(stats.headroom_us(), 0.0);
}

TEST(EngineStats, CpuLoadInTenthsSaturates) {
  EngineStats stats(48000, 256, 3);
  struct Case {
    float percent;
    std::uint32_t tenths;
  };
  for (auto [percent, tenths] : {Case{12.34f, 123}, Case{0.0f, 0}, Case{-5.0f, 0}, Case{99.99f, 999},
                                 Case{std::numeric_limits<float>::quiet_NaN(), 0}, Case{1e30f, 4294967295u},
                                 Case{std::numeric_limits<float>::infinity(), 4294967295u}}) {
    stats.store_cpu_load(percent);
    EXPECT_EQ(stats.cpu_load.load(), tenths) << percent;
  }
  EXPECT_EQ(stats.slot_count(), 3u);
  EXPECT_EQ(stats.slot_drops(2).load(), 0u);
}

}  // namespace
}  // namespace vantle::engine

#include "broadcast/handoff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.hpp"

namespace vantle::broadcast {
namespace {

std::string error_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.joined();
  }
  return "(no error)";
}

// Each real-time end must meet its own network end: bus i of the process callback
// feeds bus i of the broadcast thread, slot s of the broadcast thread feeds slot s.
TEST(RtHandoffTest, EachRingHasItsSizeAndJoinsMatchingEnds) {
  constexpr std::size_t kFrames = 160;
  RtHandoff handoff(kFrames, 3);
  BusProducers buses = handoff.rt_sinks();
  std::vector<SampleRing::Consumer> slots = handoff.rt_ingest_sinks();
  NetworkEnds net = handoff.network_ends();
  ASSERT_EQ(slots.size(), 3u);
  ASSERT_EQ(net.slot_producers.size(), 3u);

  for (std::size_t bus = 0; bus < kBusCount; ++bus) {
    EXPECT_EQ(buses[bus].capacity(), 16 * kFrames);
    EXPECT_EQ(net.bus_consumers[bus].capacity(), 16 * kFrames);
    const float frame[2] = {static_cast<float>(bus + 1), -static_cast<float>(bus + 1)};
    buses[bus].push_stereo_block(frame, 1);
  }
  for (std::size_t slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(slots[slot].capacity(), 64 * kFrames);
    EXPECT_EQ(net.slot_producers[slot].capacity(), 64 * kFrames);
    ASSERT_TRUE(net.slot_producers[slot].push(static_cast<float>(10 + slot)));
  }

  for (std::size_t bus = 0; bus < kBusCount; ++bus) {
    float got[2] = {};
    ASSERT_TRUE(net.bus_consumers[bus].pop_block(got, 2)) << "bus " << bus;
    EXPECT_EQ(got[0], static_cast<float>(bus + 1)) << "bus " << bus;
    EXPECT_EQ(got[1], -static_cast<float>(bus + 1)) << "bus " << bus;
  }
  for (std::size_t slot = 0; slot < 3; ++slot) {
    float got = 0.0f;
    slots[slot].read_or_silence(&got, 1);
    EXPECT_EQ(got, static_cast<float>(10 + slot)) << "slot " << slot;
  }
}

TEST(RtHandoffTest, EachEndIsTakenOnce) {
  struct Case {
    const char* name;
    std::function<void(RtHandoff&)> take;
    const char* second_error;
  };
  const std::vector<Case> cases = {
      {"rt_sinks", [](RtHandoff& h) { h.rt_sinks(); }, "rt_sinks called twice"},
      {"rt_ingest_sinks", [](RtHandoff& h) { h.rt_ingest_sinks(); }, "rt_ingest_sinks called twice"},
      {"network_ends", [](RtHandoff& h) { h.network_ends(); }, "network ends taken twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RtHandoff handoff(160, 2);
    EXPECT_EQ(error_of([&] { c.take(handoff); }), "(no error)");
    EXPECT_EQ(error_of([&] { c.take(handoff); }), c.second_error);
    // Taking one holder leaves the others in place.
    for (const Case& other : cases) {
      if (std::string_view(other.name) != c.name) {
        EXPECT_EQ(error_of([&] { other.take(handoff); }), "(no error)") << other.name;
      }
    }
  }
}

TEST(RtHandoffTest, NoIngestSlotsMeansNoSlotRings) {
  RtHandoff handoff(160, 0);
  EXPECT_TRUE(handoff.rt_ingest_sinks().empty());
  EXPECT_TRUE(handoff.network_ends().slot_producers.empty());
}

TEST(RtHandoffTest, ZeroBroadcastFramesIsRefused) {
  EXPECT_NE(error_of([] { RtHandoff handoff(0, 1); }), "(no error)");
}

// F = 128 and a JACK period of 256 frames with nobody reading: the bus ring (2048
// samples) takes four periods whole, then nothing, not a part of a fifth.
TEST(RtHandoffTest, AnUnreadBusRingKeepsTheFirstPeriodsWhole) {
  constexpr std::size_t kPeriod = 256;
  RtHandoff handoff(128, 0);
  SampleRing::Producer main = std::move(handoff.rt_sinks()[0]);
  SampleRing::Consumer relay = std::move(handoff.network_ends().bus_consumers[0]);

  std::vector<float> period(2 * kPeriod);
  for (std::size_t cycle = 0; cycle < 6; ++cycle) {
    for (std::size_t i = 0; i < period.size(); ++i) period[i] = static_cast<float>(cycle * period.size() + i + 1);
    main.push_stereo_block(period.data(), kPeriod);
    EXPECT_EQ(relay.available(), std::min<std::size_t>(4, cycle + 1) * 2 * kPeriod) << "after cycle " << cycle;
  }

  std::vector<float> stored(2048);
  ASSERT_TRUE(relay.pop_block(stored.data(), stored.size()));
  for (std::size_t i = 0; i < stored.size(); ++i) ASSERT_EQ(stored[i], static_cast<float>(i + 1)) << i;
  EXPECT_EQ(relay.available(), 0u);
}

}  // namespace
}  // namespace vantle::broadcast

// The mix cycle on plain buffers: glides, pan law, sends and mutes, clip, relay
// lines, local sinks, the network handoff and the meters.
#include "engine/mix_engine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/scene.hpp"
#include "support/engine_harness.hpp"

namespace vantle::engine {
namespace {

using test::EngineHarness;

enum Out { kMainL, kMainR, kMonitorL, kMonitorR, kCueL, kCueR, kMainRelayL, kMainRelayR, kMonitorRelayL,
           kMonitorRelayR, kCueRelayL, kCueRelayR };

config::ChannelConfig channel(std::string id, config::ChannelKind kind = config::ChannelKind::kStereo) {
  config::ChannelConfig c;
  c.id = std::move(id);
  c.kind = kind;
  return c;
}

config::Config config_with(std::vector<config::ChannelConfig> channels, std::uint32_t ramp_ms = 0) {
  config::Config cfg;
  cfg.channels = std::move(channels);
  cfg.ramp_ms = ramp_ms;
  return cfg;
}

TEST(MixEngineRamp, GlideLengthFollowsRateBufferAndRampTime) {
  struct Case {
    std::uint32_t rate, buffer, ramp_ms, cycles;
  };
  for (auto c : {Case{48000, 256, 150, 28}, Case{48000, 256, 0, 1}, Case{48000, 8192, 150, 1}, Case{48000, 0, 150, 1},
                 Case{44100, 64, 1000, 689}, Case{192000, 16, 4294967295u, 268435444u}}) {
    EXPECT_EQ(LiveScene::ramp_cycles_for(c.rate, c.buffer, c.ramp_ms), c.cycles) << c.rate << "/" << c.buffer;
  }
}

TEST(MixEngineGlide, FaderMovesLinearlyOverTheRampAndLandsExactly) {
  auto cfg = config_with({channel("mic", config::ChannelKind::kMono)});
  cfg.channels[0].main_gain = 0.0f;
  // 4 cycles of 256 frames at 48 kHz: 1024 samples = 21.33 ms.
  cfg.ramp_ms = 22;
  EngineHarness h(cfg);
  ASSERT_EQ(h.scene->ramp_cycles(), 4u);
  h.fill_input(0, 1.0f);
  h.run(256);
  EXPECT_EQ(h.output(kMainL)[0], 0.0f);
  h.change_scene([](Scene& s) { s.channels[0].main = 1.0f; });
  for (float expected : {0.25f, 0.5f, 0.75f, 1.0f, 1.0f}) {
    h.run(256);
    EXPECT_FLOAT_EQ(h.output(kMainL)[100], expected);
    EXPECT_FLOAT_EQ(h.output(kMainR)[255], expected);
  }
}

TEST(MixEngineGlide, NewSceneDuringAGlideRestartsFromTheCurrentValue) {
  auto cfg = config_with({channel("mic", config::ChannelKind::kMono)}, 22);
  cfg.channels[0].main_gain = 0.0f;
  EngineHarness h(cfg);
  h.fill_input(0, 1.0f);
  h.change_scene([](Scene& s) { s.channels[0].main = 1.0f; });
  h.run(256);
  h.run(256);  // at 0.5
  h.change_scene([](Scene& s) { s.channels[0].main = 0.0f; });
  for (float expected : {0.375f, 0.25f, 0.125f, 0.0f}) {
    h.run(256);
    EXPECT_FLOAT_EQ(h.output(kMainL)[0], expected);
  }
}

TEST(MixEngineGlide, OnlyTheLatestOfTwoInstallsBetweenCyclesCounts) {
  EngineHarness h(config_with({channel("a", config::ChannelKind::kMono)}));
  h.fill_input(0, 1.0f);
  h.change_scene([](Scene& s) { s.channels[0].main = 0.5f; });
  // A writer that copied the original scene overwrites the first change.
  Scene stale = *h.scene->load();
  stale.channels[0].main = 1.0f;
  stale.main_gain = 0.25f;
  h.scene->install(stale);
  h.run(64);
  EXPECT_FLOAT_EQ(h.output(kMainL)[0], 0.25f);
}

TEST(MixEngineGlide, ReinstallingTheSameValuesChangesNothing) {
  auto cfg = config_with({channel("a", config::ChannelKind::kMono)}, 150);
  cfg.channels[0].main_gain = 0.7f;
  EngineHarness h(cfg);
  h.fill_input(0, 0.5f);
  h.run(256);
  const float before = h.output(kMainL)[0];
  h.change_scene([](Scene&) {});
  for (int i = 0; i < 30; ++i) {
    h.run(256);
    EXPECT_EQ(h.output(kMainL)[0], before);
  }
}

TEST(MixEngineGlide, SceneWithFewerOrMoreChannelsThanConfigured) {
  EngineHarness h(config_with({channel("a", config::ChannelKind::kMono), channel("b", config::ChannelKind::kMono)}));
  h.fill_input(0, 0.25f);
  h.fill_input(1, 0.5f);
  h.change_scene([](Scene& s) {
    s.channels[0].main = 0.5f;
    s.channels[1].main = 0.5f;
  });
  h.run(32);
  EXPECT_FLOAT_EQ(h.output(kMainL)[0], 0.25f * 0.5f + 0.5f * 0.5f);
  // Only one entry: the second channel keeps its last value.
  h.change_scene([](Scene& s) {
    s.channels.resize(1);
    s.channels[0].main = 1.0f;
  });
  h.run(32);
  EXPECT_FLOAT_EQ(h.output(kMainL)[0], 0.25f + 0.5f * 0.5f);
  // Extra entries are accepted and feed nothing.
  h.change_scene([](Scene& s) { s.channels.assign(40, ChannelFaders{1.0f, 0, 0, 0, 0, 0, 0}); });
  h.run(32);
  EXPECT_FLOAT_EQ(h.output(kMainL)[0], 0.75f);
}

struct PanCase {
  float pan;
  float left_gain, right_gain;
};

class MixEnginePan : public ::testing::TestWithParam<PanCase> {};

TEST_P(MixEnginePan, LinearBalance) {
  auto cfg = config_with({channel("st")});
  cfg.channels[0].pan = GetParam().pan;
  EngineHarness h(cfg);
  h.fill_input(0, 0.8f);
  h.fill_input(1, -0.4f);
  h.run(128);
  EXPECT_FLOAT_EQ(h.output(kMainL)[10], 0.8f * GetParam().left_gain);
  EXPECT_FLOAT_EQ(h.output(kMainR)[10], -0.4f * GetParam().right_gain);
}

INSTANTIATE_TEST_SUITE_P(Cases, MixEnginePan,
                         ::testing::Values(PanCase{0.0f, 1.0f, 1.0f}, PanCase{-0.5f, 1.0f, 0.5f},
                                           PanCase{0.5f, 0.5f, 1.0f}, PanCase{-1.0f, 1.0f, 0.0f},
                                           PanCase{1.0f, 0.0f, 1.0f}));

TEST(MixEngineSends, MonoReachesBothSidesAndMutesActPerBus) {
  auto cfg = config_with({channel("mic", config::ChannelKind::kMono)});
  cfg.channels[0].monitor_gain = 0.5f;
  cfg.channels[0].cue_gain = 0.25f;
  EngineHarness h(cfg);
  h.fill_input(0, 0.6f);
  h.run(64);
  EXPECT_FLOAT_EQ(h.output(kMainL)[5], 0.6f);
  EXPECT_FLOAT_EQ(h.output(kMainR)[5], 0.6f);
  EXPECT_FLOAT_EQ(h.output(kMonitorL)[5], 0.3f);
  EXPECT_FLOAT_EQ(h.output(kCueR)[5], 0.15f);

  h.change_scene([](Scene& s) { s.channels[0].main_muted = 1.0f; });
  h.run(64);
  EXPECT_EQ(h.output(kMainL)[5], 0.0f);
  EXPECT_FLOAT_EQ(h.output(kMonitorL)[5], 0.3f);
  EXPECT_FLOAT_EQ(h.output(kCueL)[5], 0.15f);

  h.change_scene([](Scene& s) {
    s.channels[0].main_muted = 0.0f;
    s.channels[0].cue_muted = 0.5f;  // a mute in between scales the send
  });
  h.run(64);
  EXPECT_FLOAT_EQ(h.output(kMainL)[5], 0.6f);
  EXPECT_FLOAT_EQ(h.output(kCueL)[5], 0.075f);
}

TEST(MixEngineMaster, ClipsAtFullScaleBeforeThePlugins) {
  auto cfg = config_with({channel("a", config::ChannelKind::kMono), channel("b", config::ChannelKind::kMono)});
  EngineHarness h(cfg);
  h.fill_input(0, 0.8f);
  h.fill_input(1, 0.7f);
  h.run(64);
  EXPECT_EQ(h.output(kMainL)[0], 1.0f);
  EXPECT_EQ(h.meters->latest().bus_out[0], 1.0f);
  h.fill_input(0, -0.8f);
  h.fill_input(1, -0.7f);
  h.change_scene([](Scene& s) { s.main_gain = 0.5f; });
  h.run(64);
  EXPECT_FLOAT_EQ(h.output(kMainL)[0], -0.75f);
  EXPECT_FLOAT_EQ(h.meters->latest().bus_out[0], 0.75f);
}

TEST(MixEngineMaster, BrokenInputBecomesSilenceNotAStuckEffect) {
  auto cfg = config_with({channel("a", config::ChannelKind::kMono)});
  cfg.buses.main_dsp.plugins = {config::PluginConfig{config::PluginKind::kEcho}};
  EngineHarness h(cfg);
  h.fill_input(0, std::numeric_limits<float>::quiet_NaN());
  h.input(0)[1] = std::numeric_limits<float>::infinity();
  h.run(64);
  EXPECT_EQ(h.output(kMainL)[1], 1.0f * 0.75f);  // +inf clips to full scale, echo mix 0.25 dry 0.75
  h.fill_input(0, 0.5f);
  for (int i = 0; i < 400; ++i) h.run(64);  // well past the echo's delay
  for (float v : h.output(kMainL)) {
    ASSERT_TRUE(std::isfinite(v));
  }
}

TEST(MixEngineRelay, SwitchAndGainDecideRelayPortsSinksAndRing) {
  auto cfg = config_with({channel("a", config::ChannelKind::kMono)}, 22);  // 4-cycle glides
  cfg.broadcast_frames = 128;
  config::LocalRelaySinkConfig sink;
  sink.name = "booth";
  sink.ports = {"booth_l", "booth_r"};
  cfg.local_relay_sink = {sink};
  EngineHarness h(cfg);
  h.fill_input(0, 0.5f);
  auto& main_ring = h.network.bus_consumers[0];

  h.run(64);
  EXPECT_FLOAT_EQ(h.output(kMainRelayL)[0], 0.5f);
  EXPECT_FLOAT_EQ(h.sink_output(0)[0], 0.5f);
  EXPECT_EQ(main_ring.available(), 128u);  // 64 interleaved stereo frames
  main_ring.drain();

  h.change_scene([](Scene& s) { s.main_relay_on = false; });
  h.run(64);
  EXPECT_EQ(h.output(kMainRelayL)[0], 0.0f);
  EXPECT_EQ(h.sink_output(1)[0], 0.0f);
  EXPECT_EQ(main_ring.available(), 0u);
  EXPECT_FLOAT_EQ(h.output(kMainL)[0], 0.5f);  // the bus itself plays on

  // Gain 0 while on: blocks go out while the gain glides down, none once it is 0.
  h.change_scene([](Scene& s) {
    s.main_relay_on = true;
    s.main_relay_gain = 0.0f;
  });
  std::vector<std::size_t> pushed;
  for (int i = 0; i < 5; ++i) {
    h.run(64);
    pushed.push_back(main_ring.available());
    main_ring.drain();
  }
  EXPECT_EQ(pushed, (std::vector<std::size_t>{128, 128, 128, 0, 0}));
  EXPECT_EQ(h.output(kMainRelayL)[0], 0.0f);
}

TEST(MixEngineRelay, LocalSinkFollowsItsFeedCell) {
  auto cfg = config_with({channel("a", config::ChannelKind::kMono)});
  cfg.channels[0].monitor_gain = 0.5f;
  cfg.channels[0].cue_gain = 0.25f;
  config::LocalRelaySinkConfig sink;
  sink.name = "booth";
  sink.ports = {"l", "r"};
  sink.default_bus = "monitor";
  cfg.local_relay_sink = {sink};
  EngineHarness h(cfg);
  h.fill_input(0, 1.0f);
  struct Case {
    std::uint8_t cell;
    float expected;
  };
  for (auto [cell, expected] : {Case{255, 0.5f}, Case{0, 1.0f}, Case{2, 0.25f}, Case{3, 0.0f}, Case{7, 1.0f}}) {
    if (cell != 255) h.sink_feeds->cell("booth")->store(cell);  // 255: the seeded default
    h.run(32);
    EXPECT_FLOAT_EQ(h.sink_output(0)[3], expected) << int(cell);
    EXPECT_FLOAT_EQ(h.sink_output(1)[3], expected) << int(cell);
  }
}

TEST(MixEngineIngest, ChannelsReadTheirSlotsAndSilenceWhenEmpty) {
  auto cfg = config_with({channel("remote"), channel("phone", config::ChannelKind::kMono)});
  cfg.ingest.slot_count = 3;
  cfg.channels[0].ingest_slot = 0;
  cfg.channels[1].ingest_slot = 2;
  cfg.channels[1].main_gain = 0.5f;
  EngineHarness h(cfg);
  for (int i = 0; i < 16; ++i) {
    h.network.slot_producers[0].push(0.25f);
    h.network.slot_producers[1].push(-0.25f);
    h.network.slot_producers[2].push(0.5f);
  }
  h.run(32);
  EXPECT_FLOAT_EQ(h.output(kMainL)[0], 0.25f + 0.25f);
  EXPECT_FLOAT_EQ(h.output(kMainR)[0], -0.25f + 0.25f);
  EXPECT_EQ(h.output(kMainL)[16], 0.0f);  // the rings ran dry
  EXPECT_EQ(h.stats->slot_drops(0).load(), 0u);
}

TEST(MixEngineCycle, ZeroFramesStillPublishesEmptyPeaks) {
  EngineHarness h(config_with({channel("a")}));
  h.fill_input(0, 1.0f);
  h.run(64);
  EXPECT_EQ(h.meters->latest().bus_out[0], 1.0f);
  h.run(0);
  const auto& frame = h.meters->latest();
  EXPECT_EQ(frame.bus_out[0], 0.0f);
  EXPECT_EQ(frame.channels[meters::kInput][0].left, 0.0f);
  EXPECT_EQ(h.network.bus_consumers[0].available(), 128u);  // only the first cycle's block
}

TEST(MixEngineCycle, LongCyclesAreMixedWhole) {
  auto cfg = config_with({channel("a", config::ChannelKind::kMono)});
  cfg.broadcast_frames = 1024;
  EngineHarness h(cfg);
  for (std::size_t i = 0; i < 10000; ++i) h.input(0)[i] = static_cast<float>(i % 100) / 100.0f;
  h.run(10000);
  for (std::size_t i : {0u, 4095u, 4096u, 8191u, 8192u, 9999u}) {
    EXPECT_FLOAT_EQ(h.output(kMainL)[i], static_cast<float>(i % 100) / 100.0f) << i;
  }
  EXPECT_EQ(h.network.bus_consumers[0].available(), 16384u);  // ring full: the rest was dropped
}

TEST(MixEngineMeters, PeaksPerListAndChannelsBeyondTheThirtySecond) {
  std::vector<config::ChannelConfig> channels;
  for (int i = 0; i < 40; ++i) channels.push_back(channel("c" + std::to_string(i), config::ChannelKind::kMono));
  auto cfg = config_with(channels);
  for (auto& c : cfg.channels) c.main_gain = 0.0f;
  cfg.channels[0].main_gain = 0.5f;
  cfg.channels[0].pan = 0.5f;
  cfg.channels[0].monitor_gain = 0.25f;
  cfg.channels[35].main_gain = 1.0f;
  EngineHarness h(cfg);
  for (std::size_t p = 0; p < 40; ++p) h.fill_input(p, 0.0f);
  h.input(0)[7] = -0.8f;
  h.input(35)[3] = 0.3f;
  h.run(64);
  const auto& f = h.meters->latest();
  EXPECT_EQ(f.channel_count, 40u);
  EXPECT_FLOAT_EQ(f.channels[meters::kInput][0].left, 0.4f);  // after the pan law
  EXPECT_FLOAT_EQ(f.channels[meters::kInput][0].right, 0.8f);
  EXPECT_FLOAT_EQ(f.channels[meters::kMain][0].left, 0.2f);
  EXPECT_FLOAT_EQ(f.channels[meters::kMonitor][0].right, 0.2f);
  EXPECT_EQ(f.channels[meters::kCue][0].right, 0.0f);
  // Position 35 is not metered, but it is mixed.
  EXPECT_FLOAT_EQ(h.output(kMainL)[3], 0.3f);
  EXPECT_FLOAT_EQ(f.bus_out[0], 0.4f);
}

}  // namespace
}  // namespace vantle::engine

// The process cycle must not allocate, free or lock, also while faders glide, whole
// scenes are swapped and plugin chains are rebuilt.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <thread>

#include "engine/scene.hpp"
#include "realtime/alloc_guard.hpp"
#include "support/engine_harness.hpp"
#include "util/realtime.hpp"

namespace vantle::test {
namespace {

// Calls through volatile pointers, so the compiler cannot drop the allocation.
void* (*volatile allocate)(std::size_t) = ::operator new;
void (*volatile release)(void*) = ::operator delete;

TEST(RealtimeGuard, CountsAllocationsAndLocksInsideTheScope) {
  const long before = realtime_violations.load();
  release(allocate(16));
  EXPECT_EQ(realtime_violations.load(), before);
  {
    rt::Scope scope;
    release(allocate(16));
    std::mutex m;
    m.lock();
    m.unlock();
  }
  EXPECT_EQ(realtime_violations.load(), before + 3);
}

config::PluginConfig plugin(config::PluginKind kind, float a, float b = 0.5f) {
  config::PluginConfig p;
  p.kind = kind;
  p.delay_ms = a;
  p.feedback = b;
  p.wet_mix = b;
  p.freq_hz = a * 10.0f;
  return p;
}

config::Config busy_config() {
  config::Config cfg;
  cfg.ramp_ms = 20;
  cfg.broadcast_frames = 160;
  cfg.ingest.slot_count = 4;
  for (int i = 0; i < 12; ++i) {
    config::ChannelConfig c;
    c.id = "ch" + std::to_string(i);
    c.kind = i % 3 == 0 ? config::ChannelKind::kMono : config::ChannelKind::kStereo;
    c.monitor_gain = 0.5f;
    c.cue_gain = 0.25f;
    cfg.channels.push_back(c);
  }
  cfg.channels[1].ingest_slot = 0;
  cfg.channels[3].ingest_slot = 2;
  cfg.buses.main_dsp.plugins = {plugin(config::PluginKind::kEcho, 120.0f), plugin(config::PluginKind::kLowPass, 300.0f)};
  cfg.buses.cue_dsp.plugins = {plugin(config::PluginKind::kReverb, 0.0f)};
  config::LocalRelaySinkConfig sink;
  sink.name = "booth";
  sink.ports = {"l", "r"};
  cfg.local_relay_sink = {sink};
  return cfg;
}

TEST(Realtime, TenThousandCyclesWithGlidesSwapsAndChainChangesNeverAllocate) {
  EngineHarness h(busy_config());
  for (std::size_t p = 0; p < h.input_count(); ++p) {
    for (std::size_t i = 0; i < 256; ++i) h.input(p)[i] = std::sin(0.01f * static_cast<float>(i + p));
  }
  const engine::Scene original = *h.scene->load();
  std::atomic<bool> done{false};
  std::atomic<long> installs{0};

  std::thread writer([&] {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> level(0.0f, 1.0f);
    long round = 0;
    while (!done.load()) {
      switch (round++ % 5) {
        case 0:  // a fader move
          h.change_scene([&](engine::Scene& s) {
            if (!s.channels.empty()) s.channels[random() % s.channels.size()].main = level(random);
          });
          break;
        case 1: {  // a whole new scene, with another number of channels
          engine::Scene s = original;
          s.name = "swap";
          s.channels.resize(random() % 20);
          s.main_gain = level(random);
          h.scene->install(std::move(s));
          break;
        }
        case 2:  // a changed chain on every bus
          h.change_scene([&](engine::Scene& s) {
            s.main_dsp_plugins = {plugin(config::PluginKind::kEcho, 50.0f + 400.0f * level(random), level(random))};
            s.monitor_dsp_plugins = {plugin(config::PluginKind::kDelay, 300.0f * level(random)),
                                     plugin(config::PluginKind::kHighPass, 100.0f)};
            s.cue_dsp_plugins = {plugin(config::PluginKind::kReverb, 0.0f, level(random)),
                                 plugin(config::PluginKind::kMidPass, 80.0f)};
          });
          break;
        case 3:  // a chain that never compares equal, rebuilt every cycle
          h.change_scene([&](engine::Scene& s) {
            s.cue_dsp_plugins = {plugin(config::PluginKind::kLowPass, std::numeric_limits<float>::quiet_NaN())};
          });
          break;
        case 4:  // relay switches and master values
          h.change_scene([&](engine::Scene& s) {
            s.main_relay_on = !s.main_relay_on;
            s.cue_relay_gain = level(random);
          });
          break;
      }
      installs.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  // The network side keeps the rings moving, and a display reads the meters.
  std::thread network([&] {
    float block[320];
    while (!done.load()) {
      for (auto& ring : h.network.bus_consumers) ring.pop_block(block, 320);
      for (auto& slot : h.network.slot_producers) {
        for (int i = 0; i < 64; ++i) slot.push(0.1f);
      }
      std::this_thread::yield();
    }
  });

  long violations = -1;
  std::thread process([&] {
    const long before = realtime_violations.load();
    // At least 12000 cycles, and long enough for every kind of change to happen often.
    for (int cycle = 0; cycle < 12000 || installs.load() < 250; ++cycle) {
      h.run(cycle % 97 == 0 ? 0 : 256);
      if (cycle % 50 == 0) (void)h.meters->latest();
    }
    violations = realtime_violations.load() - before;
  });
  process.join();
  done = true;
  writer.join();
  network.join();

  EXPECT_EQ(violations, 0);
  EXPECT_GE(installs.load(), 250);
  // The last scene the writers installed is the one the engine plays.
  h.change_scene([](engine::Scene& s) {
    s.main_gain = 0.0f;
    s.main_dsp_plugins.clear();
  });
  for (int i = 0; i < 10; ++i) h.run(256);
  EXPECT_EQ(h.output(0)[10], 0.0f);
}

}  // namespace
}  // namespace vantle::test

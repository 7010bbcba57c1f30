#include "support/plugins.hpp"
#include "dsp/plugin.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "signals.hpp"

namespace vantle::dsp {
namespace {

using config::PluginConfig;
using config::PluginKind;
using signals::Stereo;
using test::delay;
using test::echo;
using test::filter;
using test::reverb;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();


std::string describe(const PluginConfig& p) {
  return std::string(config::plugin_type_name(p.kind)) + " " + std::to_string(p.delay_ms) + " " +
         std::to_string(p.feedback) + " " + std::to_string(p.mix) + " " + std::to_string(p.wet_mix) +
         " " + std::to_string(p.decay) + " " + std::to_string(p.freq_hz) + " " + std::to_string(p.q);
}

Stereo run(Plugin& plugin, Stereo signal, std::size_t cycle = 256) {
  signals::run_cycles(plugin, signal, cycle);
  return signal;
}

TEST(DspPlugin, EachKindDoesItsEffect) {
  // One second of DC at 48 kHz after a short silence.
  Stereo dc = Stereo::silence(48000);
  for (std::size_t i = 100; i < dc.frames(); ++i) dc.left[i] = dc.right[i] = 1.0f;
  const auto last = [](const Stereo& s) { return s.left.back(); };

  EXPECT_NEAR(last(run(*make_plugin(filter(PluginKind::kLowPass, 1000, 0.707f), 48000), dc)), 1.0f, 1e-4f);
  EXPECT_NEAR(last(run(*make_plugin(filter(PluginKind::kHighPass, 1000, 0.707f), 48000), dc)), 0.0f, 1e-4f);
  EXPECT_NEAR(last(run(*make_plugin(filter(PluginKind::kMidPass, 1000, 0.707f), 48000), dc)), 0.0f, 1e-4f);

  const Stereo delayed = run(*make_plugin(delay(10), 48000), dc);
  EXPECT_EQ(delayed.left[579], 0.0f);
  EXPECT_EQ(delayed.left[580], 1.0f);  // 100 + 480

  // Echo 5 ms: full DC plus its repeats, mixed at 0.5 with feedback 0.5.
  const Stereo echoed = run(*make_plugin(echo(5, 0.5f, 0.5f), 48000), dc);
  EXPECT_EQ(echoed.left[339], 0.5f);
  EXPECT_EQ(echoed.left[340], 1.0f);
  EXPECT_NEAR(echoed.left.back(), 1.5f, 1e-4f);  // 0.5 + 0.5 * 1 / (1 - 0.5)

  const Stereo reverberated = run(*make_plugin(reverb(1.0f, 0.0f), 48000), dc);
  EXPECT_EQ(reverberated.left[100 + 2164], 0.0f);
  EXPECT_GT(reverberated.left[100 + 2165], 0.0f);
}

// Every kind, a few settings each, including ones only a broken configuration or
// scene carries.
std::vector<PluginConfig> every_kind() {
  return {
      echo(200, 0.3f, 0.25f),      echo(3, 0.9f, 0.5f),
      echo(kNaN, kNaN, kNaN),      reverb(0.3f, 0.5f),
      reverb(1.0f, 0.99f),         reverb(kNaN, kNaN),
      filter(PluginKind::kHighPass, 1000, 0.707f),
      filter(PluginKind::kLowPass, 1000, 0.707f),
      filter(PluginKind::kMidPass, 1000, 4.0f),
      filter(PluginKind::kLowPass, 23000, 0.707f),
      filter(PluginKind::kMidPass, kNaN, kNaN),
      filter(PluginKind::kHighPass, kInf, kInf),
      filter(PluginKind::kLowPass, -500, -1.0f),
      delay(10),                   delay(500),
      delay(0),                    delay(kNaN),
      echo(-5, -1, 2),             delay(-kInf),
  };
}

TEST(DspPlugin, ResetGivesTheStateOfAFreshInstance) {
  for (const PluginConfig& config : every_kind()) {
    SCOPED_TRACE(describe(config));
    const auto used = make_plugin(config, 48000);
    run(*used, Stereo::noisy(30000, 1));
    used->reset();
    const auto fresh = make_plugin(config, 48000);
    const Stereo in = Stereo::noisy(30000, 2);
    const Stereo a = run(*used, in, 300);
    const Stereo b = run(*fresh, in, 300);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(a.right, b.right);
  }
}

TEST(DspPlugin, BrokenParametersNeverProduceNonFiniteAudio) {
  for (const std::uint32_t rate : {48000u, 44100u, 0u, 1u}) {
    for (const PluginConfig& config : every_kind()) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, " << describe(config));
      const auto plugin = make_plugin(config, rate);
      const Stereo out = run(*plugin, Stereo::noisy(48000, 3));
      const auto finite = [](float x) { return std::isfinite(x); };
      EXPECT_TRUE(std::all_of(out.left.begin(), out.left.end(), finite));
      EXPECT_TRUE(std::all_of(out.right.begin(), out.right.end(), finite));
    }
  }
}

TEST(DspPlugin, TailsDieAwayToExactSilence) {
  // A decaying tail must reach 0, not settle on the smallest numbers a float holds,
  // where every operation costs many times more and the bus never goes quiet.
  const PluginConfig cases[] = {
      echo(10, 0.95f, 1.0f),
      reverb(1.0f, 0.95f),
      filter(PluginKind::kLowPass, 20, 10.0f),
      filter(PluginKind::kHighPass, 1000, 0.707f),
      filter(PluginKind::kMidPass, 100, 10.0f),
  };
  for (const PluginConfig& config : cases) {
    SCOPED_TRACE(describe(config));
    const auto plugin = make_plugin(config, 48000);
    run(*plugin, Stereo::noisy(48000, 4));
    Stereo quiet = Stereo::silence(256);
    for (int k = 0; k < 90 * 48000 / 256; ++k) {  // 90 seconds
      quiet = Stereo::silence(256);
      plugin->process(quiet.left.data(), quiet.right.data(), 256);
    }
    EXPECT_TRUE(std::all_of(quiet.left.begin(), quiet.left.end(), [](float x) { return x == 0.0f; }));
    EXPECT_TRUE(std::all_of(quiet.right.begin(), quiet.right.end(), [](float x) { return x == 0.0f; }));
  }
}

TEST(DspPlugin, ImpossibleDelayLinesFailToBuild) {
  // Far too long to allocate: the build reports it instead of making a short line.
  for (const float ms : {1e30f, kInf}) {
    SCOPED_TRACE(ms);
    EXPECT_THROW(make_plugin(echo(ms, 0.3f, 0.3f), 48000), std::length_error);
    EXPECT_THROW(make_plugin(delay(ms), 48000), std::length_error);
  }
}

}  // namespace
}  // namespace vantle::dsp

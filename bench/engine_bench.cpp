// One mix cycle of 256 frames at 48 kHz, as a share of the 5333 us JACK period,
// for 8, 32 and 64 channels, bare and with echo, reverb and low pass on every bus.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>

#include "support/engine_harness.hpp"

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 256;
constexpr double kPeriodSeconds = double(kFrames) / kRate;

vantle::config::Config bench_config(int channels, bool plugins) {
  vantle::config::Config cfg;
  for (int i = 0; i < channels; ++i) {
    vantle::config::ChannelConfig c;
    c.id = "ch" + std::to_string(i);
    c.kind = i % 4 == 0 ? vantle::config::ChannelKind::kMono : vantle::config::ChannelKind::kStereo;
    c.main_gain = 0.5f;
    c.monitor_gain = 0.3f;
    c.cue_gain = 0.1f;
    c.pan = (i % 5 - 2) * 0.2f;
    cfg.channels.push_back(c);
  }
  if (plugins) {
    using vantle::config::PluginConfig;
    using vantle::config::PluginKind;
    PluginConfig echo{PluginKind::kEcho};
    PluginConfig reverb{PluginKind::kReverb};
    PluginConfig low_pass{PluginKind::kLowPass};
    low_pass.freq_hz = 8000.0f;
    for (auto* dsp : {&cfg.buses.main_dsp, &cfg.buses.monitor_dsp, &cfg.buses.cue_dsp}) {
      dsp->plugins = {echo, reverb, low_pass};
    }
  }
  return cfg;
}

void BM_MixCycle(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  const bool plugins = state.range(1) != 0;
  vantle::test::EngineHarness h(bench_config(channels, plugins), kRate, kFrames);
  for (std::size_t port = 0; port < h.input_count(); ++port) {
    auto& buffer = h.input(port);
    for (std::size_t i = 0; i < kFrames; ++i) buffer[i] = 0.25f * std::sin(0.05f * static_cast<float>(i + 7 * port));
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    h.run(kFrames);
    // The network side drains the relay rings so every cycle pushes its blocks.
    for (auto& ring : h.network.bus_consumers) ring.drain();
    benchmark::ClobberMemory();
  }
  // Wall time per cycle as a percentage of the period.
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  state.counters["period_pct"] = elapsed.count() / static_cast<double>(state.iterations()) / kPeriodSeconds * 100.0;
  state.SetLabel(plugins ? "echo+reverb+low_pass on every bus" : "bare");
}

BENCHMARK(BM_MixCycle)->ArgNames({"channels", "plugins"})->ArgsProduct({{8, 32, 64}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();

// The mix engine without JACK: plain buffers stand in for the ports, so tests and
// benchmarks can run cycles directly and look at every output.
#pragma once

#include <memory>
#include <vector>

#include "broadcast/handoff.hpp"
#include "broadcast/local_sinks.hpp"
#include "config/config.hpp"
#include "engine/engine_stats.hpp"
#include "engine/live_scene.hpp"
#include "engine/mix_engine.hpp"
#include "meters/meter_slot.hpp"

namespace vantle::test {

class EngineHarness {
 public:
  static constexpr std::size_t kMaxFrames = 16384;

  explicit EngineHarness(config::Config config, std::uint32_t sample_rate = 48000, std::uint32_t buffer_size = 256);

  // One cycle of `frames` frames (at most kMaxFrames).
  void run(std::uint32_t frames);

  // The buffer of the input port at `position` (registration order).
  std::vector<float>& input(std::size_t position) { return inputs_[position]; }
  std::size_t input_count() const { return inputs_.size(); }
  // Fills every sample of an input port with `value`.
  void fill_input(std::size_t position, float value);
  // One of the twelve outputs: main L, R, monitor L, R, cue L, R, then the relay lines.
  const std::vector<float>& output(std::size_t index) const { return outputs_[index]; }
  const std::vector<float>& sink_output(std::size_t index) const { return sinks_[index]; }

  // Copy, change and install, like every writer does.
  template <class Change>
  void change_scene(Change change) {
    engine::Scene next = *scene->load();
    change(next);
    scene->install(std::move(next));
  }

  config::Config config;
  std::shared_ptr<engine::LiveScene> scene;
  std::shared_ptr<engine::EngineStats> stats;
  std::shared_ptr<meters::MeterSlot> meters;
  std::shared_ptr<broadcast::LocalSinkFeeds> sink_feeds;
  std::unique_ptr<broadcast::RtHandoff> handoff;
  broadcast::NetworkEnds network;
  std::unique_ptr<engine::MixEngine> engine;

 private:
  std::vector<std::vector<float>> inputs_, outputs_, sinks_;
  std::vector<const float*> input_pointers_;
  std::vector<float*> output_pointers_, sink_pointers_;
};

}  // namespace vantle::test

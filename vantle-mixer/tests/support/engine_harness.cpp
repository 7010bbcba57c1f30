#include "support/engine_harness.hpp"

#include <algorithm>

#include "engine/scene.hpp"

namespace vantle::test {

EngineHarness::EngineHarness(config::Config cfg, std::uint32_t sample_rate, std::uint32_t buffer_size)
    : config(std::move(cfg)) {
  std::vector<int> first_port;
  std::size_t ports = 0;
  for (const auto& channel : config.channels) {
    if (channel.ingest_slot) {
      first_port.push_back(-1);
      continue;
    }
    first_port.push_back(static_cast<int>(ports));
    ports += channel.kind == config::ChannelKind::kMono ? 1 : 2;
  }
  inputs_.assign(ports, std::vector<float>(kMaxFrames, 0.0f));
  outputs_.assign(12, std::vector<float>(kMaxFrames, 0.0f));
  sinks_.assign(2 * config.local_relay_sink.size(), std::vector<float>(kMaxFrames, 0.0f));
  for (auto& v : inputs_) input_pointers_.push_back(v.data());
  for (auto& v : outputs_) output_pointers_.push_back(v.data());
  for (auto& v : sinks_) sink_pointers_.push_back(v.data());

  stats = std::make_shared<engine::EngineStats>(sample_rate, buffer_size, config.ingest.slot_count);
  scene = std::make_shared<engine::LiveScene>(
      engine::default_scene(config), engine::LiveScene::ramp_cycles_for(sample_rate, buffer_size, config.ramp_ms),
      sample_rate);
  meters = std::make_shared<meters::MeterSlot>();
  sink_feeds = std::make_shared<broadcast::LocalSinkFeeds>(config.local_relay_sink);
  handoff = std::make_unique<broadcast::RtHandoff>(config.broadcast_frames, config.ingest.slot_count);
  network = handoff->network_ends();
  engine = std::make_unique<engine::MixEngine>(
      config, engine::MixEngine::Parts{first_port, scene, stats, meters, handoff->rt_sinks(),
                                       handoff->rt_ingest_sinks(), sink_feeds});
}

void EngineHarness::fill_input(std::size_t position, float value) {
  std::fill(inputs_[position].begin(), inputs_[position].end(), value);
}

void EngineHarness::run(std::uint32_t frames) {
  engine->process(frames, engine::CycleBuffers{input_pointers_.data(), output_pointers_.data(), sink_pointers_.data()});
}

}  // namespace vantle::test

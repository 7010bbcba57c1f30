#include "main/mixer.hpp"

#include "util/error.hpp"

namespace vantle::app {

Mixer::Mixer(config::Config config, RunningFlag running) : config_(std::move(config)), running_(std::move(running)) {}

Mixer::Built Mixer::build(config::Config config, RunningFlag running) {
  std::unique_ptr<Mixer> mixer(new Mixer(std::move(config), std::move(running)));
  const auto& cfg = mixer->config_;

  mixer->jack_ = engine::JackClient::open(cfg);
  mixer->stats_ = std::make_shared<engine::EngineStats>(mixer->jack_->sample_rate(), mixer->jack_->buffer_size(),
                                                        static_cast<std::size_t>(cfg.ingest.slot_count));

  auto [sender, receiver] = ReloadChannel::open();
  mixer->reload_sender_.emplace(std::move(sender));

  std::vector<jack_port_t*> outputs = mixer->jack_->bus_outputs();
  outputs.insert(outputs.end(), mixer->jack_->sink_outputs().begin(), mixer->jack_->sink_outputs().end());
  mixer->jack_->activate(std::make_unique<engine::SilentOutputs>(std::move(outputs)), mixer->stats_);

  return Built{std::move(mixer), std::move(receiver)};
}

Mixer::~Mixer() {
  stop_->request_stop();
  jack_.reset();
}

}  // namespace vantle::app

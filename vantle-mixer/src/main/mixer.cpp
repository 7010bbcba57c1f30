#include "main/mixer.hpp"

#include "broadcast/server.hpp"
#include "control/server.hpp"
#include "engine/autoconnect.hpp"
#include "engine/mix_engine.hpp"
#include "engine/scene.hpp"
#include "meters/meters_writer.hpp"
#include "midi/surface.hpp"
#include "util/error.hpp"
#include "util/log.hpp"

namespace vantle::app {

Mixer::Mixer(config::Config config, RunningFlag running) : config_(std::move(config)), running_(std::move(running)) {}

Mixer::Built Mixer::build(config::Config config, RunningFlag running) {
  std::unique_ptr<Mixer> mixer(new Mixer(std::move(config), std::move(running)));
  const auto& cfg = mixer->config_;

  mixer->jack_ = engine::JackClient::open(cfg);
  const auto rate = mixer->jack_->sample_rate();
  const auto buffer = mixer->jack_->buffer_size();
  mixer->stats_ =
      std::make_shared<engine::EngineStats>(rate, buffer, static_cast<std::size_t>(cfg.ingest.slot_count));
  mixer->scene_ = std::make_shared<engine::LiveScene>(
      engine::default_scene(cfg), engine::LiveScene::ramp_cycles_for(rate, buffer, cfg.ramp_ms), rate);
  mixer->meter_slot_ = std::make_shared<meters::MeterSlot>();

  std::vector<std::string> channel_ids;
  for (const auto& channel : cfg.channels) channel_ids.push_back(channel.id);
  meters::start_meters_writer(cfg.meters_file, mixer->meter_slot_, std::move(channel_ids), mixer->lifeline());

  mixer->sink_feeds_ = std::make_shared<broadcast::LocalSinkFeeds>(cfg.local_relay_sink);
  auto [command_sender, command_receiver] = broadcast::CommandChannel::open();
  auto server = std::make_unique<broadcast::BroadcastServer>(broadcast::BroadcastSettings::from_config(cfg, rate),
                                                             mixer->stats_, mixer->sink_feeds_,
                                                             std::move(command_receiver));
  mixer->handoff_ = std::make_unique<broadcast::RtHandoff>(cfg.broadcast_frames,
                                                           static_cast<std::size_t>(cfg.ingest.slot_count));
  server->attach(mixer->handoff_->network_ends());
  broadcast::BroadcastServer::start(std::move(server), mixer->lifeline());

  // The control server holds the sending ends of both command channels.
  auto [reload_sender, reload_receiver] = ReloadChannel::open();
  auto control = std::make_unique<control::ControlServer>(
      cfg, control::ControlLinks{mixer->scene_, std::move(command_sender), std::move(reload_sender)});
  control::ControlServer::start(std::move(control), mixer->lifeline());
  if (cfg.midi) {
    try {
      std::vector<std::string> midi_channels;
      for (const auto& channel : cfg.channels) midi_channels.push_back(channel.id);
      midi::start_midi_surface(*cfg.midi, std::move(midi_channels), mixer->scene_, mixer->lifeline());
    } catch (const Error& e) {
      log::get("vantle_mixer").warn("midi thread failed to start: {}", e.joined());
    }
  }

  auto engine = std::make_unique<engine::MixEngine>(
      cfg, engine::MixEngine::Parts{mixer->jack_->channel_first_port(), mixer->scene_, mixer->stats_,
                                    mixer->meter_slot_, mixer->handoff_->rt_sinks(),
                                    mixer->handoff_->rt_ingest_sinks(), mixer->sink_feeds_});
  mixer->jack_->activate(std::make_unique<engine::JackMixHandler>(std::move(engine), *mixer->jack_), mixer->stats_);
  engine::start_autoconnect(cfg.autoconnect, mixer->lifeline(), engine::autoconnect_interval());

  return Built{std::move(mixer), std::move(reload_receiver)};
}

Mixer::~Mixer() {
  stop_->request_stop();
  jack_.reset();
}

}  // namespace vantle::app

#include "main/reload.hpp"

#include <unordered_map>

#include "config/storage.hpp"
#include "util/error.hpp"
#include "util/log.hpp"

namespace vantle::app {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer");
  return instance;
}

std::vector<std::string> channel_ids(const config::Config& config) {
  std::vector<std::string> ids;
  for (const auto& channel : config.channels) ids.push_back(channel.id);
  return ids;
}

// Builds a `Mixer`; every failure comes back as an Error with its causes.
Mixer::Built build(const config::Config& config, const RunningFlag& running) {
  try {
    return Mixer::build(config, running);
  } catch (const Error&) {
    throw;
  } catch (const std::exception& e) {
    throw Error(e.what());
  }
}

}  // namespace

engine::Scene carried_over_scene(const engine::Scene& live, const std::vector<std::string>& old_channel_ids,
                                 const config::Config& candidate) {
  std::unordered_map<std::string, engine::ChannelFaders> carried;
  for (std::size_t i = 0; i < old_channel_ids.size() && i < live.channels.size(); ++i) {
    carried[old_channel_ids[i]] = live.channels[i];
  }
  engine::Scene scene = engine::default_scene(candidate);
  for (std::size_t i = 0; i < candidate.channels.size(); ++i) {
    if (auto it = carried.find(candidate.channels[i].id); it != carried.end()) scene.channels[i] = it->second;
  }
  scene.main_gain = live.main_gain;
  scene.monitor_gain = live.monitor_gain;
  scene.cue_gain = live.cue_gain;
  scene.main_relay_gain = live.main_relay_gain;
  scene.monitor_relay_gain = live.monitor_relay_gain;
  scene.cue_relay_gain = live.cue_relay_gain;
  scene.main_relay_on = live.main_relay_on;
  scene.monitor_relay_on = live.monitor_relay_on;
  scene.cue_relay_on = live.cue_relay_on;
  return scene;
}

void handle_reload(Supervisor& s, ReloadCommand command) {
  logger().info("reload requested: {} channels", command.config.channels.size());
  const std::shared_ptr<const engine::Scene> live = s.current->mixer->live_scene()->load();
  const std::vector<std::string> old_ids = channel_ids(s.current->mixer->config());

  s.current.reset();
  logger().info("mixer dropped, rebuilding...");

  try {
    s.current.emplace(build(command.config, s.running));
  } catch (const Error& e) {
    logger().warn("reload failed: {}", e.joined());
    command.reply.send(e.joined());
    try {
      s.current.emplace(build(s.config, s.running));
    } catch (Error& restore) {
      restore.context("failed to restore after reload failure");
      throw;
    }
    try {
      s.current->mixer->live_scene()->install(*live);
    } catch (const std::exception& install) {
      logger().warn("could not bring back the live scene: {}", install.what());
    }
    logger().info("restored previous config after failed reload");
    return;
  }

  try {
    s.current->mixer->live_scene()->install(carried_over_scene(*live, old_ids, command.config));
  } catch (const std::exception& install) {
    logger().warn("could not carry the live faders over: {}", install.what());
  }
  s.config = std::move(command.config);
  const auto path = s.state_dir / config::kRuntimeFileName;
  try {
    config::save_config(s.config, path);
    logger().info("saved config to {}", path.string());
  } catch (const Error& e) {
    logger().warn("failed to save config: {}", e.outermost());
  }
  logger().info("reload complete: {} channels", s.config.channels.size());
  command.reply.send(std::nullopt);
}

}  // namespace vantle::app

// The live mixing values: per channel the sends, mutes and pan, per bus the master
// gain, the relay line gain and switch, and the plugin chain. Exactly one scene is
// live at a time; every change makes a new one.
#pragma once

#include <string>
#include <vector>

#include "config/config.hpp"
#include "util/json.hpp"

namespace vantle::engine {

struct ChannelFaders {
  float main = 0.0f;
  float monitor = 0.0f;
  float cue = 0.0f;
  float main_muted = 0.0f;  // 1.0 muted, 0.0 open
  float monitor_muted = 0.0f;
  float cue_muted = 0.0f;
  float pan = 0.0f;  // -1.0 left .. 1.0 right

  bool operator==(const ChannelFaders&) const = default;
};

struct Scene {
  std::string name;
  std::vector<ChannelFaders> channels;  // entry i belongs to the i-th configured channel
  float main_gain = 1.0f;
  float monitor_gain = 1.0f;
  float cue_gain = 1.0f;
  float main_relay_gain = 1.0f;
  bool main_relay_on = true;
  float monitor_relay_gain = 1.0f;
  bool monitor_relay_on = true;
  float cue_relay_gain = 1.0f;
  bool cue_relay_on = true;
  std::vector<config::PluginConfig> main_dsp_plugins;
  std::vector<config::PluginConfig> monitor_dsp_plugins;
  std::vector<config::PluginConfig> cue_dsp_plugins;

  bool operator==(const Scene&) const = default;
};

// The faders a channel starts with.
ChannelFaders faders_of(const config::ChannelConfig& channel);

// The scene a configuration starts with, named "default".
Scene default_scene(const config::Config& config);

// Reads a scene: required members named in order when missing ("missing field
// `{}`"), plugin lists optional (empty), "pan" optional (0.0), mutes numbers only.
// Values are not range-checked, but a number no 32-bit float can hold is refused.
// A failure inside a channel or plugin entry has "channels[i]" or
// "main_dsp_plugins[i]" (and so on) as its outer context. Throws Error.
Scene scene_from_json(const json::Json& value);

// All fourteen members in order, floats in shortest form.
json::Json scene_to_json(const Scene& scene);

}  // namespace vantle::engine

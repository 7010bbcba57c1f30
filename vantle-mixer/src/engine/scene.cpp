#include "engine/scene.hpp"

#include <cmath>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/config_json.hpp"
#include "util/error.hpp"

namespace vantle::engine {

namespace {

using json::Json;
using json::ObjectReader;

// Presence is checked for all of `keys` first, in their order, so a reader hears of
// the first missing member whatever else is wrong further down.
void require_all(const ObjectReader& r, std::initializer_list<std::string_view> keys) {
  for (std::string_view key : keys) r.require(key);
}

const Json& array_member(const ObjectReader& r, std::string_view key) {
  const Json& v = r.require(key);
  if (!v.is_array()) {
    throw Error("invalid type for `" + std::string(key) + "`: expected an array, got " + json::describe(v));
  }
  return v;
}

ChannelFaders faders_from_json(const Json& value) {
  ObjectReader r(value, "a channel faders");
  require_all(r, {"main", "monitor", "cue", "main_muted", "monitor_muted", "cue_muted"});
  ChannelFaders f;
  f.main = r.finite_f32("main");
  f.monitor = r.finite_f32("monitor");
  f.cue = r.finite_f32("cue");
  f.main_muted = r.finite_f32("main_muted");
  f.monitor_muted = r.finite_f32("monitor_muted");
  f.cue_muted = r.finite_f32("cue_muted");
  if (const Json* pan = r.find("pan")) f.pan = json::as_finite_f32(*pan, "pan");
  return f;
}

Json faders_to_json(const ChannelFaders& f) {
  Json out = Json::object();
  out["main"] = json::f32(f.main);
  out["monitor"] = json::f32(f.monitor);
  out["cue"] = json::f32(f.cue);
  out["main_muted"] = json::f32(f.main_muted);
  out["monitor_muted"] = json::f32(f.monitor_muted);
  out["cue_muted"] = json::f32(f.cue_muted);
  out["pan"] = json::f32(f.pan);
  return out;
}

// Entry i of an array read by `read`; a failure names its place ("channels[2]") as
// the outer context, keeping the cause's own text intact.
template <class Read>
auto read_entries(const Json& array, std::string_view key, Read&& read) {
  std::vector<decltype(read(std::declval<const Json&>()))> out;
  out.reserve(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) {
    out.push_back(with_context(std::string(key) + "[" + std::to_string(i) + "]", [&] { return read(array[i]); }));
  }
  return out;
}

// A missing plugin list is an empty chain.
std::vector<config::PluginConfig> plugins_from_json(const ObjectReader& r, std::string_view key) {
  if (r.find(key) == nullptr) return {};
  return read_entries(array_member(r, key), key, [](const Json& v) { return config::plugin_from_json(v); });
}

Json plugins_to_json(const std::vector<config::PluginConfig>& plugins) {
  Json out = Json::array();
  for (const auto& p : plugins) out.push_back(config::plugin_to_json(p));
  return out;
}

}  // namespace

ChannelFaders faders_of(const config::ChannelConfig& channel) {
  ChannelFaders f;
  f.main = channel.main_gain;
  f.monitor = channel.monitor_gain;
  f.cue = channel.cue_gain;
  f.main_muted = channel.main_muted ? 1.0f : 0.0f;
  f.monitor_muted = 0.0f;
  f.cue_muted = 0.0f;
  f.pan = channel.pan;
  return f;
}

Scene default_scene(const config::Config& config) {
  const config::BusConfig& b = config.buses;
  Scene s;
  s.name = "default";
  s.channels.reserve(config.channels.size());
  for (const auto& channel : config.channels) s.channels.push_back(faders_of(channel));
  s.main_gain = b.main_gain;
  s.monitor_gain = b.monitor_gain;
  s.cue_gain = b.cue_gain;
  s.main_relay_gain = b.main_relay_gain;
  s.main_relay_on = b.main_relay_on;
  s.monitor_relay_gain = b.monitor_relay_gain;
  s.monitor_relay_on = b.monitor_relay_on;
  s.cue_relay_gain = b.cue_relay_gain;
  s.cue_relay_on = b.cue_relay_on;
  s.main_dsp_plugins = b.main_dsp.plugins;
  s.monitor_dsp_plugins = b.monitor_dsp.plugins;
  s.cue_dsp_plugins = b.cue_dsp.plugins;
  return s;
}

Scene scene_from_json(const Json& value) {
  ObjectReader r(value, "a scene");
  require_all(r, {"name", "channels", "main_gain", "monitor_gain", "cue_gain", "main_relay_gain", "main_relay_on",
                  "monitor_relay_gain", "monitor_relay_on", "cue_relay_gain", "cue_relay_on"});

  Scene s;
  s.name = r.string("name");
  s.channels = read_entries(array_member(r, "channels"), "channels", faders_from_json);
  s.main_gain = r.finite_f32("main_gain");
  s.monitor_gain = r.finite_f32("monitor_gain");
  s.cue_gain = r.finite_f32("cue_gain");
  s.main_relay_gain = r.finite_f32("main_relay_gain");
  s.main_relay_on = r.boolean("main_relay_on");
  s.monitor_relay_gain = r.finite_f32("monitor_relay_gain");
  s.monitor_relay_on = r.boolean("monitor_relay_on");
  s.cue_relay_gain = r.finite_f32("cue_relay_gain");
  s.cue_relay_on = r.boolean("cue_relay_on");
  s.main_dsp_plugins = plugins_from_json(r, "main_dsp_plugins");
  s.monitor_dsp_plugins = plugins_from_json(r, "monitor_dsp_plugins");
  s.cue_dsp_plugins = plugins_from_json(r, "cue_dsp_plugins");
  return s;
}

Json scene_to_json(const Scene& scene) {
  Json channels = Json::array();
  for (const auto& f : scene.channels) channels.push_back(faders_to_json(f));

  Json out = Json::object();
  out["name"] = scene.name;
  out["channels"] = std::move(channels);
  out["main_gain"] = json::f32(scene.main_gain);
  out["monitor_gain"] = json::f32(scene.monitor_gain);
  out["cue_gain"] = json::f32(scene.cue_gain);
  out["main_relay_gain"] = json::f32(scene.main_relay_gain);
  out["main_relay_on"] = scene.main_relay_on;
  out["monitor_relay_gain"] = json::f32(scene.monitor_relay_gain);
  out["monitor_relay_on"] = scene.monitor_relay_on;
  out["cue_relay_gain"] = json::f32(scene.cue_relay_gain);
  out["cue_relay_on"] = scene.cue_relay_on;
  out["main_dsp_plugins"] = plugins_to_json(scene.main_dsp_plugins);
  out["monitor_dsp_plugins"] = plugins_to_json(scene.monitor_dsp_plugins);
  out["cue_dsp_plugins"] = plugins_to_json(scene.cue_dsp_plugins);
  return out;
}

}  // namespace vantle::engine

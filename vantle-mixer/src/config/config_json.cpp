#include "config/config_json.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "util/error.hpp"

namespace vantle::config {

namespace {

using json::Json;
using json::ObjectReader;

// An error that already names its place in the document ("channels[2]: ..."); the
// records around it pass it on instead of prefixing their own names again.
class LocatedError : public Error {
 public:
  using Error::Error;
};

// Runs `body` (reading one nested record) and prefixes what fails in it with `where`,
// so an operator learns which channel or plugin is wrong, not just which member.
template <class Body>
auto at(const std::string& where, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (LocatedError&) {
    throw;
  } catch (const Error& e) {
    throw LocatedError(where + ": " + e.joined());
  } catch (const std::exception& e) {
    throw LocatedError(where + ": " + e.what());
  }
}

[[noreturn]] void invalid_type(std::string_view key, std::string_view expected, const Json& got) {
  throw Error("invalid type for `" + std::string(key) + "`: expected " + std::string(expected) + ", got " +
              json::describe(got));
}

float real_or(const ObjectReader& r, std::string_view key, float fallback) {
  const Json* v = r.find(key);
  return v ? json::as_finite_f32(*v, key) : fallback;
}

template <class T>
T unsigned_or(const ObjectReader& r, std::string_view key, T fallback) {
  return static_cast<T>(r.unsigned_or(key, std::numeric_limits<T>::max(), fallback));
}

template <class T>
T required_unsigned(const ObjectReader& r, std::string_view key) {
  return static_cast<T>(r.unsigned_int(key, std::numeric_limits<T>::max()));
}

// Missing and null both mean "none".
template <class T>
std::optional<T> nullable_unsigned(const ObjectReader& r, std::string_view key) {
  const Json* v = r.find(key);
  if (v == nullptr || v->is_null()) return std::nullopt;
  return static_cast<T>(json::as_unsigned(*v, key, std::numeric_limits<T>::max()));
}

PortPair pair(const Json& v, std::string_view key) {
  if (!v.is_array()) invalid_type(key, "an array of two strings", v);
  if (v.size() != 2) {
    throw Error("invalid length for `" + std::string(key) + "`: expected an array of two strings, got " +
                std::to_string(v.size()) + " elements");
  }
  const std::string k(key);
  return {json::as_string(v[0], k + "[0]"), json::as_string(v[1], k + "[1]")};
}

PortPair pair_or(const ObjectReader& r, std::string_view key, PortPair fallback) {
  const Json* v = r.find(key);
  return v ? pair(*v, key) : std::move(fallback);
}

std::map<std::string, std::string> string_map_or(const ObjectReader& r, std::string_view key) {
  std::map<std::string, std::string> out;
  const Json* v = r.find(key);
  if (v == nullptr) return out;
  if (!v->is_object()) invalid_type(key, "an object of strings", *v);
  for (const auto& [name, value] : v->items()) {
    out.emplace(name, json::as_string(value, std::string(key) + "." + name));
  }
  return out;
}

// The array under `key`, or nullptr when it is missing.
const Json* list(const ObjectReader& r, std::string_view key) {
  const Json* v = r.find(key);
  if (v != nullptr && !v->is_array()) invalid_type(key, "an array", *v);
  return v;
}

// The object under `key`, or nullptr when it is missing (or null, where allowed).
const Json* record(const ObjectReader& r, std::string_view key, bool nullable = false) {
  const Json* v = r.find(key);
  if (v == nullptr || (nullable && v->is_null())) return nullptr;
  if (!v->is_object()) invalid_type(key, nullable ? "an object or null" : "an object", *v);
  return v;
}

// Each element read by `read`, errors prefixed with "path[i]".
template <class Read>
auto read_list(const Json* array, const std::string& path, Read&& read) {
  std::vector<decltype(read(std::declval<const Json&>()))> out;
  if (array == nullptr) return out;
  out.reserve(array->size());
  for (std::size_t i = 0; i < array->size(); ++i) {
    out.push_back(at(path + "[" + std::to_string(i) + "]", [&] { return read((*array)[i]); }));
  }
  return out;
}

ChannelKind read_kind(const Json& v) {
  const std::string kind = json::as_string(v, "kind");
  if (kind == "stereo") return ChannelKind::kStereo;
  if (kind == "mono") return ChannelKind::kMono;
  throw Error("invalid value for `kind`: expected \"stereo\" or \"mono\", got " + json::describe(v));
}

ChannelConfig read_channel(const Json& v) {
  ObjectReader r(v, "a channel");
  ChannelConfig c;
  c.id = r.string("id");
  c.label = r.string_or("label", c.label);
  if (const Json* kind = r.find("kind")) c.kind = read_kind(*kind);
  c.main_gain = real_or(r, "main_gain", c.main_gain);
  c.main_muted = r.boolean_or("main_muted", c.main_muted);
  c.monitor_gain = real_or(r, "monitor_gain", c.monitor_gain);
  c.cue_gain = real_or(r, "cue_gain", c.cue_gain);
  c.pan = real_or(r, "pan", c.pan);
  c.ingest_slot = nullable_unsigned<std::uint64_t>(r, "ingest_slot");
  return c;
}

BusDspConfig read_dsp(const Json& v, const std::string& path) {
  ObjectReader r(v, "a DSP chain");
  BusDspConfig dsp;
  dsp.plugins = read_list(list(r, "plugins"), path + ".plugins", plugin_from_json);
  return dsp;
}

BusConfig read_buses(const Json& v, const std::string& path) {
  ObjectReader r(v, "a buses");
  BusConfig b;
  b.main = pair_or(r, "main", b.main);
  b.main_gain = real_or(r, "main_gain", b.main_gain);
  b.monitor = pair_or(r, "monitor", b.monitor);
  b.monitor_gain = real_or(r, "monitor_gain", b.monitor_gain);
  b.cue = pair_or(r, "cue", b.cue);
  b.cue_gain = real_or(r, "cue_gain", b.cue_gain);
  b.main_relay = pair_or(r, "main_relay", b.main_relay);
  b.main_relay_gain = real_or(r, "main_relay_gain", b.main_relay_gain);
  b.main_relay_on = r.boolean_or("main_relay_on", b.main_relay_on);
  b.monitor_relay = pair_or(r, "monitor_relay", b.monitor_relay);
  b.monitor_relay_gain = real_or(r, "monitor_relay_gain", b.monitor_relay_gain);
  b.monitor_relay_on = r.boolean_or("monitor_relay_on", b.monitor_relay_on);
  b.cue_relay = pair_or(r, "cue_relay", b.cue_relay);
  b.cue_relay_gain = real_or(r, "cue_relay_gain", b.cue_relay_gain);
  b.cue_relay_on = r.boolean_or("cue_relay_on", b.cue_relay_on);
  for (auto [key, dsp] : {std::pair{"main_dsp", &b.main_dsp}, std::pair{"monitor_dsp", &b.monitor_dsp},
                          std::pair{"cue_dsp", &b.cue_dsp}}) {
    if (const Json* d = record(r, key)) {
      const std::string where = path + "." + key;
      *dsp = at(where, [&] { return read_dsp(*d, where); });
    }
  }
  return b;
}

AutoConnect read_autoconnect(const Json& v) {
  ObjectReader r(v, "an autoconnect");
  AutoConnect a;
  a.src = r.string("src");
  a.dst = r.string("dst");
  return a;
}

SenderConfig read_sender(const Json& v) {
  ObjectReader r(v, "a sender");
  SenderConfig s;
  s.name = r.string("name");
  s.channels = required_unsigned<std::uint8_t>(r, "channels");
  s.start_slot = required_unsigned<std::uint64_t>(r, "start_slot");
  return s;
}

IngestConfig read_ingest(const Json& v, const std::string& path) {
  ObjectReader r(v, "an ingest");
  IngestConfig i;
  i.slot_count = unsigned_or<std::uint64_t>(r, "slot_count", i.slot_count);
  i.sender = read_list(list(r, "sender"), path + ".sender", read_sender);
  return i;
}

LocalRelaySinkConfig read_sink(const Json& v) {
  ObjectReader r(v, "a local relay sink");
  LocalRelaySinkConfig s;
  s.name = r.string("name");
  s.label = r.string_or("label", s.label);
  s.ports = pair(r.require("ports"), "ports");
  s.default_bus = r.string_or("default_bus", s.default_bus);
  return s;
}

MidiConfig read_midi(const Json& v) {
  ObjectReader r(v, "a midi");
  MidiConfig m;
  m.listen_port = unsigned_or<std::uint16_t>(r, "listen_port", m.listen_port);
  m.ardour_osc = r.string_or("ardour_osc", m.ardour_osc);
  m.idle_timeout_ms = unsigned_or<std::uint64_t>(r, "idle_timeout_ms", m.idle_timeout_ms);
  m.fader_step = real_or(r, "fader_step", m.fader_step);
  // Missing keeps the default file; an explicit null asks for no state file.
  if (const Json* file = r.find("midi_state_file")) {
    m.midi_state_file = file->is_null() ? std::nullopt : std::optional(json::as_string(*file, "midi_state_file"));
  }
  m.osc_feedback_port = nullable_unsigned<std::uint16_t>(r, "osc_feedback_port");
  m.mode_keys = string_map_or(r, "mode_keys");
  m.channel_keys = string_map_or(r, "channel_keys");
  m.channel_action_keys = string_map_or(r, "channel_action_keys");
  m.transport_keys = string_map_or(r, "transport_keys");
  m.navigation_keys = string_map_or(r, "navigation_keys");
  return m;
}

MulticastConfig read_multicast(const Json& v) {
  ObjectReader r(v, "a multicast");
  MulticastConfig m;
  m.enabled = r.boolean_or("enabled", m.enabled);
  m.group_addr = r.string_or("group_addr", m.group_addr);
  m.group_port = unsigned_or<std::uint16_t>(r, "group_port", m.group_port);
  m.ttl = unsigned_or<std::uint32_t>(r, "ttl", m.ttl);
  return m;
}

Json number(float value, FloatForm floats) {
  return floats == FloatForm::kWidened ? json::f32_widened(value) : json::f32(value);
}

Json pair_to_json(const PortPair& ports) {
  Json out = Json::array();
  out.push_back(ports[0]);
  out.push_back(ports[1]);
  return out;
}

Json map_to_json(const std::map<std::string, std::string>& entries) {
  Json out = Json::object();
  for (const auto& [name, value] : entries) out[name] = value;
  return out;
}

Json dsp_to_json(const BusDspConfig& dsp, FloatForm floats) {
  Json plugins = Json::array();
  for (const auto& p : dsp.plugins) plugins.push_back(plugin_to_json(p, floats));
  Json out = Json::object();
  out["plugins"] = std::move(plugins);
  return out;
}

Json channel_to_json(const ChannelConfig& c, FloatForm floats) {
  Json out = Json::object();
  out["id"] = c.id;
  out["label"] = c.label;
  out["kind"] = c.kind == ChannelKind::kMono ? "mono" : "stereo";
  out["main_gain"] = number(c.main_gain, floats);
  out["main_muted"] = c.main_muted;
  out["monitor_gain"] = number(c.monitor_gain, floats);
  out["cue_gain"] = number(c.cue_gain, floats);
  out["pan"] = number(c.pan, floats);
  out["ingest_slot"] = c.ingest_slot ? Json(*c.ingest_slot) : Json(nullptr);
  return out;
}

Json buses_to_json(const BusConfig& b, FloatForm floats) {
  Json out = Json::object();
  out["main"] = pair_to_json(b.main);
  out["main_gain"] = number(b.main_gain, floats);
  out["monitor"] = pair_to_json(b.monitor);
  out["monitor_gain"] = number(b.monitor_gain, floats);
  out["cue"] = pair_to_json(b.cue);
  out["cue_gain"] = number(b.cue_gain, floats);
  out["main_relay"] = pair_to_json(b.main_relay);
  out["main_relay_gain"] = number(b.main_relay_gain, floats);
  out["main_relay_on"] = b.main_relay_on;
  out["monitor_relay"] = pair_to_json(b.monitor_relay);
  out["monitor_relay_gain"] = number(b.monitor_relay_gain, floats);
  out["monitor_relay_on"] = b.monitor_relay_on;
  out["cue_relay"] = pair_to_json(b.cue_relay);
  out["cue_relay_gain"] = number(b.cue_relay_gain, floats);
  out["cue_relay_on"] = b.cue_relay_on;
  out["main_dsp"] = dsp_to_json(b.main_dsp, floats);
  out["monitor_dsp"] = dsp_to_json(b.monitor_dsp, floats);
  out["cue_dsp"] = dsp_to_json(b.cue_dsp, floats);
  return out;
}

Json midi_to_json(const MidiConfig& m, FloatForm floats) {
  Json out = Json::object();
  out["listen_port"] = m.listen_port;
  out["ardour_osc"] = m.ardour_osc;
  out["idle_timeout_ms"] = m.idle_timeout_ms;
  out["fader_step"] = number(m.fader_step, floats);
  out["midi_state_file"] = m.midi_state_file ? Json(*m.midi_state_file) : Json(nullptr);
  out["osc_feedback_port"] = m.osc_feedback_port ? Json(*m.osc_feedback_port) : Json(nullptr);
  out["mode_keys"] = map_to_json(m.mode_keys);
  out["channel_keys"] = map_to_json(m.channel_keys);
  out["channel_action_keys"] = map_to_json(m.channel_action_keys);
  out["transport_keys"] = map_to_json(m.transport_keys);
  out["navigation_keys"] = map_to_json(m.navigation_keys);
  return out;
}

}  // namespace

PluginConfig plugin_from_json(const Json& value) {
  ObjectReader r(value, "a plugin");
  const std::string type = r.string("type");
  PluginConfig p;
  if (type == "echo") {
    p.kind = PluginKind::kEcho;
    p.delay_ms = real_or(r, "delay_ms", 200.0f);
    p.feedback = real_or(r, "feedback", p.feedback);
    p.mix = real_or(r, "mix", p.mix);
  } else if (type == "reverb") {
    p.kind = PluginKind::kReverb;
    p.wet_mix = real_or(r, "wet_mix", p.wet_mix);
    p.decay = real_or(r, "decay", p.decay);
  } else if (type == "high_pass" || type == "low_pass" || type == "mid_pass") {
    p.kind = type == "high_pass"  ? PluginKind::kHighPass
             : type == "low_pass" ? PluginKind::kLowPass
                                  : PluginKind::kMidPass;
    p.freq_hz = r.finite_f32("freq_hz");
    p.q = real_or(r, "q", p.q);
  } else if (type == "delay") {
    p.kind = PluginKind::kDelay;
    p.delay_ms = r.finite_f32("delay_ms");
  } else {
    throw Error("unknown plugin type " + json::describe(r.require("type")) +
                ", expected one of echo, reverb, high_pass, low_pass, mid_pass, delay");
  }
  return p;
}

Json plugin_to_json(const PluginConfig& plugin, FloatForm floats) {
  Json out = Json::object();
  out["type"] = plugin_type_name(plugin.kind);
  switch (plugin.kind) {
    case PluginKind::kEcho:
      out["delay_ms"] = number(plugin.delay_ms, floats);
      out["feedback"] = number(plugin.feedback, floats);
      out["mix"] = number(plugin.mix, floats);
      break;
    case PluginKind::kReverb:
      out["wet_mix"] = number(plugin.wet_mix, floats);
      out["decay"] = number(plugin.decay, floats);
      break;
    case PluginKind::kHighPass:
    case PluginKind::kLowPass:
    case PluginKind::kMidPass:
      out["freq_hz"] = number(plugin.freq_hz, floats);
      out["q"] = number(plugin.q, floats);
      break;
    case PluginKind::kDelay:
      out["delay_ms"] = number(plugin.delay_ms, floats);
      break;
  }
  return out;
}

Config config_from_json(const Json& value) {
  ObjectReader r(value, "a configuration");
  Config c;
  c.jack_name = r.string_or("jack_name", c.jack_name);
  c.control_port = unsigned_or<std::uint16_t>(r, "control_port", c.control_port);
  c.control_bind = r.string_or("control_bind", c.control_bind);
  c.broadcast_port = unsigned_or<std::uint16_t>(r, "broadcast_port", c.broadcast_port);
  c.broadcast_frames = unsigned_or<std::uint16_t>(r, "broadcast_frames", c.broadcast_frames);
  c.meters_file = r.string_or("meters_file", c.meters_file);
  c.gains_file = r.string_or("gains_file", c.gains_file);
  c.scenes_file = r.string_or("scenes_file", c.scenes_file);
  c.relay_assignments_file = r.string_or("relay_assignments_file", c.relay_assignments_file);
  c.session_delay_file = r.string_or("session_delay_file", c.session_delay_file);
  c.ramp_ms = unsigned_or<std::uint32_t>(r, "ramp_ms", c.ramp_ms);
  // A stored configuration must say which channels it has, even if none.
  const Json& channels = r.require("channels");
  if (!channels.is_array()) invalid_type("channels", "an array", channels);
  c.channels = read_list(&channels, "channels", read_channel);
  if (const Json* buses = record(r, "buses")) c.buses = at("buses", [&] { return read_buses(*buses, "buses"); });
  c.autoconnect = read_list(list(r, "autoconnect"), "autoconnect", read_autoconnect);
  if (const Json* ingest = record(r, "ingest")) {
    c.ingest = at("ingest", [&] { return read_ingest(*ingest, "ingest"); });
  }
  c.local_relay_sink = read_list(list(r, "local_relay_sink"), "local_relay_sink", read_sink);
  if (const Json* midi = record(r, "midi", /*nullable=*/true)) c.midi = at("midi", [&] { return read_midi(*midi); });
  if (const Json* multicast = record(r, "multicast")) {
    c.multicast = at("multicast", [&] { return read_multicast(*multicast); });
  }
  return c;
}

Config config_from_json_text(std::string_view text) { return config_from_json(json::parse(text)); }

Json config_to_json(const Config& c, FloatForm floats) {
  Json out = Json::object();
  out["jack_name"] = c.jack_name;
  out["control_port"] = c.control_port;
  out["control_bind"] = c.control_bind;
  out["broadcast_port"] = c.broadcast_port;
  out["broadcast_frames"] = c.broadcast_frames;
  out["meters_file"] = c.meters_file;
  out["gains_file"] = c.gains_file;
  out["scenes_file"] = c.scenes_file;
  out["relay_assignments_file"] = c.relay_assignments_file;
  out["session_delay_file"] = c.session_delay_file;
  out["ramp_ms"] = c.ramp_ms;
  Json channels = Json::array();
  for (const auto& ch : c.channels) channels.push_back(channel_to_json(ch, floats));
  out["channels"] = std::move(channels);
  out["buses"] = buses_to_json(c.buses, floats);
  Json autoconnect = Json::array();
  for (const auto& a : c.autoconnect) autoconnect.push_back(Json{{"src", a.src}, {"dst", a.dst}});
  out["autoconnect"] = std::move(autoconnect);
  Json senders = Json::array();
  for (const auto& s : c.ingest.sender) {
    senders.push_back(Json{{"name", s.name}, {"channels", s.channels}, {"start_slot", s.start_slot}});
  }
  out["ingest"] = Json{{"slot_count", c.ingest.slot_count}, {"sender", std::move(senders)}};
  Json sinks = Json::array();
  for (const auto& s : c.local_relay_sink) {
    sinks.push_back(Json{{"name", s.name}, {"label", s.label}, {"ports", pair_to_json(s.ports)},
                         {"default_bus", s.default_bus}});
  }
  out["local_relay_sink"] = std::move(sinks);
  out["midi"] = c.midi ? midi_to_json(*c.midi, floats) : Json(nullptr);
  out["multicast"] = Json{{"enabled", c.multicast.enabled},
                          {"group_addr", c.multicast.group_addr},
                          {"group_port", c.multicast.group_port},
                          {"ttl", c.multicast.ttl}};
  return out;
}

std::string config_to_json_text(const Config& config) { return config_to_json(config).dump(2); }

}  // namespace vantle::config

#include "commands.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>

#include "config/config_json.hpp"
#include "engine/scene.hpp"
#include "util/error.hpp"
#include "util/files.hpp"

namespace vantle::ctl {

namespace {

using json::Json;

// Queries answered from memory come back at once; the JACK queries run jack_lsp on
// the mixer's side; a reload rebuilds the mixer, which answers within 10 s.
constexpr int kQuickMs = 2000;
constexpr int kJackToolMs = 6000;
constexpr int kReloadMs = 15000;

const Param kChannel{"CHANNEL", "channel", ArgKind::kName, "Channel id of the configuration"};
const Param kRelayName{"NAME", "name", ArgKind::kName, "Relay name"};
const Param kAssignFeed{"FEED", "feed", ArgKind::kFeed, "main, monitor, cue or off"};
const Param kSrcPort{"SRC", "src", ArgKind::kName, "Output port, full JACK name (client:port)"};
const Param kDstPort{"DST", "dst", ArgKind::kName, "Input port, full JACK name (client:port)"};

std::vector<Command> make_commands() {
  using enum Answer;
  return {
      {"get-config", "get_config", {}, kReply, "config", kQuickMs, "Show the buses and channels and the ramp time"},
      {"get-full-config", "get_full_config", {}, kReply, "full_config", kQuickMs,
       "Print the running configuration (as JSON a reload-config accepts)"},
      {"get-available-ports", "get_available_ports", {}, kReply, "available_ports", kJackToolMs,
       "List the JACK ports of other clients, grouped by client"},
      {"get-state", "get_state", {}, kReply, "state", kQuickMs, "Show the live faders, mutes, pans, masters and plugins"},
      {"set-scene", "set_scene", {{"FILE", "scene", ArgKind::kScene, "Scene JSON file, or - for standard input"}}, kNone,
       nullptr, 0, "Replace the live scene with the one in FILE"},
      {"set-fader", "set_fader",
       {kChannel,
        {"BUS", "bus", ArgKind::kMixBus, "main, monitor or cue"},
        {"GAIN", "gain", ArgKind::kGain, "Linear gain (0.5), or decibels (-6dB)"}},
       kNone, nullptr, 0, "Set a channel's send to a bus"},
      {"set-pan", "set_pan", {kChannel, {"PAN", "pan", ArgKind::kNumber, "-1 (left) to 1 (right)"}}, kNone, nullptr, 0,
       "Set a channel's pan"},
      {"set-mute", "set_mute",
       {kChannel,
        {"BUS", "bus", ArgKind::kMixBus, "main, monitor or cue"},
        {"MUTED", "muted", ArgKind::kSwitch, "on, off, true or false"}},
       kNone, nullptr, 0, "Mute or open a channel's send to a bus"},
      {"set-master", "set_master",
       {{"BUS", "bus", ArgKind::kMasterBus, "main, monitor, cue, main_relay, monitor_relay or cue_relay"},
        {"GAIN", "gain", ArgKind::kGain, "Linear gain (0.5), or decibels (-6dB)"}},
       kNone, nullptr, 0, "Set the master gain of a bus or relay line"},
      {"set-relay-on", "set_relay_on",
       {{"FEED", "feed", ArgKind::kRelayLine, "main, monitor or cue"},
        {"ON", "on", ArgKind::kSwitch, "on, off, true or false"}},
       kNone, nullptr, 0, "Switch a relay line on or off"},
      {"set-relay-assignment", "set_relay_assignment", {kRelayName, kAssignFeed}, kNone, nullptr, 0,
       "Assign a bus to a relay name (persisted by the mixer)"},
      {"set-relay-assignment-default", "set_relay_assignment_default", {kRelayName, kAssignFeed}, kNone, nullptr, 0,
       "Set the bus of a relay name unless one is assigned already"},
      {"get-midi-state", "get_midi_state", {}, kReply, "midi_state", kQuickMs, "Show the MIDI surface's mode and keys"},
      {"reload-config", "reload_config",
       {{"FILE", "config", ArgKind::kConfig, "Configuration JSON file, or - for standard input"}}, kReply,
       "reload_result", kReloadMs, "Rebuild the mixer with the configuration in FILE"},
      {"set-bus-dsp", "set_bus_dsp",
       {{"BUS", "bus", ArgKind::kMixBus, "main, monitor or cue"},
        {"PLUGINS", "plugins", ArgKind::kPlugins,
         "Plugin list: JSON text such as '[{\"type\":\"echo\"}]' or '[]', a file, or - for standard input"}},
       kErrorOnly, nullptr, kQuickMs, "Replace a bus's plugin chain"},
      {"set-session-delay", "set_session_delay",
       {kRelayName, {"MS", "delay_ms", ArgKind::kNumber, "Delay in milliseconds, 0 to 500"}}, kErrorOnly, nullptr,
       kQuickMs, "Delay the audio sent to a relay name"},
      {"get-jack-graph", "get_jack_graph", {}, kReply, "jack_graph", kJackToolMs,
       "Show every JACK client, port and connection"},
      {"jack-connect", "jack_connect", {kSrcPort, kDstPort}, kErrorOnly, nullptr, kJackToolMs, "Connect two JACK ports"},
      {"jack-disconnect", "jack_disconnect", {kSrcPort, kDstPort}, kErrorOnly, nullptr, kJackToolMs,
       "Disconnect two JACK ports"},
      {"register-relay", "register_relay", {kRelayName}, kReply, "welcome", kQuickMs,
       "Register as a multicast relay and show the bus and delay it gets"},
      {"relay-heartbeat", "relay_heartbeat", {kRelayName}, kNone, nullptr, 0, "Keep a multicast relay registered"},
      {"relay-bye", "relay_bye", {kRelayName}, kNone, nullptr, 0, "Unregister a multicast relay"},
  };
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

std::string one_of(const Param& param, std::string_view text, std::initializer_list<std::string_view> allowed) {
  for (auto a : allowed) {
    if (text == a) return std::string(text);
  }
  std::string list;
  for (auto a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
  throw UsageError(std::string(param.name) + ": expected one of " + list + ", got " + quoted(text));
}

// A finite number that a 32-bit float holds: the mixer keeps every value in one.
std::optional<double> number_of(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

float checked_float(const Param& param, std::string_view shown, double value) {
  if (!(std::fabs(value) <= std::numeric_limits<float>::max())) {
    throw UsageError(std::string(param.name) + ": " + quoted(shown) + " is out of range");
  }
  return static_cast<float>(value);
}

float number_argument(const Param& param, std::string_view text) {
  auto value = number_of(text);
  if (!value) throw UsageError(std::string(param.name) + ": expected a number, got " + quoted(text));
  return checked_float(param, text, *value);
}

// "0.5", or "-6dB" / "-6 dB" / "+3db" / "-inf dB" (silence).
float gain_argument(const Param& param, std::string_view text) {
  const std::string low = lower(text);
  if (low.size() < 2 || low.substr(low.size() - 2) != "db") return number_argument(param, text);
  std::string_view db = std::string_view(text).substr(0, text.size() - 2);
  while (!db.empty() && db.back() == ' ') db.remove_suffix(1);
  if (!db.empty() && db.front() == '+') db.remove_prefix(1);
  if (lower(db) == "-inf") return 0.0f;
  auto value = number_of(db);
  if (!value) throw UsageError(std::string(param.name) + ": expected a gain such as 0.5 or -6dB, got " + quoted(text));
  return checked_float(param, text, std::pow(10.0, *value / 20.0));
}

bool switch_argument(const Param& param, std::string_view text) {
  const std::string low = lower(text);
  if (low == "on" || low == "true") return true;
  if (low == "off" || low == "false") return false;
  throw UsageError(std::string(param.name) + ": expected on, off, true or false, got " + quoted(text));
}

// A whole file, or standard input for "-".
std::string read_input(const Param& param, const std::string& path) {
  if (path == "-") {
    std::string text(std::istreambuf_iterator<char>(std::cin), {});
    if (!files::is_valid_utf8(text)) throw UsageError(std::string(param.name) + ": standard input is not UTF-8 text");
    return text;
  }
  try {
    return files::read_text(path);
  } catch (const Error& e) {
    throw UsageError("cannot read " + path + ": " + e.joined());
  }
}

Json json_input(const std::string& where, const std::string& text) {
  try {
    return json::parse(text);
  } catch (const Error& e) {
    throw UsageError(where + ": invalid JSON: " + e.joined());
  }
}

std::string source_name(const std::string& path) { return path == "-" ? "standard input" : path; }

// The mixer drops a request it cannot decode without a word, so the scene and the
// plugins are read here first with the mixer's own readers; what is sent is the
// JSON as given.
Json scene_argument(const Param& param, const std::string& path) {
  const std::string where = source_name(path);
  Json scene = json_input(where, read_input(param, path));
  try {
    (void)engine::scene_from_json(scene);
  } catch (const Error& e) {
    throw UsageError(where + ": not a scene: " + e.joined());
  }
  return scene;
}

Json plugins_argument(const Param& param, const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  const bool inline_json = first != std::string::npos && (text[first] == '[' || text[first] == '{');
  const std::string where = inline_json ? std::string(param.name) : source_name(text);
  Json plugins = json_input(where, inline_json ? text : read_input(param, text));
  if (!plugins.is_array()) throw UsageError(where + ": expected a JSON array of plugins, got " + json::describe(plugins));
  for (std::size_t i = 0; i < plugins.size(); ++i) {
    try {
      (void)config::plugin_from_json(plugins[i]);
    } catch (const Error& e) {
      throw UsageError(where + ": plugin " + std::to_string(i + 1) + ": " + e.joined());
    }
  }
  return plugins;
}

Json config_argument(const Param& param, const std::string& path) {
  const std::string where = source_name(path);
  Json config = json_input(where, read_input(param, path));
  // Its contents are the mixer's to judge: a reload answers with what is wrong.
  if (!config.is_object()) throw UsageError(where + ": a configuration is a JSON object, got " + json::describe(config));
  return config;
}

}  // namespace

const std::vector<Command>& commands() {
  static const std::vector<Command> all = make_commands();
  return all;
}

const Command* find_command(std::string_view name) {
  for (const auto& c : commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

const Command* find_op(std::string_view op) {
  for (const auto& c : commands()) {
    if (op == c.op) return &c;
  }
  return nullptr;
}

Json argument_value(const Param& param, const std::string& text) {
  switch (param.kind) {
    case ArgKind::kName:
      if (text.empty()) throw UsageError(std::string(param.name) + " must not be empty");
      if (!files::is_valid_utf8(text)) throw UsageError(std::string(param.name) + ": not UTF-8 text");
      return text;
    case ArgKind::kMixBus:
      return one_of(param, text, {"main", "monitor", "cue"});
    case ArgKind::kMasterBus:
      return one_of(param, text, {"main", "monitor", "cue", "main_relay", "monitor_relay", "cue_relay"});
    case ArgKind::kRelayLine:
      return one_of(param, text, {"main", "monitor", "cue"});
    case ArgKind::kFeed:
      return one_of(param, text, {"main", "monitor", "cue", "off"});
    case ArgKind::kGain:
      return json::f32(gain_argument(param, text));
    case ArgKind::kNumber:
      return json::f32(number_argument(param, text));
    case ArgKind::kSwitch:
      return switch_argument(param, text);
    case ArgKind::kScene:
      return scene_argument(param, text);
    case ArgKind::kPlugins:
      return plugins_argument(param, text);
    case ArgKind::kConfig:
      return config_argument(param, text);
  }
  throw UsageError("unknown argument kind");
}

Json build_request(const Command& command, const std::vector<std::string>& args) {
  if (args.size() != command.args.size()) {
    throw UsageError(std::string(command.name) + " takes " + std::to_string(command.args.size()) + " argument(s)");
  }
  Json request = Json::object();
  request["op"] = command.op;
  for (std::size_t i = 0; i < args.size(); ++i) request[command.args[i].field] = argument_value(command.args[i], args[i]);
  return request;
}

std::optional<Json> parse_raw(const std::string& text) {
  try {
    return json::parse(text);
  } catch (const Error& e) {
    if (!nlohmann::json::accept(text)) throw UsageError("JSON: " + e.joined());
    return std::nullopt;
  }
}

std::string encode_request(const Json& request) {
  std::string bytes;
  try {
    bytes = request.dump();
  } catch (const std::exception& e) {
    throw UsageError(std::string("cannot encode the request: ") + e.what());
  }
  check_request_size(bytes);
  return bytes;
}

void check_request_size(std::string_view bytes) {
  if (bytes.size() > kMaxRequestBytes) {
    throw UsageError("the request is " + std::to_string(bytes.size()) + " bytes; the mixer reads at most " +
                     std::to_string(kMaxRequestBytes) + " bytes of a datagram");
  }
}

}  // namespace vantle::ctl

#include "render.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

namespace vantle::ctl {

namespace {

using json::Json;

const Json& member(const Json& object, std::string_view key) {
  static const Json kNull;
  if (!object.is_object()) return kNull;
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

const Json& list(const Json& object, std::string_view key) {
  static const Json kEmpty = Json::array();
  const Json& value = member(object, key);
  return value.is_array() ? value : kEmpty;
}

std::string text(const Json& value, std::string fallback = "?") {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return fallback;
  return value.dump();
}

std::string format(const char* pattern, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, pattern, value);
  return buf;
}

// Rows of cells as left-aligned columns two spaces apart, each line indented.
std::string table(const std::vector<std::vector<std::string>>& rows, const std::string& indent = "") {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line = indent;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

// A mute is a factor: 0 open, 1 muted; a scene may carry anything between.
std::string mute_text(const Json& mute) {
  if (!mute.is_number()) return mute.is_null() ? "" : "mute ?";
  const double m = mute.get<double>();
  if (m == 0.0) return "";
  if (m == 1.0) return "muted";
  return format("mute %.2f", m);
}

std::string send_cell(const Json& gain, const Json& mute) {
  std::string cell = gain_text(gain);
  const std::string muted = mute_text(mute);
  return muted.empty() ? cell : cell + " " + muted;
}

std::string plugin_text(const Json& plugin) {
  if (!plugin.is_object()) return text(plugin);
  std::string out = text(member(plugin, "type"));
  for (const auto& [key, value] : plugin.items()) {
    if (key != "type") out += " " + key + "=" + text(value);
  }
  return out;
}

std::string chain_text(const Json& plugins) {
  if (!plugins.is_array()) return "?";
  if (plugins.empty()) return "(none)";
  std::string out;
  for (const auto& p : plugins) out += (out.empty() ? "" : "; ") + plugin_text(p);
  return out;
}

std::string key_text(const Json& key) {
  if (!key.is_object()) return text(key, "none");
  std::string out = text(member(key, "note")) + " velocity " + text(member(key, "velocity")) + " at " +
                    text(member(key, "timestamp_ms")) + " ms";
  const Json& action = member(key, "action");
  out += action.is_null() ? " (no action)" : ": " + text(action);
  return out;
}

// The generic payloads carry floats widened to double precision (0.800000011920929);
// every float of a configuration is a 32-bit one, so its shortest form says the same.
void shorten_floats(Json& value) {
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isfinite(d) && std::fabs(d) <= std::numeric_limits<float>::max()) value = json::f32(static_cast<float>(d));
  } else if (value.is_structured()) {
    for (auto& child : value) shorten_floats(child);
  }
}

Json without_kind(const Json& reply) {
  Json payload = reply;
  if (payload.is_object()) payload.erase("kind");
  return payload;
}

}  // namespace

std::string gain_text(const Json& gain) {
  if (!gain.is_number()) return "?";
  const double g = gain.get<double>();
  std::string out = format("%.3f", g);
  if (g == 0.0) return out + " (-inf dB)";
  out += format(" (%.1f dB", 20.0 * std::log10(std::fabs(g)));
  return out + (g < 0.0 ? ", inverted)" : ")");
}

std::string render_config(const Json& reply) {
  std::vector<std::vector<std::string>> buses{{"bus", "label"}};
  for (const auto& b : list(reply, "buses")) buses.push_back({text(member(b, "id")), text(member(b, "label"))});
  std::vector<std::vector<std::string>> channels{{"channel", "kind", "label"}};
  for (const auto& c : list(reply, "channels")) {
    channels.push_back({text(member(c, "id")), text(member(c, "kind")), text(member(c, "label"))});
  }
  std::string out = table(buses) + "\n";
  out += channels.size() == 1 ? "no channels\n" : table(channels);
  out += "\nramp: " + text(member(reply, "ramp_ms")) + " ms\n";
  return out;
}

std::string render_state(const Json& reply, const std::vector<std::string>& channel_ids) {
  std::string out = "scene: " + text(member(reply, "name")) + "\n\n";
  std::vector<std::vector<std::string>> channels{{"channel", "main", "monitor", "cue", "pan"}};
  const Json& faders = list(reply, "channels");
  for (std::size_t i = 0; i < faders.size(); ++i) {
    const Json& f = faders[i];
    const Json& pan = member(f, "pan");
    channels.push_back({i < channel_ids.size() ? channel_ids[i] : "#" + std::to_string(i + 1),
                        send_cell(member(f, "main"), member(f, "main_muted")),
                        send_cell(member(f, "monitor"), member(f, "monitor_muted")),
                        send_cell(member(f, "cue"), member(f, "cue_muted")),
                        pan.is_number() ? format("%.2f", pan.get<double>()) : text(pan)});
  }
  out += faders.empty() ? "no channels\n" : table(channels);

  std::vector<std::vector<std::string>> buses{{"bus", "master", "relay line", "relay"}};
  for (std::string bus : {"main", "monitor", "cue"}) {
    const Json& on = member(reply, bus + "_relay_on");
    buses.push_back({bus, gain_text(member(reply, bus + "_gain")), gain_text(member(reply, bus + "_relay_gain")),
                     on.is_boolean() ? (on.get<bool>() ? "on" : "off") : text(on)});
  }
  out += "\n" + table(buses);

  std::vector<std::vector<std::string>> chains{{"plugins:"}};
  for (std::string bus : {"main", "monitor", "cue"}) {
    chains.push_back({"  " + bus, chain_text(member(reply, bus + "_dsp_plugins"))});
  }
  out += "\n" + table(chains);
  return out;
}

std::string render_available_ports(const Json& reply) {
  std::string out;
  for (const auto& [key, title] : {std::pair{"capture", "capture (sources):"}, {"playback", "playback (destinations):"}}) {
    out += std::string(title) + "\n";
    const Json& groups = list(reply, key);
    if (groups.empty()) out += "  (none)\n";
    for (const auto& g : groups) {
      out += "  " + text(member(g, "client")) + "\n";
      for (const auto& port : list(g, "ports")) out += "    " + text(port) + "\n";
    }
  }
  return out;
}

std::string render_jack_graph(const Json& reply) {
  const Json& clients = list(reply, "clients");
  if (clients.empty()) return "no JACK clients\n";
  std::string out;
  for (const auto& c : clients) {
    out += text(member(c, "name")) + "\n";
    for (const auto& p : list(c, "ports")) {
      std::string line = "  " + text(member(p, "name")) + " (" + text(member(p, "direction")) + ")";
      std::string targets;
      for (const auto& t : list(p, "connections")) targets += (targets.empty() ? "" : ", ") + text(t);
      if (!targets.empty()) line += " -> " + targets;
      out += line + "\n";
    }
  }
  return out;
}

std::string render_midi_state(const Json& reply) {
  if (!member(reply, "mode").is_string()) return without_kind(reply).dump(2) + "\n";
  std::string out = "mode: " + text(member(reply, "mode")) + "\n";
  out += "channel: " + text(member(reply, "channel"), "none") + "\n";
  if (reply.contains("last_key")) out += "last key: " + key_text(member(reply, "last_key")) + "\n";
  if (reply.contains("recent_keys")) {
    const Json& keys = list(reply, "recent_keys");
    out += keys.empty() ? "recent keys: none\n" : "recent keys:\n";
    for (const auto& k : keys) out += "  " + key_text(k) + "\n";
  }
  return out;
}

std::string render_full_config(const Json& reply) {
  Json config = without_kind(reply);
  shorten_floats(config);
  return config.dump(2) + "\n";
}

std::string render_welcome(const Json& reply) {
  const Json& delay = member(reply, "delay_ms");
  return "bus: " + text(member(reply, "bus")) + "\ndelay: " + text(delay) + " ms\n";
}

std::string render_reply(const Json& reply) {
  const std::string kind = text(member(reply, "kind"), "");
  if (kind == "config") return render_config(reply);
  if (kind == "state") return render_state(reply, {});
  if (kind == "available_ports") return render_available_ports(reply);
  if (kind == "jack_graph") return render_jack_graph(reply);
  if (kind == "midi_state") return render_midi_state(reply);
  if (kind == "full_config") return render_full_config(reply);
  if (kind == "welcome") return render_welcome(reply);
  if (kind == "reload_result") {
    if (member(reply, "success") == Json(true)) return "reload succeeded\n";
    return "reload failed: " + text(member(reply, "error")) + "\n";
  }
  if (kind == "error") return "error: " + text(member(reply, "message")) + "\n";
  return reply.dump(2) + "\n";
}

}  // namespace vantle::ctl

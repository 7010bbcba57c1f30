#include "control/protocol.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <map>

#include "config/config_json.hpp"
#include "util/error.hpp"

namespace vantle::control {

namespace {

using json::Json;
using json::ObjectReader;

// Numbers are held as 32-bit floats; one beyond their range is refused rather than
// turned into an infinity that would reach the mix.
float number(const ObjectReader& r, std::string_view key) { return r.finite_f32(key); }

std::vector<config::PluginConfig> plugin_list(const ObjectReader& r, std::string_view key) {
  const Json& list = r.require(key);
  if (!list.is_array()) throw Error("invalid type for `" + std::string(key) + "`: expected a sequence, got " + json::describe(list));
  std::vector<config::PluginConfig> plugins;
  for (std::size_t i = 0; i < list.size(); ++i) {
    try {
      plugins.push_back(config::plugin_from_json(list[i]));
    } catch (Error& e) {
      e.context(std::string(key) + "[" + std::to_string(i) + "]");
      throw;
    }
  }
  return plugins;
}

using Decoder = std::function<Request(const ObjectReader&)>;

const std::map<std::string, Decoder, std::less<>>& decoders() {
  static const std::map<std::string, Decoder, std::less<>> table = {
      {"get_config", [](const ObjectReader&) -> Request { return GetConfig{}; }},
      {"get_full_config", [](const ObjectReader&) -> Request { return GetFullConfig{}; }},
      {"get_available_ports", [](const ObjectReader&) -> Request { return GetAvailablePorts{}; }},
      {"get_state", [](const ObjectReader&) -> Request { return GetState{}; }},
      {"set_scene", [](const ObjectReader& r) -> Request { return SetScene{engine::scene_from_json(r.require("scene"))}; }},
      {"set_fader",
       [](const ObjectReader& r) -> Request { return SetFader{r.string("channel"), r.string("bus"), number(r, "gain")}; }},
      {"set_pan", [](const ObjectReader& r) -> Request { return SetPan{r.string("channel"), number(r, "pan")}; }},
      {"set_mute",
       [](const ObjectReader& r) -> Request { return SetMute{r.string("channel"), r.string("bus"), r.boolean("muted")}; }},
      {"set_master", [](const ObjectReader& r) -> Request { return SetMaster{r.string("bus"), number(r, "gain")}; }},
      {"set_relay_on", [](const ObjectReader& r) -> Request { return SetRelayOn{r.string("feed"), r.boolean("on")}; }},
      {"set_relay_assignment",
       [](const ObjectReader& r) -> Request { return SetRelayAssignment{r.string("name"), r.string("feed")}; }},
      {"set_relay_assignment_default",
       [](const ObjectReader& r) -> Request { return SetRelayAssignmentDefault{r.string("name"), r.string("feed")}; }},
      {"get_midi_state", [](const ObjectReader&) -> Request { return GetMidiState{}; }},
      {"reload_config", [](const ObjectReader& r) -> Request { return ReloadConfig{r.require("config")}; }},
      {"set_bus_dsp",
       [](const ObjectReader& r) -> Request { return SetBusDsp{r.string("bus"), plugin_list(r, "plugins")}; }},
      {"set_session_delay",
       [](const ObjectReader& r) -> Request { return SetSessionDelay{r.string("name"), number(r, "delay_ms")}; }},
      {"get_jack_graph", [](const ObjectReader&) -> Request { return GetJackGraph{}; }},
      {"jack_connect", [](const ObjectReader& r) -> Request { return JackConnect{r.string("src"), r.string("dst")}; }},
      {"jack_disconnect",
       [](const ObjectReader& r) -> Request { return JackDisconnect{r.string("src"), r.string("dst")}; }},
      {"register_relay", [](const ObjectReader& r) -> Request { return RegisterRelay{r.string("name")}; }},
      {"relay_heartbeat", [](const ObjectReader& r) -> Request { return RelayHeartbeat{r.string("name")}; }},
      {"relay_bye", [](const ObjectReader& r) -> Request { return RelayBye{r.string("name")}; }},
  };
  return table;
}

// Generic payloads: floats were widened when the payload was built; here only the
// member order changes.
std::string with_kind(const char* kind, const Json& payload) {
  if (!payload.is_null() && !payload.is_object()) return {};
  Json out = Json::object();
  out["kind"] = kind;
  if (payload.is_object()) {
    const Json members = sorted(payload);
    for (const auto& [key, value] : members.items()) out[key] = value;
  }
  return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json port_groups(const std::vector<PortGroup>& groups) {
  Json list = Json::array();
  for (const auto& group : groups) list.push_back(Json{{"client", group.client}, {"ports", group.ports}});
  return list;
}

Json graph_clients(const JackGraph& graph) {
  Json clients = Json::array();
  for (const auto& client : graph.clients) {
    Json ports = Json::array();
    for (const auto& port : client.ports) {
      ports.push_back(Json{{"name", port.name},
                           {"direction", port.output ? "output" : "input"},
                           {"connections", port.connections}});
    }
    clients.push_back(Json{{"name", client.name}, {"ports", std::move(ports)}});
  }
  return clients;
}

std::string compact(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

Request decode_request(std::string_view datagram) {
  const Json value = json::parse(datagram);
  const ObjectReader r(value, "a request");
  const std::string op = r.string("op");
  const auto& table = decoders();
  auto it = table.find(op);
  if (it == table.end()) throw Error("unknown variant `" + op + "`");
  try {
    return it->second(r);
  } catch (Error& e) {
    e.context("op `" + op + "`");
    throw;
  }
}

Json sorted(const Json& value) {
  if (value.is_array()) {
    Json out = Json::array();
    for (const auto& item : value) out.push_back(sorted(item));
    return out;
  }
  if (!value.is_object()) return value;
  std::vector<std::string> keys;
  for (const auto& [key, _] : value.items()) keys.push_back(key);
  std::sort(keys.begin(), keys.end());  // std::string compares bytes as unsigned
  Json out = Json::object();
  for (const auto& key : keys) out[key] = sorted(value.at(key));
  return out;
}

std::string encode_reply(const Reply& reply) {
  struct Encoder {
    std::string operator()(const ConfigReply& r) const { return with_kind("config", r.payload); }
    std::string operator()(const FullConfigReply& r) const { return with_kind("full_config", r.payload); }
    std::string operator()(const MidiStateReply& r) const { return with_kind("midi_state", r.payload); }
    std::string operator()(const AvailablePortsReply& r) const {
      return compact(Json{{"kind", "available_ports"},
                          {"capture", port_groups(r.ports.capture)},
                          {"playback", port_groups(r.ports.playback)}});
    }
    std::string operator()(const StateReply& r) const {
      Json out = Json::object();
      out["kind"] = "state";
      const Json scene = engine::scene_to_json(r.scene);
      for (const auto& [key, value] : scene.items()) out[key] = value;
      return compact(out);
    }
    std::string operator()(const ReloadResultReply& r) const {
      return compact(Json{{"kind", "reload_result"},
                          {"success", r.success},
                          {"error", r.error ? Json(*r.error) : Json(nullptr)}});
    }
    std::string operator()(const JackGraphReply& r) const {
      return compact(Json{{"kind", "jack_graph"}, {"clients", graph_clients(r.graph)}});
    }
    std::string operator()(const WelcomeReply& r) const {
      return compact(Json{{"kind", "welcome"}, {"bus", r.bus}, {"delay_ms", json::f32(r.delay_ms)}});
    }
    std::string operator()(const ErrorReply& r) const {
      return compact(Json{{"kind", "error"}, {"message", r.message}});
    }
  };
  return std::visit(Encoder{}, reply);
}

std::string encode_relay_assignment(std::string_view name, std::string_view feed) {
  return compact(Json{{"feed", feed}, {"name", name}, {"op", "set_relay_assignment"}});
}

std::string encode_relay_delay(std::string_view name, float delay_ms) {
  return compact(Json{{"delay_ms", json::f32_widened(delay_ms)}, {"name", name}, {"op", "set_session_delay"}});
}

}  // namespace vantle::control

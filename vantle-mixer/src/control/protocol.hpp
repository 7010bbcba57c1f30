// The control protocol: JSON over UDP, one request per datagram and at most one
// reply. Decoding is strict (types, missing and duplicate members, trailing bytes);
// replies have a fixed member order and number form that operators' tools rely on.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/config.hpp"
#include "control/jack_graph.hpp"
#include "engine/scene.hpp"
#include "util/json.hpp"

namespace vantle::control {

// The longest datagram read; a longer one is cut by the socket and then normally
// fails to decode.
inline constexpr std::size_t kMaxRequestBytes = 8192;

struct GetConfig {};
struct GetFullConfig {};
struct GetAvailablePorts {};
struct GetState {};
struct SetScene {
  engine::Scene scene;
};
struct SetFader {
  std::string channel, bus;
  float gain;
};
struct SetPan {
  std::string channel;
  float pan;
};
struct SetMute {
  std::string channel, bus;
  bool muted;
};
struct SetMaster {
  std::string bus;
  float gain;
};
struct SetRelayOn {
  std::string feed;
  bool on;
};
struct SetRelayAssignment {
  std::string name, feed;
};
struct SetRelayAssignmentDefault {
  std::string name, feed;
};
struct GetMidiState {};
struct ReloadConfig {
  json::Json config;
};
struct SetBusDsp {
  std::string bus;
  std::vector<config::PluginConfig> plugins;
};
struct SetSessionDelay {
  std::string name;
  float delay_ms;
};
struct GetJackGraph {};
struct JackConnect {
  std::string src, dst;
};
struct JackDisconnect {
  std::string src, dst;
};
struct RegisterRelay {
  std::string name;
};
struct RelayHeartbeat {
  std::string name;
};
struct RelayBye {
  std::string name;
};

using Request = std::variant<GetConfig, GetFullConfig, GetAvailablePorts, GetState, SetScene, SetFader, SetPan,
                             SetMute, SetMaster, SetRelayOn, SetRelayAssignment, SetRelayAssignmentDefault,
                             GetMidiState, ReloadConfig, SetBusDsp, SetSessionDelay, GetJackGraph, JackConnect,
                             JackDisconnect, RegisterRelay, RelayHeartbeat, RelayBye>;

// One datagram to a request. Throws Error with the reason (only logged).
Request decode_request(std::string_view datagram);

// Replies whose payload is a generic JSON value: written with every object's members
// in ascending byte order and 32-bit floats widened to double precision.
struct ConfigReply {
  json::Json payload;
};
struct FullConfigReply {
  json::Json payload;  // null when the configuration could not be converted
};
struct MidiStateReply {
  json::Json payload;
};
struct AvailablePortsReply {
  AvailablePorts ports;
};
struct StateReply {
  engine::Scene scene;
};
struct ReloadResultReply {
  bool success = false;
  std::optional<std::string> error;
};
struct JackGraphReply {
  JackGraph graph;
};
struct WelcomeReply {
  std::string bus;
  float delay_ms = 0.0f;
};
struct ErrorReply {
  std::string message;
};

using Reply = std::variant<ConfigReply, FullConfigReply, AvailablePortsReply, StateReply, MidiStateReply,
                           ReloadResultReply, JackGraphReply, WelcomeReply, ErrorReply>;

// The bytes of one reply datagram, compact. Empty when a generic payload is neither
// an object nor null (it cannot follow "kind").
std::string encode_reply(const Reply& reply);

// Messages to a registered multicast relay, members in ascending byte order.
std::string encode_relay_assignment(std::string_view name, std::string_view feed);
std::string encode_relay_delay(std::string_view name, float delay_ms);

// A generic value with every object's members in ascending byte order.
json::Json sorted(const json::Json& value);

}  // namespace vantle::control

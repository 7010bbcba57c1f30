#include "control/server.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <future>

#include "config/config_json.hpp"
#include "config/validate.hpp"
#include "util/error.hpp"
#include "util/files.hpp"
#include "util/log.hpp"
#include "util/threads.hpp"

namespace vantle::control {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::control");
  return instance;
}

constexpr int kReceiveTimeoutMs = 500;
constexpr auto kStaleAfter = std::chrono::seconds(10);
constexpr float kMaxDelayMs = 500.0f;

// "control_bind" must be an address literal. IPv6 notation parses, but the socket is
// IPv4, so such an address fails at the bind as the system would refuse it.
struct BindAddress {
  std::optional<net::Endpoint> v4;
  std::string text;  // address:port as logged
};

BindAddress parse_bind(const std::string& bind, std::uint16_t port) {
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, bind.c_str(), &v4) == 1) {
    net::Endpoint endpoint = net::Endpoint::any(port);
    endpoint.addr.sin_addr = v4;
    return {endpoint, endpoint.to_string()};
  }
  if (::inet_pton(AF_INET6, bind.c_str(), &v6) == 1) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    return {std::nullopt, "[" + std::string(text) + "]:" + std::to_string(port)};
  }
  throw Error("invalid IP address syntax").context("parsing control_bind " + bind);
}

const std::array<std::pair<const char*, const char*>, 6> kBuses = {{{"main", "Main"},
                                                                     {"monitor", "Monitor"},
                                                                     {"cue", "Cue"},
                                                                     {"main_relay", "Main Relay"},
                                                                     {"monitor_relay", "Monitor Relay"},
                                                                     {"cue_relay", "Cue Relay"}}};

// The send of a channel for a bus of "set_fader", or null.
float* bus_gain(engine::ChannelFaders& faders, const std::string& bus) {
  if (bus == "main") return &faders.main;
  if (bus == "monitor") return &faders.monitor;
  if (bus == "cue") return &faders.cue;
  return nullptr;
}

float* bus_mute(engine::ChannelFaders& faders, const std::string& bus) {
  if (bus == "main") return &faders.main_muted;
  if (bus == "monitor") return &faders.monitor_muted;
  if (bus == "cue") return &faders.cue_muted;
  return nullptr;
}

float* master_gain(engine::Scene& scene, const std::string& bus) {
  if (bus == "main") return &scene.main_gain;
  if (bus == "monitor") return &scene.monitor_gain;
  if (bus == "cue") return &scene.cue_gain;
  if (bus == "main_relay") return &scene.main_relay_gain;
  if (bus == "monitor_relay") return &scene.monitor_relay_gain;
  if (bus == "cue_relay") return &scene.cue_relay_gain;
  return nullptr;
}

bool* relay_switch(engine::Scene& scene, const std::string& feed) {
  if (feed == "main") return &scene.main_relay_on;
  if (feed == "monitor") return &scene.monitor_relay_on;
  if (feed == "cue") return &scene.cue_relay_on;
  return nullptr;
}

std::vector<config::PluginConfig>* bus_plugins(engine::Scene& scene, const std::string& bus) {
  if (bus == "main") return &scene.main_dsp_plugins;
  if (bus == "monitor") return &scene.monitor_dsp_plugins;
  if (bus == "cue") return &scene.cue_dsp_plugins;
  return nullptr;
}

// A member of one of the relay state files, or nothing when the file is missing,
// unreadable or broken, or has no such entry.
std::optional<json::Json> state_file_entry(const std::string& path, const char* map, const std::string& name) {
  try {
    const json::Json file = json::parse(files::read_text(path));
    if (!file.is_object()) return std::nullopt;
    auto entries = file.find(map);
    if (entries == file.end() || !entries->is_object()) return std::nullopt;
    auto entry = entries->find(name);
    if (entry == entries->end()) return std::nullopt;
    return *entry;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The bound as an operator reads it: "500".
std::string format_bound(float bound) { return std::to_string(static_cast<long>(bound)); }

}  // namespace

// ---- MulticastRelayTable ---------------------------------------------------------

void MulticastRelayTable::register_relay(const std::string& name, const net::Endpoint& address,
                                         Clock::time_point now) {
  entries_[name] = Entry{address, now};
}

bool MulticastRelayTable::heartbeat(const std::string& name, Clock::time_point now) {
  auto it = entries_.find(name);
  if (it == entries_.end()) return false;
  it->second.last_seen = now;
  return true;
}

void MulticastRelayTable::remove(const std::string& name) { entries_.erase(name); }

const MulticastRelayTable::Entry* MulticastRelayTable::find(const std::string& name) const {
  auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::string> MulticastRelayTable::take_stale(Clock::time_point now) {
  std::vector<std::string> stale;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (now - it->second.last_seen >= kStaleAfter) {
      stale.push_back(it->first);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  return stale;
}

// ---- plugin checks ---------------------------------------------------------------

std::optional<std::string> check_plugins(const std::vector<config::PluginConfig>& plugins) {
  using config::PluginKind;
  const std::string bound = format_bound(kMaxDelayMs);
  for (const auto& p : plugins) {
    switch (p.kind) {
      case PluginKind::kEcho:
        if (!(p.delay_ms > 0.0f && p.delay_ms <= kMaxDelayMs)) return "echo delay_ms must be >0 and <=" + bound;
        if (!(p.feedback >= 0.0f && p.feedback <= 0.95f)) return "echo feedback 0..0.95";
        if (!(p.mix >= 0.0f && p.mix <= 1.0f)) return "echo mix 0..1";
        break;
      case PluginKind::kReverb:
        if (!(p.wet_mix >= 0.0f && p.wet_mix <= 1.0f)) return "reverb wet_mix 0..1";
        if (!(p.decay >= 0.0f && p.decay <= 0.99f)) return "reverb decay 0..0.99";
        break;
      case PluginKind::kHighPass:
      case PluginKind::kLowPass:
      case PluginKind::kMidPass:
        if (!(p.freq_hz > 0.0f && p.freq_hz <= 24000.0f)) return "freq_hz 0..24000";
        if (!(p.q > 0.0f && p.q <= 10.0f)) return "q 0..10";
        break;
      case PluginKind::kDelay:
        if (!(p.delay_ms > 0.0f && p.delay_ms <= kMaxDelayMs)) return "delay delay_ms must be >0 and <=" + bound;
        break;
    }
  }
  return std::nullopt;
}

// ---- ControlServer ---------------------------------------------------------------

ControlServer::ControlServer(config::Config config, ControlLinks links, JackTools tools)
    : config_(std::move(config)), links_(std::move(links)), tools_(std::move(tools)) {
  const BindAddress bind = parse_bind(config_.control_bind, config_.control_port);
  socket_ = with_context("creating control socket", [] { return net::UdpSocket::create(); });
  with_context("setting SO_REUSEADDR on control socket", [&] { socket_.set_reuse_address(); });
  with_context("binding control UDP socket on " + bind.text, [&] {
    if (!bind.v4) throw Error(os_error_text(EAFNOSUPPORT));
    socket_.bind(*bind.v4);
  });
  with_context("set control socket timeout", [&] { socket_.set_receive_timeout(kReceiveTimeoutMs); });
  // The port the system chose when the configuration asks for any (0).
  logger().info("control plane listening on udp://{}", socket_.local_endpoint().to_string());

  // Two channels with one id: the later one answers to it.
  for (std::size_t i = 0; i < config_.channels.size(); ++i) {
    const auto& channel = config_.channels[i];
    channel_index_[channel.id] = i;
    channels_.push_back(Descriptor{channel.id, channel.label.empty() ? channel.id : channel.label,
                                   channel.kind == config::ChannelKind::kMono ? "mono" : "stereo"});
  }
}

ControlServer::~ControlServer() = default;

void ControlServer::start(std::unique_ptr<ControlServer> server, Lifeline lifeline) {
  std::shared_ptr<ControlServer> shared(std::move(server));
  with_context("spawn control thread", [&] {
    spawn_detached("control", [shared, lifeline] {
      while (lifeline.alive()) shared->serve_once(Clock::now());
      logger().info("control thread exiting");
    });
  });
}

void ControlServer::serve_once(Clock::time_point now) {
  std::array<std::uint8_t, kMaxRequestBytes> buffer;
  std::size_t length = 0;
  net::Endpoint from;
  int error = 0;
  switch (socket_.receive(buffer, length, from, error)) {
    case net::UdpSocket::Received::kNothing:
      return;
    case net::UdpSocket::Received::kError:
      logger().warn("control recv: {}", os_error_text(error));
      return;
    case net::UdpSocket::Received::kDatagram:
      break;
  }

  Request request;
  try {
    request = decode_request(std::string_view(reinterpret_cast<const char*>(buffer.data()), length));
  } catch (const std::exception& e) {
    logger().warn("control json parse: {}", e.what());
    return;
  }

  std::optional<Reply> reply;
  try {
    reply = handle(request, from, now);
  } catch (const std::exception& e) {
    // Nothing a request carries may stop the control plane.
    logger().warn("control request failed: {}", e.what());
  }
  if (reply) {
    const std::string bytes = encode_reply(*reply);
    socket_.send_to(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), from);
  }
  evict_stale_relays(now);
}

void ControlServer::evict_stale_relays(Clock::time_point now) {
  for (const auto& name : relays_.take_stale(now)) {
    logger().info("control: evict stale multicast relay: {}", name);
    send_command(broadcast::RemoveMulticastRelay{name});
  }
}

template <class Change>
void ControlServer::change_scene(Change&& change) {
  engine::Scene scene = *links_.scene->load();
  if (change(scene)) links_.scene->install(std::move(scene));
}

std::optional<std::size_t> ControlServer::channel_position(const std::string& id, std::size_t scene_channels) const {
  auto it = channel_index_.find(id);
  if (it == channel_index_.end()) return std::nullopt;
  if (it->second >= scene_channels) {
    logger().debug("control: channel {} has no entry in the live scene", id);
    return std::nullopt;
  }
  return it->second;
}

void ControlServer::send_command(broadcast::BroadcastCommand command, const char* failure_text) {
  if (!links_.commands.send(std::move(command)) && failure_text != nullptr) {
    logger().warn("{}: {}", failure_text, broadcast::CommandChannel::kClosedText);
  }
}

void ControlServer::send_to_relay(const std::string& name, const std::string& message) {
  if (const auto* entry = relays_.find(name)) {
    socket_.send_to(std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()),
                    entry->address);
  }
}

std::optional<Reply> ControlServer::handle(const Request& request, const net::Endpoint& from, Clock::time_point now) {
  // Channel requests: an unknown channel, bus or feed changes nothing and gets no reply.
  auto with_channel = [&](const std::string& id, auto&& edit) {
    change_scene([&](engine::Scene& scene) {
      auto position = channel_position(id, scene.channels.size());
      return position && edit(scene.channels[*position]);
    });
  };

  struct Handler {
    ControlServer& self;
    const net::Endpoint& from;
    Clock::time_point now;
    decltype(with_channel)& edit_channel;

    std::optional<Reply> operator()(const GetConfig&) { return self.config_reply(); }
    std::optional<Reply> operator()(const GetFullConfig&) {
      json::Json payload;
      try {
        payload = config::config_to_json(self.config_, config::FloatForm::kWidened);
      } catch (const std::exception&) {
        payload = nullptr;
      }
      return FullConfigReply{std::move(payload)};
    }
    std::optional<Reply> operator()(const GetAvailablePorts&) {
      return AvailablePortsReply{query_available_ports(self.tools_)};
    }
    std::optional<Reply> operator()(const GetState&) { return StateReply{*self.links_.scene->load()}; }
    std::optional<Reply> operator()(const SetScene& r) {
      // Values are taken as they come, but plugin parameters outside the ranges of
      // "set_bus_dsp" could make a chain allocate without bound, so such a scene is refused.
      for (const auto* list : {&r.scene.main_dsp_plugins, &r.scene.monitor_dsp_plugins, &r.scene.cue_dsp_plugins}) {
        if (auto problem = check_plugins(*list)) {
          logger().warn("control: set_scene refused: {}", *problem);
          return std::nullopt;
        }
      }
      self.links_.scene->install(r.scene);
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetFader& r) {
      edit_channel(r.channel, [&](engine::ChannelFaders& f) {
        float* gain = bus_gain(f, r.bus);
        if (gain != nullptr) *gain = r.gain;
        return gain != nullptr;
      });
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetPan& r) {
      edit_channel(r.channel, [&](engine::ChannelFaders& f) {
        f.pan = std::clamp(r.pan, -1.0f, 1.0f);
        return true;
      });
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetMute& r) {
      edit_channel(r.channel, [&](engine::ChannelFaders& f) {
        float* mute = bus_mute(f, r.bus);
        if (mute != nullptr) *mute = r.muted ? 1.0f : 0.0f;
        return mute != nullptr;
      });
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetMaster& r) {
      self.change_scene([&](engine::Scene& scene) {
        float* gain = master_gain(scene, r.bus);
        if (gain != nullptr) *gain = r.gain;
        return gain != nullptr;
      });
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetRelayOn& r) {
      self.change_scene([&](engine::Scene& scene) {
        bool* on = relay_switch(scene, r.feed);
        if (on != nullptr) *on = r.on;
        return on != nullptr;
      });
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetRelayAssignment& r) {
      assign(r.name, r.feed, false);
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetRelayAssignmentDefault& r) {
      assign(r.name, r.feed, true);
      return std::nullopt;
    }
    void assign(const std::string& name, const std::string& feed_text, bool as_default) {
      const auto feed = broadcast::parse_feed(feed_text);
      if (!feed) return;
      if (as_default) {
        self.send_command(broadcast::SetDefaultAssignment{name, *feed}, "assignment channel send");
      } else {
        self.send_command(broadcast::SetAssignment{name, *feed}, "assignment channel send");
      }
      self.send_to_relay(name, encode_relay_assignment(name, feed_text));
    }
    std::optional<Reply> operator()(const GetMidiState&) { return self.midi_state_reply(); }
    std::optional<Reply> operator()(const ReloadConfig& r) { return self.reload(r.config); }
    std::optional<Reply> operator()(const SetBusDsp& r) {
      if (auto problem = check_plugins(r.plugins)) return ErrorReply{*problem};
      engine::Scene scene = *self.links_.scene->load();
      auto* plugins = bus_plugins(scene, r.bus);
      if (plugins == nullptr) return ErrorReply{"invalid bus"};
      *plugins = r.plugins;
      self.links_.scene->install(std::move(scene));
      return std::nullopt;
    }
    std::optional<Reply> operator()(const SetSessionDelay& r) {
      if (!(r.delay_ms >= 0.0f && r.delay_ms <= kMaxDelayMs)) {
        return ErrorReply{"delay_ms must be 0.." + format_bound(kMaxDelayMs)};
      }
      self.send_command(broadcast::SetSessionDelayCommand{r.name, r.delay_ms}, "set_session_delay send");
      self.send_to_relay(r.name, encode_relay_delay(r.name, r.delay_ms));
      return std::nullopt;
    }
    std::optional<Reply> operator()(const GetJackGraph&) { return JackGraphReply{query_jack_graph(self.tools_)}; }
    std::optional<Reply> operator()(const JackConnect& r) {
      if (auto error = jack_connect(r.src, r.dst, self.tools_)) return ErrorReply{*error};
      return std::nullopt;
    }
    std::optional<Reply> operator()(const JackDisconnect& r) {
      if (auto error = jack_disconnect(r.src, r.dst, self.tools_)) return ErrorReply{*error};
      return std::nullopt;
    }
    std::optional<Reply> operator()(const RegisterRelay& r) { return self.welcome(r.name, from, now); }
    std::optional<Reply> operator()(const RelayHeartbeat& r) {
      self.relays_.heartbeat(r.name, now);
      self.send_command(broadcast::MulticastRelayHeartbeat{r.name});
      return std::nullopt;
    }
    std::optional<Reply> operator()(const RelayBye& r) {
      self.relays_.remove(r.name);
      self.send_command(broadcast::RemoveMulticastRelay{r.name});
      return std::nullopt;
    }
  };
  return std::visit(Handler{*this, from, now, with_channel}, request);
}

Reply ControlServer::config_reply() const {
  json::Json buses = json::Json::array();
  for (const auto& [id, label] : kBuses) buses.push_back(json::Json{{"id", id}, {"label", label}});
  json::Json channels = json::Json::array();
  for (const auto& c : channels_) channels.push_back(json::Json{{"id", c.id}, {"kind", c.kind}, {"label", c.label}});
  return ConfigReply{json::Json{{"buses", std::move(buses)}, {"channels", std::move(channels)}, {"ramp_ms", config_.ramp_ms}}};
}

Reply ControlServer::midi_state_reply() const {
  // The MIDI surface writes its state where its section says; without a section the
  // file is looked for at its default place.
  std::string path = config::kDefaultMidiStateFile;
  if (config_.midi && config_.midi->midi_state_file) path = *config_.midi->midi_state_file;
  try {
    return MidiStateReply{json::parse(files::read_text(path))};
  } catch (const std::exception&) {
    return MidiStateReply{json::Json{{"mode", "idle"}, {"channel", nullptr}}};
  }
}

Reply ControlServer::welcome(const std::string& name, const net::Endpoint& from, Clock::time_point now) {
  std::string feed_text = "main";
  if (auto entry = state_file_entry(config_.relay_assignments_file, "assignments", name); entry && entry->is_string()) {
    feed_text = entry->get<std::string>();
  }
  float delay_ms = 0.0f;
  if (auto entry = state_file_entry(config_.session_delay_file, "delays", name); entry && entry->is_number()) {
    delay_ms = entry->get<float>();
  }
  relays_.register_relay(name, from, now);
  send_command(broadcast::RegisterMulticastRelay{name});
  const auto feed = feed_text == "cue"       ? broadcast::Feed::kCue
                    : feed_text == "monitor" ? broadcast::Feed::kMonitor
                                             : broadcast::Feed::kMain;
  send_command(broadcast::SetDefaultAssignment{name, feed});
  return WelcomeReply{feed_text, delay_ms};
}

std::optional<Reply> ControlServer::reload(const json::Json& candidate) {
  auto failure = [](std::string text) { return ReloadResultReply{false, std::move(text)}; };
  config::Config config;
  try {
    config = config::config_from_json(candidate);
  } catch (const std::exception& e) {
    return failure(std::string("invalid config JSON: ") + e.what());
  }
  if (auto problem = config::validate_config(config)) return failure("config validation failed: " + *problem);

  ReloadCommand command{std::move(config), {}};
  auto answer = command.reply.take_future();
  if (!links_.reload.send(std::move(command))) {
    return failure(std::string("failed to send reload command: ") + ReloadChannel::kClosedText);
  }
  // Nothing else is served meanwhile: the main thread is replacing this very server.
  if (answer.wait_for(reload_wait_) != std::future_status::ready) return failure("reload timeout");
  try {
    auto error = answer.get();
    if (error) return failure(std::move(*error));
    return ReloadResultReply{true, std::nullopt};
  } catch (const std::future_error&) {
    return failure("reload timeout");
  }
}

}  // namespace vantle::control

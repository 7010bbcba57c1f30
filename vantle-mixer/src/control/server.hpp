// The control plane of one `Mixer`: a UDP socket and the "control" thread, which
// takes requests one at a time, changes the mixer only by installing new scenes,
// forwards relay changes to the broadcast thread and reloads to the main thread, and
// answers queries.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "broadcast/commands.hpp"
#include "config/config.hpp"
#include "control/jack_graph.hpp"
#include "control/protocol.hpp"
#include "control/reload_command.hpp"
#include "engine/live_scene.hpp"
#include "util/lifeline.hpp"
#include "util/udp.hpp"

namespace vantle::control {

using Clock = std::chrono::steady_clock;

// Multicast relays known by name: where their last registration came from and when
// they were last heard of. Control thread only.
class MulticastRelayTable {
 public:
  struct Entry {
    net::Endpoint address;
    Clock::time_point last_seen;
  };

  void register_relay(const std::string& name, const net::Endpoint& address, Clock::time_point now);
  // Refreshes a known name; unknown names are not added. Returns whether it was known.
  bool heartbeat(const std::string& name, Clock::time_point now);
  void remove(const std::string& name);
  const Entry* find(const std::string& name) const;
  // Takes out every entry not heard of for ten whole seconds and returns their names.
  std::vector<std::string> take_stale(Clock::time_point now);
  std::size_t size() const { return entries_.size(); }

 private:
  std::map<std::string, Entry> entries_;
};

// Where the server's requests reach the rest of the `Mixer`.
struct ControlLinks {
  std::shared_ptr<engine::LiveScene> scene;
  broadcast::CommandChannel::Sender commands;
  ReloadChannel::Sender reload;
};

class ControlServer {
 public:
  // How long "reload_config" waits for the main thread's answer.
  static constexpr std::chrono::seconds kReloadWait{10};

  // Binds the control socket (address reuse, 500 ms receive timeout) and builds the
  // channel index and descriptors. Throws Error with the context of the failed step.
  ControlServer(config::Config config, ControlLinks links, JackTools tools = {});
  ~ControlServer();

  // Starts the "control" thread, which serves while `lifeline` is alive and then
  // closes the socket. The thread is not waited for. Throws Error when it cannot start.
  static void start(std::unique_ptr<ControlServer> server, Lifeline lifeline);

  // One pass of the loop: receives one datagram (or times out), handles it, replies,
  // and evicts stale multicast relays. Control thread (or a test).
  void serve_once(Clock::time_point now);

  // The effect of one request, and its reply if it has one.
  std::optional<Reply> handle(const Request& request, const net::Endpoint& from, Clock::time_point now);

  void evict_stale_relays(Clock::time_point now);

  net::Endpoint local_endpoint() const { return socket_.local_endpoint(); }
  const MulticastRelayTable& relays() const { return relays_; }

  // Tests wait less than the ten seconds of a real reload.
  void set_reload_wait(std::chrono::milliseconds wait) { reload_wait_ = wait; }

 private:
  struct Descriptor {
    std::string id, label, kind;
  };

  // Loads the live scene, lets `change` edit a copy and installs it, unless `change`
  // returns false.
  template <class Change>
  void change_scene(Change&& change);
  // The channel's position in the live scene, or nothing (unknown id, or a scene with
  // fewer channels than the configuration).
  std::optional<std::size_t> channel_position(const std::string& id, std::size_t scene_channels) const;

  std::optional<Reply> reload(const json::Json& candidate);
  Reply config_reply() const;
  Reply midi_state_reply() const;
  Reply welcome(const std::string& name, const net::Endpoint& from, Clock::time_point now);
  void send_to_relay(const std::string& name, const std::string& message);
  void send_command(broadcast::BroadcastCommand command, const char* failure_text = nullptr);

  config::Config config_;
  ControlLinks links_;
  JackTools tools_;
  net::UdpSocket socket_;
  std::unordered_map<std::string, std::size_t> channel_index_;
  std::vector<Descriptor> channels_;
  MulticastRelayTable relays_;
  std::chrono::milliseconds reload_wait_ = kReloadWait;
};

// The first out-of-range plugin parameter of a bus plugin list, as the message an
// operator is answered with; nothing when every plugin is within its ranges.
std::optional<std::string> check_plugins(const std::vector<config::PluginConfig>& plugins);

}  // namespace vantle::control

// The broadcast server: one UDP socket and one thread ("broadcast") per `Mixer`.
// Relays register, ping and receive their bus as AUDIO blocks cut from the bus rings;
// the same thread applies the control thread's commands, publishes every bus to the
// multicast group and writes the status sidecars.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "broadcast/assignments.hpp"
#include "broadcast/commands.hpp"
#include "broadcast/feed.hpp"
#include "broadcast/handoff.hpp"
#include "broadcast/local_sinks.hpp"
#include "config/config.hpp"
#include "engine/engine_stats.hpp"
#include "ingest/ingest.hpp"
#include "util/lifeline.hpp"
#include "util/udp.hpp"

namespace vantle::broadcast {

using Clock = std::chrono::steady_clock;

struct RelaySession {
  std::uint32_t id = 0;
  std::string name;
  net::Endpoint peer;
  std::uint8_t version = 0;
  Feed bus = Feed::kMain;
  float delay_ms = 0.0f;
  Clock::time_point last_ping;
  Clock::time_point created;
  std::uint64_t total_bytes = 0;
  std::uint64_t total_pkts = 0;
};

struct BroadcastSettings {
  std::uint16_t port = 5005;
  std::uint16_t frames = 160;  // F
  std::uint32_t sample_rate = 48000;
  std::filesystem::path assignments_file;
  std::filesystem::path delays_file;
  std::filesystem::path sidecar_dir;  // holds sessions.json and diag.json
  config::MulticastConfig multicast;
  std::vector<config::LocalRelaySinkConfig> local_sinks;
  config::IngestConfig ingest;
  std::vector<config::ChannelConfig> channels;  // to name the channel each sender feeds
  // One sendmmsg per bus block instead of one sendto per relay.
  bool batch_sends = true;

  // The settings of a configuration, with the sidecar directory from
  // VANTLE_SIDECAR_DIR (default /home/vantle/mixer-state) and batching unless
  // VANTLE_BROADCAST_BATCH is "0".
  static BroadcastSettings from_config(const config::Config& config, std::uint32_t sample_rate);
};

class BroadcastServer {
 public:
  // Opens the broadcast socket and, when enabled, the multicast socket; loads the
  // relay assignments and seeds the local sink cells. Throws Error with the step's
  // context ("binding broadcast UDP socket on 0.0.0.0:5005", ...).
  BroadcastServer(BroadcastSettings settings, std::shared_ptr<engine::EngineStats> stats,
                  std::shared_ptr<LocalSinkFeeds> sink_feeds, CommandChannel::Receiver commands);
  ~BroadcastServer();

  // The network ends of the rings; must be given before the first pass.
  void attach(NetworkEnds ends);

  // Starts the "broadcast" thread, which runs until `lifeline` ends. Throws Error
  // "spawn broadcast thread".
  static void start(std::unique_ptr<BroadcastServer> server, Lifeline lifeline);

  // The thread body in pieces, so tests can drive it with their own clock.
  void begin(Clock::time_point now);   // loads the session delays, schedules the first sidecar write
  bool pass(Clock::time_point now);    // one loop pass; whether any bus handled a block

  net::Endpoint local_endpoint() const { return socket_.local_endpoint(); }
  const std::map<std::uint32_t, RelaySession>& sessions() const { return sessions_; }
  const ingest::IngestState& ingest() const { return ingest_; }

 private:
  void receive_all(Clock::time_point now);
  void on_register(std::span<const std::uint8_t> datagram, const net::Endpoint& from, Clock::time_point now);
  void on_ping(std::span<const std::uint8_t> datagram, const net::Endpoint& from, Clock::time_point now);
  void on_bye(std::span<const std::uint8_t> datagram);

  void apply_commands(Clock::time_point now);
  void assign(const std::string& name, Feed feed);
  void persist_assignments(Clock::time_point now, bool urgent);
  void set_session_delay(const std::string& name, float ms);
  void expire(Clock::time_point now);
  void write_sidecars(Clock::time_point now);
  bool send_bus(std::size_t bus);
  void send_to_relays(std::size_t bus, const float* block);
  void flush_batch();
  void send_multicast(std::size_t bus, const float* block);
  bool bus_has_relay(std::size_t bus) const;

  BroadcastSettings settings_;
  std::shared_ptr<engine::EngineStats> stats_;
  std::shared_ptr<LocalSinkFeeds> sink_feeds_;
  CommandChannel::Receiver commands_;
  net::UdpSocket socket_;
  net::UdpSocket multicast_socket_;
  struct MulticastGroup;
  std::unique_ptr<MulticastGroup> multicast_group_;
  std::array<std::uint32_t, kBusCount> multicast_sequence_{};
  std::map<std::string, Clock::time_point> multicast_relays_;

  RelayAssignments assignments_;
  bool assignments_dirty_ = false;
  bool assignments_full_logged_ = false;
  Clock::time_point last_assignments_save_{};
  SessionDelays delays_;
  std::map<std::uint32_t, RelaySession> sessions_;
  std::uint32_t next_relay_id_ = 1;
  std::uint32_t audio_sequence_ = 0;
  std::array<SampleRing::Consumer, kBusCount> bus_rings_;
  ingest::IngestState ingest_;
  Clock::time_point last_sidecar_write_;

  // Reused buffers: one block of floats, the shared AUDIO packet, the delayed-path
  // scratch and packets, the multicast packet, the batch of headers and messages.
  std::vector<float> block_;
  std::vector<std::uint8_t> packet_;
  std::vector<float> delay_left_, delay_right_;
  std::vector<std::uint8_t> multicast_packet_;
  struct Batch;
  std::unique_ptr<Batch> batch_;
};

}  // namespace vantle::broadcast

// Remote senders streaming audio into the mixer's ingest slots over the broadcast
// port: the allow-list, the sender sessions, the sequence rule for late and
// duplicate packets, and the path from a packet to the slot rings. Runs on the
// broadcast thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "broadcast/sample_ring.hpp"
#include "config/config.hpp"
#include "engine/engine_stats.hpp"
#include "util/udp.hpp"

namespace vantle::ingest {

using Clock = std::chrono::steady_clock;

struct IngestSession {
  std::uint32_t id = 0;
  std::string name;
  net::Endpoint peer;  // only AUDIO_TX from exactly here counts
  std::uint8_t version = 0;
  std::uint8_t channels = 0;
  std::uint64_t start_slot = 0;
  std::optional<std::uint32_t> last_seq;
  Clock::time_point last_packet;
  Clock::time_point created;
  std::uint64_t total_bytes = 0;
  std::uint64_t total_pkts = 0;
};

// The configured channel a sender feeds (by its first slot), for the status files.
struct FedChannel {
  std::string id;
  std::string label;
};

// Whether a packet with sequence `s` is new after `last`: not when it repeats or is
// late by less than a million; a jump back of a million or more is a restarted sender.
bool is_new_sequence(std::optional<std::uint32_t> last, std::uint32_t s);

class IngestState {
 public:
  IngestState(const config::IngestConfig& ingest, const std::vector<config::ChannelConfig>& channels,
              std::uint32_t sample_rate, std::uint16_t frames, std::shared_ptr<engine::EngineStats> stats);

  // The producer ends of the slot rings, in slot order.
  void attach(std::vector<broadcast::SampleRing::Producer> slot_rings);

  void on_register_tx(std::span<const std::uint8_t> datagram, const net::Endpoint& from, Clock::time_point now,
                      net::UdpSocket& socket);
  void on_audio_tx(std::span<const std::uint8_t> datagram, const net::Endpoint& from, Clock::time_point now);
  // Ends the sender session `id`; false when no sender has it.
  bool on_bye(std::uint32_t id);
  // Ends every session silent for more than 3 s.
  void expire(Clock::time_point now);

  const std::map<std::uint32_t, IngestSession>& sessions() const { return sessions_; }
  // The channel a sender feeds, if a configured channel reads its first slot.
  const FedChannel* channel_of(const std::string& sender) const;

 private:
  struct Allowed {
    std::uint8_t channels;
    std::uint64_t start_slot;
  };

  std::uint32_t sample_rate_;
  std::uint16_t frames_;
  std::shared_ptr<engine::EngineStats> stats_;
  std::map<std::string, Allowed, std::less<>> allow_list_;
  std::map<std::string, FedChannel, std::less<>> fed_channels_;
  std::map<std::uint32_t, IngestSession> sessions_;
  std::map<std::string, std::uint32_t, std::less<>> by_name_;
  std::uint32_t next_id_ = 0x80000000u;
  std::vector<broadcast::SampleRing::Producer> slot_rings_;
};

}  // namespace vantle::ingest

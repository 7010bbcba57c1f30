#include "ingest/ingest.hpp"

#include <fmt/format.h>

#include "broadcast/wire.hpp"
#include "util/error.hpp"
#include "util/log.hpp"

namespace vantle::ingest {

namespace {

namespace wire = broadcast::wire;

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::ingest");
  return instance;
}

constexpr auto kStaleAfter = std::chrono::seconds(3);
constexpr std::uint32_t kRestartDistance = 1'000'000;

std::string session_text(std::uint32_t id) { return fmt::format("0x{:08x}", id); }

}  // namespace

bool is_new_sequence(std::optional<std::uint32_t> last, std::uint32_t s) {
  return !(last && *last >= s && *last - s < kRestartDistance);
}

IngestState::IngestState(const config::IngestConfig& ingest, const std::vector<config::ChannelConfig>& channels,
                         std::uint32_t sample_rate, std::uint16_t frames, std::shared_ptr<engine::EngineStats> stats)
    : sample_rate_(sample_rate), frames_(frames), stats_(std::move(stats)) {
  for (const auto& sender : ingest.sender) {
    allow_list_[sender.name] = {sender.channels, sender.start_slot};
    // The last channel reading the sender's first slot names it.
    for (const auto& channel : channels) {
      if (channel.ingest_slot && *channel.ingest_slot == sender.start_slot) {
        fed_channels_[sender.name] = {channel.id, channel.label};
      }
    }
  }
  if (ingest.slot_count > 0) {
    log::get("vantle_mixer::broadcast")
        .info("ingest enabled: {} slot(s), {} allow-list entry(s)", ingest.slot_count, ingest.sender.size());
  }
}

void IngestState::attach(std::vector<broadcast::SampleRing::Producer> slot_rings) {
  slot_rings_ = std::move(slot_rings);
}

const FedChannel* IngestState::channel_of(const std::string& sender) const {
  auto it = fed_channels_.find(sender);
  return it == fed_channels_.end() ? nullptr : &it->second;
}

void IngestState::on_register_tx(std::span<const std::uint8_t> datagram, const net::Endpoint& from,
                                 Clock::time_point now, net::UdpSocket& socket) {
  wire::WireError error{};
  auto reg = wire::decode_register_tx(datagram, &error);
  if (!reg) {
    logger().warn("bad REGISTER_TX from {}: {}", from.to_string(), wire::error_name(error));
    return;
  }
  if (!wire::supported_version(reg->version)) {
    (void)socket.send_to(wire::encode_reject_tx(wire::kRejectUnsupportedVersion), from);
    logger().warn("REJECT_TX v{} from {}", reg->version, from.to_string());
    return;
  }
  auto allowed = allow_list_.find(reg->name);
  if (allowed == allow_list_.end()) {
    (void)socket.send_to(wire::encode_reject_tx(wire::kRejectUnknownSender), from);
    logger().warn("REJECT_TX unknown sender '{}' from {}", reg->name, from.to_string());
    return;
  }
  if (reg->channels != allowed->second.channels) {
    (void)socket.send_to(wire::encode_reject_tx(wire::kRejectChannelMismatch), from);
    logger().warn("REJECT_TX '{}' wants {}ch, config {}ch", reg->name, reg->channels, allowed->second.channels);
    return;
  }
  if (auto prior = by_name_.find(reg->name); prior != by_name_.end()) {
    logger().info("ingest evict prior session={} name={}", session_text(prior->second), reg->name);
    sessions_.erase(prior->second);
    by_name_.erase(prior);
  }
  const std::uint32_t id = next_id_;
  next_id_ = next_id_ == 0xFFFFFFFFu ? 0x80000000u : next_id_ + 1;

  const auto& entry = allowed->second;
  const auto accept = wire::encode_accept_tx(reg->version, id, sample_rate_, entry.channels, frames_,
                                             static_cast<std::uint16_t>(entry.start_slot & 0xFFFF));
  if (int err = socket.send_to(accept, from); err != 0) {
    logger().warn("send ACCEPT_TX: {}", os_error_text(err));
    return;
  }
  logger().info("ACCEPT_TX session={} name={} peer={} v{} channels={} start_slot={}", session_text(id), reg->name,
                from.to_string(), reg->version, entry.channels, entry.start_slot);

  IngestSession session;
  session.id = id;
  session.name = reg->name;
  session.peer = from;
  session.version = reg->version;
  session.channels = entry.channels;
  session.start_slot = entry.start_slot;
  session.last_packet = now;
  session.created = now;
  by_name_[reg->name] = id;
  sessions_[id] = std::move(session);
}

void IngestState::on_audio_tx(std::span<const std::uint8_t> datagram, const net::Endpoint& from,
                              Clock::time_point now) {
  if (sessions_.empty()) return;
  auto packet = wire::decode_audio_tx(datagram);
  if (!packet) return;
  auto it = sessions_.find(packet->session);
  if (it == sessions_.end()) return;
  IngestSession& s = it->second;
  if (!(from == s.peer) || packet->channels != s.channels) return;
  if (!is_new_sequence(s.last_seq, packet->sequence)) return;
  s.last_seq = packet->sequence;
  s.last_packet = now;
  s.total_bytes += datagram.size();
  s.total_pkts += 1;

  // A sender allowed with no channels keeps its session alive but carries no audio.
  if (s.channels == 0) return;
  const std::size_t frame_bytes = 2u * s.channels;
  const std::size_t frames = packet->payload.size() / frame_bytes;
  for (std::size_t c = 0; c < s.channels; ++c) {
    const std::uint64_t slot = s.start_slot + c;
    if (slot >= slot_rings_.size()) continue;  // outside the configured slots: nowhere to go
    auto& ring = slot_rings_[slot];
    std::uint64_t dropped = 0;
    for (std::size_t f = 0; f < frames; ++f) {
      const std::size_t at = f * frame_bytes + 2 * c;
      const auto raw = static_cast<std::int16_t>(packet->payload[at] | (packet->payload[at + 1] << 8));
      if (!ring.push(wire::decode_sample(raw))) ++dropped;
    }
    if (dropped > 0) stats_->slot_drops(slot).fetch_add(dropped, std::memory_order_relaxed);
  }
}

bool IngestState::on_bye(std::uint32_t id) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return false;
  logger().info("ingest bye session={} name={}", session_text(id), it->second.name);
  by_name_.erase(it->second.name);
  sessions_.erase(it);
  return true;
}

void IngestState::expire(Clock::time_point now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.last_packet > kStaleAfter) {
      logger().info("ingest evict stale session={} name={}", session_text(it->first), it->second.name);
      by_name_.erase(it->second.name);
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace vantle::ingest

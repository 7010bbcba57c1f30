#include "broadcast/server.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <thread>

#include "broadcast/sidecars.hpp"
#include "broadcast/wire.hpp"
#include "util/error.hpp"
#include "util/log.hpp"
#include "util/threads.hpp"

namespace vantle::broadcast {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::broadcast");
  return instance;
}

constexpr auto kRelayTimeout = std::chrono::seconds(5);
constexpr auto kMulticastRelayTimeout = std::chrono::seconds(10);
constexpr auto kSidecarPeriod = std::chrono::milliseconds(200);
constexpr auto kIdleSleep = std::chrono::milliseconds(1);
constexpr std::size_t kMaxBatch = 1024;  // the kernel's limit per sendmmsg call
constexpr int kSocketBuffer = 4 << 20;
constexpr std::size_t kMaxAssignedNames = 10000;

std::string session_text(std::uint32_t id) { return fmt::format("0x{:08x}", id); }

// Whole seconds elapsed, as the timeouts count them.
bool at_least(Clock::time_point since, Clock::time_point now, std::chrono::seconds limit) {
  return std::chrono::duration_cast<std::chrono::seconds>(now - since) >= limit;
}

template <class Body>
void step(const std::string& context, Body&& body) {
  with_context(context, std::forward<Body>(body));
}

}  // namespace

// Where multicast packets go: an IPv4 group, or an IPv6 address, which parses but
// which the IPv4 socket cannot reach (every send then fails and says so).
struct BroadcastServer::MulticastGroup {
  sockaddr_storage addr{};
  socklen_t length = 0;
  std::string text;
  // Repeated identical send failures are logged once per bus every 10 s.
  std::array<int, kBusCount> last_error{};
  std::array<Clock::time_point, kBusCount> last_logged{};
  std::array<std::uint64_t, kBusCount> suppressed{};

  static std::optional<MulticastGroup> parse(const std::string& address, std::uint16_t port) {
    MulticastGroup g;
    g.text = address + ":" + std::to_string(port);
    if (auto v4 = net::Endpoint::parse(g.text)) {
      std::memcpy(&g.addr, &v4->addr, sizeof v4->addr);
      g.length = sizeof(sockaddr_in);
      return g;
    }
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
      sockaddr_in6 v6{};
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(port);
      if (::inet_pton(AF_INET6, address.substr(1, address.size() - 2).c_str(), &v6.sin6_addr) == 1) {
        std::memcpy(&g.addr, &v6, sizeof v6);
        g.length = sizeof v6;
        return g;
      }
    }
    return std::nullopt;
  }
};

// The datagrams of one bus block: a header per receiving relay and the samples,
// shared by every undelayed relay and private per delayed name.
struct BroadcastServer::Batch {
  struct Target {
    RelaySession* session;
    std::size_t samples;  // index into `samples`
  };
  std::vector<Target> targets;
  std::vector<std::array<std::uint8_t, wire::kAudioHeader>> headers;
  std::vector<std::vector<std::uint8_t>> samples;  // [0]: the shared encoding
  std::vector<std::string> delayed_names;          // name of samples[i + 1]
  std::vector<iovec> iov;
  std::vector<mmsghdr> messages;
};

BroadcastSettings BroadcastSettings::from_config(const config::Config& config, std::uint32_t sample_rate) {
  BroadcastSettings s;
  s.port = config.broadcast_port;
  s.frames = config.broadcast_frames;
  s.sample_rate = sample_rate;
  s.assignments_file = config.relay_assignments_file;
  s.delays_file = config.session_delay_file;
  const char* dir = std::getenv("VANTLE_SIDECAR_DIR");
  s.sidecar_dir = dir != nullptr && *dir != '\0' ? dir : "/home/vantle/mixer-state";
  s.multicast = config.multicast;
  s.local_sinks = config.local_relay_sink;
  s.ingest = config.ingest;
  s.channels = config.channels;
  const char* batch = std::getenv("VANTLE_BROADCAST_BATCH");
  s.batch_sends = batch == nullptr || std::string_view(batch) != "0";
  return s;
}

BroadcastServer::BroadcastServer(BroadcastSettings settings, std::shared_ptr<engine::EngineStats> stats,
                                 std::shared_ptr<LocalSinkFeeds> sink_feeds, CommandChannel::Receiver commands)
    : settings_(std::move(settings)),
      stats_(std::move(stats)),
      sink_feeds_(std::move(sink_feeds)),
      commands_(std::move(commands)),
      assignments_(settings_.assignments_file),
      delays_(settings_.delays_file, settings_.sample_rate),
      ingest_(settings_.ingest, settings_.channels, settings_.sample_rate, settings_.frames, stats_),
      batch_(std::make_unique<Batch>()) {
  const auto local = net::Endpoint::any(settings_.port);
  step("creating broadcast socket", [&] { socket_ = net::UdpSocket::create(); });
  step("setting SO_REUSEADDR on broadcast socket", [&] { socket_.set_reuse_address(); });
  step("binding broadcast UDP socket on " + local.to_string(), [&] { socket_.bind(local); });
  step("set broadcast socket non-blocking", [&] { socket_.set_nonblocking(); });
  // Bursts of registrations and sender audio must not overflow the queue.
  socket_.request_buffers(kSocketBuffer, kSocketBuffer);
  logger().info("broadcast relay listening on udp://{}", socket_.local_endpoint().to_string());

  if (settings_.multicast.enabled) {
    const auto& mc = settings_.multicast;
    auto group = MulticastGroup::parse(mc.group_addr, mc.group_port);
    if (!group) {
      throw Error("not a socket address: " + mc.group_addr + ":" + std::to_string(mc.group_port))
          .context("invalid multicast group address");
    }
    multicast_group_ = std::make_unique<MulticastGroup>(std::move(*group));
    step("creating multicast socket", [&] { multicast_socket_ = net::UdpSocket::create(); });
    step("setting multicast TTL", [&] {
      int ttl = static_cast<int>(std::min<std::uint32_t>(mc.ttl, 255));
      if (::setsockopt(multicast_socket_.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        throw Error(os_error_text(errno));
      }
    });
    step("setting multicast loop", [&] {
      unsigned char loop = 0;
      if (::setsockopt(multicast_socket_.fd(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        throw Error(os_error_text(errno));
      }
    });
    step("binding multicast send socket", [&] { multicast_socket_.bind(net::Endpoint::any(0)); });
    logger().info("multicast relay: publishing to {} ttl={}", multicast_group_->text, mc.ttl);
  }

  assignments_.load();
  bool seeded = false;
  std::string listing;
  for (const auto& sink : settings_.local_sinks) {
    Feed feed = Feed::kMain;
    if (auto assigned = assignments_.find(sink.name)) {
      feed = *assigned;
    } else {
      feed = parse_feed(sink.default_bus).value_or(Feed::kMain);
      assignments_.put(sink.name, feed);
      seeded = true;
    }
    sink_feeds_->set(sink.name, feed);
    if (!listing.empty()) listing += ", ";
    listing += sink.name + "\u2192" + feed_name(feed);
  }
  if (seeded) {
    if (auto problem = assignments_.save(); !problem.empty()) {
      logger().warn("persist relay assignments (seed): {}", problem);
    }
  }
  if (!settings_.local_sinks.empty()) logger().info("local relay sinks: {}", listing);

  const std::size_t frames = settings_.frames;
  block_.resize(2 * frames);
  packet_.resize(wire::audio_packet_size(frames));
  delay_left_.resize(frames);
  delay_right_.resize(frames);
  multicast_packet_.resize(wire::multicast_packet_size(frames));
}

BroadcastServer::~BroadcastServer() {
  if (assignments_dirty_) persist_assignments(Clock::now(), true);
}

void BroadcastServer::attach(NetworkEnds ends) {
  bus_rings_ = std::move(ends.bus_consumers);
  ingest_.attach(std::move(ends.slot_producers));
}

void BroadcastServer::start(std::unique_ptr<BroadcastServer> server, Lifeline lifeline) {
  with_context("spawn broadcast thread", [&] {
    // The server moves into the thread; std::function needs a copyable callable.
    auto shared = std::shared_ptr<BroadcastServer>(std::move(server));
    spawn_detached("broadcast", [shared, lifeline]() mutable {
      shared->begin(Clock::now());
      do {
        if (!shared->pass(Clock::now())) std::this_thread::sleep_for(kIdleSleep);
      } while (lifeline.alive());
      logger().info("broadcast thread exiting");
      shared.reset();
    });
  });
}

void BroadcastServer::begin(Clock::time_point now) {
  delays_.load();
  last_sidecar_write_ = now - std::chrono::milliseconds(400);
}

bool BroadcastServer::pass(Clock::time_point now) {
  receive_all(now);
  apply_commands(now);
  expire(now);
  if (assignments_dirty_) persist_assignments(now, false);
  if (now - last_sidecar_write_ >= kSidecarPeriod) {
    write_sidecars(now);
    last_sidecar_write_ = now;
  }
  bool handled = false;
  for (std::size_t bus = 0; bus < kBusCount; ++bus) handled = send_bus(bus) || handled;
  return handled;
}

void BroadcastServer::receive_all(Clock::time_point now) {
  std::array<std::uint8_t, wire::kMaxDatagram> buffer;
  for (;;) {
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    const auto status = socket_.receive(buffer, length, from, error);
    if (status == net::UdpSocket::Received::kNothing) return;
    if (status == net::UdpSocket::Received::kError) {
      logger().warn("broadcast recv: {}", os_error_text(error));
      return;
    }
    const std::span<const std::uint8_t> datagram(buffer.data(), length);
    if (datagram.empty()) continue;
    switch (static_cast<wire::Tag>(datagram[0])) {
      case wire::Tag::kRegister: on_register(datagram, from, now); break;
      case wire::Tag::kPing: on_ping(datagram, from, now); break;
      case wire::Tag::kBye: on_bye(datagram); break;
      case wire::Tag::kRegisterTx: ingest_.on_register_tx(datagram, from, now, socket_); break;
      case wire::Tag::kAudioTx: ingest_.on_audio_tx(datagram, from, now); break;
      default: break;  // not ours to answer
    }
  }
}

void BroadcastServer::on_register(std::span<const std::uint8_t> datagram, const net::Endpoint& from,
                                  Clock::time_point now) {
  wire::WireError error{};
  auto reg = wire::decode_register(datagram, &error);
  if (!reg) {
    logger().warn("bad REGISTER from {}: {}", from.to_string(), wire::error_name(error));
    return;
  }
  if (!wire::supported_version(reg->version)) {
    (void)socket_.send_to(wire::encode_reject(wire::kRejectUnsupportedVersion), from);
    logger().warn("REJECT v{} from {}", reg->version, from.to_string());
    return;
  }
  const std::uint32_t id = next_relay_id_++;
  if (next_relay_id_ == 0) next_relay_id_ = 1;

  Feed bus = Feed::kMain;
  if (auto assigned = assignments_.find(reg->name)) {
    bus = *assigned;
  } else if (assignments_.size() < kMaxAssignedNames) {
    assignments_.put(reg->name, Feed::kMain);
    persist_assignments(now, false);
  } else if (!assignments_full_logged_) {
    // A stream of made-up names must not grow the file without end.
    logger().warn("relay assignments full ({} names): new names hear main without being remembered",
                  kMaxAssignedNames);
    assignments_full_logged_ = true;
  }

  if (int err = socket_.send_to(wire::encode_accept(reg->version, id, settings_.sample_rate, settings_.frames), from);
      err != 0) {
    logger().warn("send ACCEPT: {}", os_error_text(err));
    return;
  }
  logger().info("ACCEPT session={} name={} peer={} v{} bus={}", session_text(id), reg->name, from.to_string(),
                reg->version, feed_name(bus));

  // A socket that registers again follows only its newest session; older ones would
  // send it the same audio twice, and let one socket multiply the mixer's output.
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second.peer == from) {
      logger().info("evict session={} name={} (registered again from {})", session_text(it->first), it->second.name,
                    from.to_string());
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }

  RelaySession session;
  session.id = id;
  session.name = std::move(reg->name);
  session.peer = from;
  session.version = reg->version;
  session.bus = bus;
  session.delay_ms = delays_.delay_ms(session.name).value_or(0.0f);
  session.last_ping = now;
  session.created = now;
  sessions_[id] = std::move(session);
}

// Every change reaches the file, but a flood of registrations under new names must not
// turn into a flood of file rewrites on the thread that sends the audio: after a save,
// further changes within a second are saved together a second later.
void BroadcastServer::persist_assignments(Clock::time_point now, bool urgent) {
  assignments_dirty_ = true;
  if (!urgent && now - last_assignments_save_ < std::chrono::seconds(1)) return;
  if (auto problem = assignments_.save(); !problem.empty()) logger().warn("persist relay assignments: {}", problem);
  assignments_dirty_ = false;
  last_assignments_save_ = now;
}

void BroadcastServer::on_ping(std::span<const std::uint8_t> datagram, const net::Endpoint& from,
                              Clock::time_point now) {
  auto id = wire::decode_session_id(datagram);
  if (!id) return;
  auto it = sessions_.find(*id);
  if (it == sessions_.end()) return;
  it->second.last_ping = now;
  (void)socket_.send_to(wire::encode_pong(*id), from);
}

void BroadcastServer::on_bye(std::span<const std::uint8_t> datagram) {
  auto id = wire::decode_session_id(datagram);
  if (!id || ingest_.on_bye(*id)) return;
  auto it = sessions_.find(*id);
  if (it == sessions_.end()) return;
  logger().info("bye session={} name={}", session_text(*id), it->second.name);
  sessions_.erase(it);
}

void BroadcastServer::apply_commands(Clock::time_point now) {
  std::optional<BroadcastCommand> command;
  while (commands_.try_receive(command) == CommandChannel::Status::kReceived) {
    std::visit(
        [&](auto& c) {
          using T = std::decay_t<decltype(c)>;
          if constexpr (std::is_same_v<T, SetAssignment>) {
            assign(c.name, c.feed);
          } else if constexpr (std::is_same_v<T, SetDefaultAssignment>) {
            if (!assignments_.find(c.name)) assign(c.name, c.feed);
          } else if constexpr (std::is_same_v<T, SetSessionDelayCommand>) {
            set_session_delay(c.name, c.delay_ms);
          } else if constexpr (std::is_same_v<T, RemoveMulticastRelay>) {
            multicast_relays_.erase(c.name);
          } else {  // registration or heartbeat of a multicast relay
            multicast_relays_[c.name] = now;
          }
        },
        *command);
    command.reset();
  }
}

void BroadcastServer::assign(const std::string& name, Feed feed) {
  const auto previous = assignments_.put(name, feed);
  if (!previous || *previous != feed) {
    persist_assignments(Clock::now(), true);
    logger().info("assign name={} \u2192 bus={}", name, feed_name(feed));
  }
  sink_feeds_->set(name, feed);
  for (auto& [id, session] : sessions_) {
    if (session.name == name) session.bus = feed;
  }
}

void BroadcastServer::set_session_delay(const std::string& name, float ms) {
  delays_.set(name, ms);
  for (auto& [id, session] : sessions_) {
    if (session.name == name) session.delay_ms = ms;
  }
  if (auto problem = delays_.save(); !problem.empty()) logger().warn("save session delays: {}", problem);
}

void BroadcastServer::expire(Clock::time_point now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (at_least(it->second.last_ping, now, kRelayTimeout)) {
      logger().info("evict session={} name={}", session_text(it->first), it->second.name);
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  ingest_.expire(now);
  for (auto it = multicast_relays_.begin(); it != multicast_relays_.end();) {
    if (at_least(it->second, now, kMulticastRelayTimeout)) {
      logger().info("evict stale multicast relay: {}", it->first);
      it = multicast_relays_.erase(it);
    } else {
      ++it;
    }
  }
}

void BroadcastServer::write_sidecars(Clock::time_point now) {
  broadcast::write_sidecars(settings_.sidecar_dir,
                            SidecarView{sessions_, settings_.local_sinks, *sink_feeds_, ingest_, multicast_relays_,
                                        *stats_, now});
}

bool BroadcastServer::bus_has_relay(std::size_t bus) const {
  return std::any_of(sessions_.begin(), sessions_.end(),
                     [bus](const auto& entry) { return static_cast<std::size_t>(entry.second.bus) == bus; });
}

bool BroadcastServer::send_bus(std::size_t bus) {
  auto& ring = bus_rings_[bus];
  const bool has_relay = bus_has_relay(bus);
  const bool multicast = multicast_socket_.is_open();
  if (!has_relay && !multicast) {
    // Nobody listens: keep the ring current, so a relay joining later hears the present.
    ring.drain();
    return false;
  }
  if (!ring.pop_block(block_.data(), block_.size())) return false;
  if (has_relay) send_to_relays(bus, block_.data());
  if (multicast) send_multicast(bus, block_.data());
  return true;
}

void BroadcastServer::send_to_relays(std::size_t bus, const float* block) {
  const std::size_t frames = settings_.frames;
  const std::size_t sample_bytes = 4 * frames;
  Batch& b = *batch_;
  b.targets.clear();
  b.delayed_names.clear();
  if (b.samples.empty()) b.samples.emplace_back();
  b.samples[0].resize(sample_bytes);
  wire::encode_frames(block, frames, b.samples[0].data());
  const std::uint32_t sequence = audio_sequence_++;

  for (auto& [id, session] : sessions_) {
    if (static_cast<std::size_t>(session.bus) != bus) continue;
    std::size_t samples = 0;
    if (session.delay_ms > 0.0f) {
      // One pass through the name's line per block, however many sessions carry the
      // name (a relay that re-registered has two until the old one expires).
      auto known = std::find(b.delayed_names.begin(), b.delayed_names.end(), session.name);
      samples = static_cast<std::size_t>(known - b.delayed_names.begin()) + 1;
      if (known == b.delayed_names.end()) {
        for (std::size_t i = 0; i < frames; ++i) {
          delay_left_[i] = block[2 * i];
          delay_right_[i] = block[2 * i + 1];
        }
        delays_.apply(session.name, delay_left_.data(), delay_right_.data(), frames);
        b.delayed_names.push_back(session.name);
        if (b.samples.size() <= samples) b.samples.emplace_back();
        b.samples[samples].resize(sample_bytes);
        wire::encode_frames(delay_left_.data(), delay_right_.data(), frames, b.samples[samples].data());
      }
    }
    b.targets.push_back({&session, samples});
  }

  b.headers.resize(b.targets.size());
  for (std::size_t i = 0; i < b.targets.size(); ++i) {
    wire::write_audio_header(b.headers[i].data(), b.targets[i].session->id, sequence);
  }
  flush_batch();
}

void BroadcastServer::flush_batch() {
  Batch& b = *batch_;
  const std::size_t count = b.targets.size();
  b.iov.resize(2 * count);
  b.messages.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto& samples = b.samples[b.targets[i].samples];
    b.iov[2 * i] = {b.headers[i].data(), b.headers[i].size()};
    b.iov[2 * i + 1] = {samples.data(), samples.size()};
    msghdr& h = b.messages[i].msg_hdr;
    h = msghdr{};
    h.msg_name = &b.targets[i].session->peer.addr;
    h.msg_namelen = sizeof(sockaddr_in);
    h.msg_iov = &b.iov[2 * i];
    h.msg_iovlen = 2;
    b.messages[i].msg_len = 0;
  }

  auto sent = [&](std::size_t i, std::size_t bytes) {
    b.targets[i].session->total_bytes += bytes;
    b.targets[i].session->total_pkts += 1;
  };
  auto failed = [&](std::size_t i, int err) {
    logger().warn("send AUDIO to {}: {}", b.targets[i].session->peer.to_string(), os_error_text(err));
  };

  std::size_t i = 0;
  while (i < count) {
    if (!settings_.batch_sends) {
      ssize_t n = ::sendmsg(socket_.fd(), &b.messages[i].msg_hdr, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failed(i, errno);
      } else {
        sent(i, static_cast<std::size_t>(n));
      }
      ++i;
      continue;
    }
    const auto chunk = static_cast<unsigned>(std::min(count - i, kMaxBatch));
    int n = ::sendmmsg(socket_.fd(), &b.messages[i], chunk, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The first message of the chunk failed; report it and go on with the next.
      failed(i, errno);
      ++i;
      continue;
    }
    for (int k = 0; k < n; ++k) sent(i + static_cast<std::size_t>(k), b.messages[i + static_cast<std::size_t>(k)].msg_len);
    i += static_cast<std::size_t>(n);
  }
}

void BroadcastServer::send_multicast(std::size_t bus, const float* block) {
  const std::uint32_t sequence = multicast_sequence_[bus]++;
  wire::write_multicast_header(multicast_packet_.data(), static_cast<std::uint8_t>(bus + 1), sequence);
  wire::encode_frames(block, settings_.frames, multicast_packet_.data() + wire::kMulticastHeader);
  auto& group = *multicast_group_;
  ssize_t n = -1;
  do {
    n = ::sendto(multicast_socket_.fd(), multicast_packet_.data(), multicast_packet_.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&group.addr), group.length);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    group.last_error[bus] = 0;
    return;
  }
  // A group that can never be reached fails for every block of every bus: say so
  // when the failure starts or changes, and then every 10 s with a count.
  const int err = errno;
  const auto now = Clock::now();
  if (err == group.last_error[bus] && now - group.last_logged[bus] < std::chrono::seconds(10)) {
    ++group.suppressed[bus];
    return;
  }
  if (group.suppressed[bus] > 0) {
    logger().warn("multicast send bus={}: {} ({} more since the last report)", feed_name(static_cast<Feed>(bus)),
                  os_error_text(err), group.suppressed[bus]);
  } else {
    logger().warn("multicast send bus={}: {}", feed_name(static_cast<Feed>(bus)), os_error_text(err));
  }
  group.last_error[bus] = err;
  group.last_logged[bus] = now;
  group.suppressed[bus] = 0;
}

}  // namespace vantle::broadcast

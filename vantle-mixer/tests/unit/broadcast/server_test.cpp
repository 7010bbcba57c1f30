// The broadcast server on real loopback sockets, driven pass by pass with its own
// clock: registration, pings, eviction, the audio fan-out, commands, multicast and
// the sidecar files.
#include "broadcast/server.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "broadcast/wire.hpp"
#include "support/temp_dir.hpp"
#include "util/error.hpp"
#include "util/files.hpp"
#include "util/json.hpp"

namespace vantle::broadcast {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using test::TempDir;

constexpr std::uint16_t kFrames = 32;

// A relay's (or any peer's) socket on loopback.
class Peer {
 public:
  Peer() : socket_(net::UdpSocket::create()) {
    socket_.bind(net::Endpoint::loopback(0));
    socket_.set_receive_timeout(200);
  }
  void send(const net::Endpoint& to, std::span<const std::uint8_t> bytes) { socket_.send_to(bytes, to); }
  void send(const net::Endpoint& to, const std::string& bytes) {
    send(to, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
  // The next datagram, or an empty vector after the timeout.
  std::vector<std::uint8_t> receive() {
    std::vector<std::uint8_t> buffer(wire::kMaxDatagram);
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    if (socket_.receive(buffer, length, from, error) != net::UdpSocket::Received::kDatagram) return {};
    buffer.resize(length);
    return buffer;
  }
  // Datagrams until none comes within the timeout.
  std::vector<std::vector<std::uint8_t>> receive_all() {
    std::vector<std::vector<std::uint8_t>> all;
    socket_.set_receive_timeout(50);
    for (auto d = receive(); !d.empty(); d = receive()) all.push_back(std::move(d));
    socket_.set_receive_timeout(200);
    return all;
  }
  net::Endpoint endpoint() const { return socket_.local_endpoint(); }

 private:
  net::UdpSocket socket_;
};

class BroadcastServerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { build(); }

  void build(config::MulticastConfig multicast = {}, std::vector<config::LocalRelaySinkConfig> sinks = {}) {
    settings_.port = 0;
    settings_.frames = kFrames;
    settings_.sample_rate = 48000;
    settings_.assignments_file = dir_.path() / "state" / "relay-assignments.json";
    settings_.delays_file = dir_.path() / "state" / "session-delays.json";
    settings_.sidecar_dir = dir_.path() / "sidecars";
    settings_.multicast = multicast;
    settings_.local_sinks = sinks;
    settings_.batch_sends = GetParam();
    stats_ = std::make_shared<engine::EngineStats>(48000, 256, 4);
    feeds_ = std::make_shared<LocalSinkFeeds>(sinks);
    auto [sender, receiver] = CommandChannel::open();
    commands_.emplace(std::move(sender));
    server_ = std::make_unique<BroadcastServer>(settings_, stats_, feeds_, std::move(receiver));
    handoff_ = std::make_unique<RtHandoff>(kFrames, 4);
    server_->attach(handoff_->network_ends());
    buses_ = handoff_->rt_sinks();
    now_ = Clock::now();
    server_->begin(now_);
    address_ = net::Endpoint::loopback(server_->local_endpoint().port());
  }

  void pass(std::chrono::milliseconds advance = 0ms) {
    now_ += advance;
    server_->pass(now_);
  }

  // One block of F frames on `bus`: left `value`, right -`value`.
  void push_block(std::size_t bus, float value) {
    std::vector<float> block(2 * kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
      block[2 * i] = value;
      block[2 * i + 1] = -value;
    }
    buses_[bus].push_stereo_block(block.data(), kFrames);
  }

  // Registers `peer` as `name`; returns its session id (0 when not accepted).
  std::uint32_t register_relay(Peer& peer, const std::string& name, std::uint8_t version = 2) {
    peer.send(address_, wire::encode_register(version, name));
    pass();
    auto accept = wire::decode_accept(peer.receive());
    return accept ? accept->session : 0;
  }

  TempDir dir_;
  BroadcastSettings settings_;
  std::shared_ptr<engine::EngineStats> stats_;
  std::shared_ptr<LocalSinkFeeds> feeds_;
  std::optional<CommandChannel::Sender> commands_;
  std::unique_ptr<BroadcastServer> server_;
  std::unique_ptr<RtHandoff> handoff_;
  BusProducers buses_;
  Clock::time_point now_;
  net::Endpoint address_;
};

TEST_P(BroadcastServerTest, RegistrationAcceptsRejectsAndCountsIdsFromOne) {
  Peer a, b, old;
  a.send(address_, wire::encode_register(2, "studio-a"));
  pass();
  auto accept = wire::decode_accept(a.receive());
  ASSERT_TRUE(accept);
  EXPECT_EQ(accept->version, 2);
  EXPECT_EQ(accept->session, 1u);
  EXPECT_EQ(accept->sample_rate, 48000u);
  EXPECT_EQ(accept->channels, 2);
  EXPECT_EQ(accept->frames, kFrames);
  EXPECT_EQ(register_relay(b, "studio-b", 1), 2u);

  old.send(address_, wire::encode_register(3, "future"));
  pass();
  EXPECT_EQ(old.receive(), (std::vector<std::uint8_t>{3, 2}));
  // A name longer than its bytes is Short: no answer, no session.
  const std::vector<std::uint8_t> short_register = {1, 2, 10, 'a', 'b', 'c', 'd', 'e'};
  old.send(address_, short_register);
  pass();
  EXPECT_TRUE(old.receive().empty());
  EXPECT_EQ(server_->sessions().size(), 2u);
  // Every new name is assigned main and saved.
  auto saved = json::parse(files::read_text(settings_.assignments_file));
  EXPECT_EQ(saved["assignments"]["studio-a"], "main");
}

TEST_P(BroadcastServerTest, ASocketThatRegistersAgainKeepsOnlyItsNewestSession) {
  Peer relay, neighbour;
  const auto first = register_relay(relay, "r");
  register_relay(neighbour, "r");  // the same name from another socket is another listener
  const auto second = register_relay(relay, "r");
  EXPECT_EQ(server_->sessions().count(first), 0u);
  EXPECT_EQ(server_->sessions().size(), 2u);
  push_block(0, 0.5f);
  pass();
  auto got = relay.receive_all();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(wire::decode_audio(got[0])->session, second);
}

TEST_P(BroadcastServerTest, ARegistrationFloodIsSavedTogether) {
  Peer first, crowd;
  register_relay(first, "first");  // saved at once
  for (int i = 0; i < 100; ++i) crowd.send(address_, wire::encode_register(2, "crowd-" + std::to_string(i)));
  pass(10ms);
  auto saved = json::parse(files::read_text(settings_.assignments_file));
  EXPECT_EQ(saved["assignments"].size(), 1u);  // the rest waits for the next second
  pass(1s);
  saved = json::parse(files::read_text(settings_.assignments_file));
  EXPECT_EQ(saved["assignments"].size(), 101u);
}

TEST_P(BroadcastServerTest, BlocksFanOutWithOneSequencePerBlockAcrossBuses) {
  Peer main1, main2, monitor;
  register_relay(main1, "m1");
  register_relay(main2, "m2");
  ASSERT_TRUE((*commands_).send(SetAssignment{"mon", Feed::kMonitor}));
  pass();
  register_relay(monitor, "mon");

  for (int period = 0; period < 3; ++period) {
    push_block(0, 0.5f);
    push_block(1, 0.25f);
    pass();
  }
  auto main_packets = main1.receive_all();
  auto other_main = main2.receive_all();
  auto monitor_packets = monitor.receive_all();
  ASSERT_EQ(main_packets.size(), 3u);
  ASSERT_EQ(other_main.size(), 3u);
  ASSERT_EQ(monitor_packets.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    auto m = wire::decode_audio(main_packets[k]);
    auto m2 = wire::decode_audio(other_main[k]);
    auto mon = wire::decode_audio(monitor_packets[k]);
    ASSERT_TRUE(m && m2 && mon);
    EXPECT_EQ(main_packets[k].size(), wire::audio_packet_size(kFrames));
    EXPECT_EQ(m->session, 1u);
    EXPECT_EQ(m2->session, 2u);
    // Same block, same sequence for every relay of the bus; the buses take turns.
    EXPECT_EQ(m->sequence, m2->sequence);
    EXPECT_EQ(m->sequence, static_cast<std::uint32_t>(2 * k));
    EXPECT_EQ(mon->sequence, static_cast<std::uint32_t>(2 * k + 1));
    EXPECT_EQ(wire::sample_at(m->samples, 0), 16383);
    EXPECT_EQ(wire::sample_at(m->samples, 1), -16383);
    EXPECT_EQ(wire::sample_at(mon->samples, 2 * kFrames - 2), 8191);
  }
  const auto& s = server_->sessions().at(1);
  EXPECT_EQ(s.total_pkts, 3u);
  EXPECT_EQ(s.total_bytes, 3 * wire::audio_packet_size(kFrames));
}

TEST_P(BroadcastServerTest, RelayOnOffHearsNothingButIsKeptAlive) {
  ASSERT_TRUE((*commands_).send(SetAssignment{"quiet", Feed::kOff}));
  pass();
  Peer relay;
  const auto id = register_relay(relay, "quiet");
  ASSERT_NE(id, 0u);
  push_block(0, 0.5f);
  pass();
  relay.send(address_, wire::encode_ping(id));
  pass();
  auto got = relay.receive_all();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(wire::decode_pong(got[0]), id);
}

TEST_P(BroadcastServerTest, PingKeepsAliveFromAnyAddressAndEvictionCountsWholeSeconds) {
  Peer relay, elsewhere;
  const auto id = register_relay(relay, "r");
  pass(4900ms);
  elsewhere.send(address_, wire::encode_ping(id));
  pass();
  EXPECT_EQ(wire::decode_pong(elsewhere.receive()), id);
  // Audio still goes to the registered peer.
  push_block(0, 0.1f);
  pass();
  EXPECT_TRUE(wire::decode_audio(relay.receive()));
  EXPECT_TRUE(elsewhere.receive_all().empty());

  pass(4999ms);
  EXPECT_EQ(server_->sessions().size(), 1u);
  pass(1ms);
  EXPECT_TRUE(server_->sessions().empty());
  // Unknown ids and short pings are ignored without an answer.
  relay.send(address_, wire::encode_ping(id));
  relay.send(address_, std::vector<std::uint8_t>{5, 1, 0});
  pass();
  EXPECT_TRUE(relay.receive_all().empty());
}

TEST_P(BroadcastServerTest, ByeEndsTheSessionWhoeverSendsIt) {
  Peer relay, other;
  const auto id = register_relay(relay, "r");
  other.send(address_, wire::encode_bye(id));
  pass();
  EXPECT_TRUE(server_->sessions().empty());
}

TEST_P(BroadcastServerTest, NobodyListeningKeepsTheRingsCurrent) {
  for (int i = 0; i < 5; ++i) push_block(0, 0.9f);
  pass();
  Peer relay;
  register_relay(relay, "late");
  push_block(0, 0.2f);
  pass();
  pass();
  auto got = relay.receive_all();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(wire::sample_at(wire::decode_audio(got[0])->samples, 0), static_cast<std::int16_t>(0.2f * 32767));
}

TEST_P(BroadcastServerTest, AssignmentsMoveRelaysAndSinksAndPersist) {
  config::LocalRelaySinkConfig booth;
  booth.name = "booth";
  booth.ports = {"l", "r"};
  booth.default_bus = "cue";
  build({}, {booth});
  EXPECT_EQ(feeds_->cell("booth")->load(), static_cast<std::uint8_t>(Feed::kCue));
  EXPECT_EQ(json::parse(files::read_text(settings_.assignments_file))["assignments"]["booth"], "cue");

  Peer relay;
  register_relay(relay, "booth");  // a relay may share a sink's name
  push_block(2, 0.3f);
  pass();
  EXPECT_EQ(relay.receive_all().size(), 1u);

  ASSERT_TRUE((*commands_).send(SetAssignment{"booth", Feed::kMonitor}));
  ASSERT_TRUE((*commands_).send(SetDefaultAssignment{"booth", Feed::kMain}));  // it has one: no change
  pass();
  EXPECT_EQ(feeds_->cell("booth")->load(), static_cast<std::uint8_t>(Feed::kMonitor));
  push_block(1, 0.4f);
  push_block(2, 0.3f);
  pass();
  auto got = relay.receive_all();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(wire::sample_at(wire::decode_audio(got[0])->samples, 0), static_cast<std::int16_t>(0.4f * 32767));
  EXPECT_EQ(json::parse(files::read_text(settings_.assignments_file))["assignments"]["booth"], "monitor");

  ASSERT_TRUE((*commands_).send(SetDefaultAssignment{"newcomer", Feed::kCue}));
  pass();
  EXPECT_EQ(json::parse(files::read_text(settings_.assignments_file))["assignments"]["newcomer"], "cue");

  // The next mixer starts from the file, whatever the sink's default says.
  build({}, {booth});
  EXPECT_EQ(feeds_->cell("booth")->load(), static_cast<std::uint8_t>(Feed::kMonitor));
}

TEST_P(BroadcastServerTest, DelayedNamesPassTheirLineOncePerBlock) {
  Peer first, second, plain;
  register_relay(first, "far");
  register_relay(second, "far");  // the same relay, registered again
  register_relay(plain, "near");
  // 2 blocks of 32 frames at 48 kHz: 1.3333 ms.
  ASSERT_TRUE((*commands_).send(SetSessionDelayCommand{"far", 64.0f / 48.0f}));
  pass();
  EXPECT_FLOAT_EQ(server_->sessions().at(1).delay_ms, 64.0f / 48.0f);
  const float levels[] = {0.1f, 0.2f, 0.3f, 0.4f};
  for (float level : levels) {
    push_block(0, level);
    pass();
  }
  auto a = first.receive_all();
  auto b = second.receive_all();
  auto c = plain.receive_all();
  ASSERT_EQ(a.size(), 4u);
  ASSERT_EQ(b.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    const auto expected = k < 2 ? std::int16_t{0} : static_cast<std::int16_t>(levels[k - 2] * 32767);
    EXPECT_EQ(wire::sample_at(wire::decode_audio(a[k])->samples, 0), expected) << k;
    EXPECT_EQ(wire::sample_at(wire::decode_audio(b[k])->samples, 0), expected) << k;
    EXPECT_EQ(wire::sample_at(wire::decode_audio(c[k])->samples, 0), static_cast<std::int16_t>(levels[k] * 32767));
  }
  auto saved = json::parse(files::read_text(settings_.delays_file));
  EXPECT_NEAR(saved["delays"]["far"].get<double>(), 64.0 / 48.0, 1e-6);
}

TEST_P(BroadcastServerTest, MulticastSendsEveryBlockWithASequencePerBus) {
  Peer group;
  config::MulticastConfig mc;
  mc.enabled = true;
  mc.group_addr = "127.0.0.1";
  mc.group_port = group.endpoint().port();
  build(mc);
  for (int i = 0; i < 3; ++i) push_block(0, 0.5f);
  push_block(2, 0.25f);
  for (int i = 0; i < 3; ++i) pass();
  auto got = group.receive_all();
  ASSERT_EQ(got.size(), 4u);
  std::vector<std::pair<int, std::uint32_t>> seen;
  for (const auto& d : got) {
    auto m = wire::decode_multicast_audio(d);
    ASSERT_TRUE(m);
    EXPECT_EQ(d.size(), wire::multicast_packet_size(kFrames));
    seen.emplace_back(m->bus_code, m->sequence);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int, std::uint32_t>>{{1, 0}, {3, 0}, {1, 1}, {1, 2}}));
}

TEST_P(BroadcastServerTest, MulticastGroupMustBeAnAddress) {
  config::MulticastConfig mc;
  mc.enabled = true;
  mc.group_addr = "239.0.0.1.example";
  try {
    build(mc);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.outermost(), "invalid multicast group address");
  }
  mc.group_addr = "[ff02::1]";  // parses; the IPv4 socket then fails every send, quietly repeated
  build(mc);
  push_block(0, 0.5f);
  pass();
}

TEST_P(BroadcastServerTest, SidecarsShowSessionsSinksAndEngine) {
  config::LocalRelaySinkConfig plain, labelled;
  plain.name = "a";
  plain.ports = {"l", "r"};
  labelled.name = "b";
  labelled.label = "Booth B";
  labelled.ports = {"l2", "r2"};
  labelled.default_bus = "monitor";
  build({}, {plain, labelled});
  pass();
  EXPECT_EQ(files::read_text(settings_.sidecar_dir / "sessions.json"),
            R"({"sessions":[{"kind":"local","session_id":0,"name":"a","peer":"local","version":2,"bus":"main",)"
            R"("seconds_since_ping":0.0,"delay_ms":0.0},{"kind":"local","session_id":0,"name":"b","label":"Booth B",)"
            R"("peer":"local","version":2,"bus":"monitor","seconds_since_ping":0.0,"delay_ms":0.0}]})");

  Peer relay;
  register_relay(relay, "r");
  ASSERT_TRUE((*commands_).send(RegisterMulticastRelay{"mc"}));
  stats_->record_cycle(1000);
  stats_->xrun_count = 3;
  pass(150ms);  // too soon for another write
  auto before = json::parse(files::read_text(settings_.sidecar_dir / "sessions.json"));
  EXPECT_EQ(before["sessions"].size(), 2u);
  pass(50ms);
  auto sessions = json::parse(files::read_text(settings_.sidecar_dir / "sessions.json"))["sessions"];
  ASSERT_EQ(sessions.size(), 4u);
  EXPECT_EQ(sessions[0]["kind"], "udp");
  EXPECT_EQ(sessions[0]["peer"], relay.endpoint().to_string());
  EXPECT_NEAR(sessions[0]["seconds_since_ping"].get<double>(), 0.2, 1e-6);
  EXPECT_EQ(sessions[3]["kind"], "multicast_relay");
  EXPECT_EQ(sessions[3]["peer"], "");

  auto diag = json::parse(files::read_text(settings_.sidecar_dir / "diag.json"));
  EXPECT_EQ(diag["jack"]["xrun_count"], 3);
  EXPECT_EQ(diag["process"]["max_us_window"], 1000);
  EXPECT_NEAR(diag["process"]["headroom_us"].get<double>(), 4333.333, 0.001);
  EXPECT_EQ(diag["ingest"].dump(), R"([{"slot":0,"drops":0},{"slot":1,"drops":0},{"slot":2,"drops":0},{"slot":3,"drops":0}])");
  EXPECT_EQ(diag["relay_sessions"][0]["name"], "r");
  // The window restarts after each write.
  pass(200ms);
  EXPECT_EQ(json::parse(files::read_text(settings_.sidecar_dir / "diag.json"))["process"]["max_us_window"], 0);
}

TEST_P(BroadcastServerTest, JunkNeverStopsTheAudio) {
  Peer relay, flood;
  register_relay(relay, "r");
  std::mt19937 random(1);
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 200; ++i) {
      std::vector<std::uint8_t> junk(random() % 64);
      for (auto& byte : junk) byte = static_cast<std::uint8_t>(random());
      if (!junk.empty() && junk[0] == 1) junk[0] = 9;  // registrations are tested elsewhere
      flood.send(address_, junk);
    }
    push_block(0, 0.5f);
    pass();
  }
  EXPECT_EQ(relay.receive_all().size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(SendPaths, BroadcastServerTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Batched" : "OnePerRelay"; });

}  // namespace
}  // namespace vantle::broadcast

// Sender sessions: acceptance rules, the sequence rule, delivery into the slot
// rings and eviction, with real loopback sockets and the test's own clock.
#include "ingest/ingest.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "broadcast/handoff.hpp"
#include "broadcast/wire.hpp"

namespace vantle::ingest {
namespace {

using namespace std::chrono_literals;
namespace wire = broadcast::wire;

TEST(IngestSequence, LateAndDuplicatePacketsAreOldRestartsAreNew) {
  struct Case {
    std::optional<std::uint32_t> last;
    std::uint32_t s;
    bool fresh;
  };
  for (auto [last, s, fresh] : {Case{std::nullopt, 0, true}, Case{std::nullopt, 4000000000u, true},
                                Case{10, 9, false}, Case{10, 10, false}, Case{10, 11, true},
                                Case{10, 4294967295u, true},        // a huge step forward
                                Case{4294967295u, 0, true},         // wrapping forward
                                Case{2000000, 5, true},             // a million or more back: restarted
                                Case{2000000, 1000001, false},      // just under a million back: late
                                Case{2000000, 1000000, true}}) {
    EXPECT_EQ(is_new_sequence(last, s), fresh) << (last ? *last : -1) << " then " << s;
  }
}

class IngestTest : public ::testing::Test {
 protected:
  IngestTest() : mixer_(net::UdpSocket::create()), sender_(net::UdpSocket::create()), other_(net::UdpSocket::create()) {
    mixer_.bind(net::Endpoint::loopback(0));
    for (auto* s : {&sender_, &other_}) {
      s->bind(net::Endpoint::loopback(0));
      s->set_receive_timeout(200);
    }
    config::IngestConfig cfg;
    cfg.slot_count = 7;
    cfg.sender = {{"studio", 2, 4}, {"phone", 1, 6}, {"silent", 0, 0}};
    config::ChannelConfig remote;
    remote.id = "remote";
    remote.label = "Remote studio";
    remote.ingest_slot = 4;
    stats_ = std::make_shared<engine::EngineStats>(48000, 256, 7);
    handoff_ = std::make_unique<broadcast::RtHandoff>(16, 7);  // slot rings of 1024 samples
    state_ = std::make_unique<IngestState>(cfg, std::vector<config::ChannelConfig>{remote}, 48000, 16, stats_);
    state_->attach(handoff_->network_ends().slot_producers);
    slots_ = handoff_->rt_ingest_sinks();
  }

  // Delivers what `from` sent to the ingest state, as the broadcast thread would.
  void deliver(net::UdpSocket& from, std::span<const std::uint8_t> bytes) {
    from.send_to(bytes, mixer_.local_endpoint());
    std::vector<std::uint8_t> buffer(wire::kMaxDatagram);
    std::size_t length = 0;
    net::Endpoint source;
    int error = 0;
    mixer_.set_receive_timeout(200);
    ASSERT_EQ(mixer_.receive(buffer, length, source, error), net::UdpSocket::Received::kDatagram);
    std::span<const std::uint8_t> datagram(buffer.data(), length);
    if (datagram[0] == static_cast<std::uint8_t>(wire::Tag::kRegisterTx)) {
      state_->on_register_tx(datagram, source, now_, mixer_);
    } else {
      state_->on_audio_tx(datagram, source, now_);
    }
  }
  void deliver(net::UdpSocket& from, const std::string& bytes) {
    deliver(from, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }

  std::vector<std::uint8_t> reply(net::UdpSocket& to) {
    std::vector<std::uint8_t> buffer(wire::kMaxDatagram);
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    if (to.receive(buffer, length, from, error) != net::UdpSocket::Received::kDatagram) return {};
    buffer.resize(length);
    return buffer;
  }

  std::uint32_t register_as(net::UdpSocket& from, const std::string& name, std::uint8_t channels) {
    deliver(from, wire::encode_register_tx(2, channels, name));
    auto accept = wire::decode_accept_tx(reply(from));
    return accept ? accept->session : 0;
  }

  std::string audio(std::uint32_t session, std::uint32_t sequence, std::vector<float> interleaved,
                    std::uint8_t channels = 2) {
    return wire::encode_audio_tx(session, sequence, channels, interleaved.data(), interleaved.size() / channels);
  }

  std::vector<float> drain(std::size_t slot) {
    std::vector<float> out;
    float x;
    while (slots_[slot].pop(x)) out.push_back(x);
    return out;
  }

  net::UdpSocket mixer_, sender_, other_;
  std::shared_ptr<engine::EngineStats> stats_;
  std::unique_ptr<broadcast::RtHandoff> handoff_;
  std::unique_ptr<IngestState> state_;
  std::vector<broadcast::SampleRing::Consumer> slots_;
  Clock::time_point now_ = Clock::now();
};

TEST_F(IngestTest, AcceptsAllowListedSendersAndFillsTheirSlots) {
  deliver(sender_, wire::encode_register_tx(1, 2, "studio"));
  auto accept = wire::decode_accept_tx(reply(sender_));
  ASSERT_TRUE(accept);
  EXPECT_EQ(accept->version, 1);
  EXPECT_EQ(accept->session, 0x80000000u);
  EXPECT_EQ(accept->sample_rate, 48000u);
  EXPECT_EQ(accept->channels, 2);
  EXPECT_EQ(accept->frames, 16);
  EXPECT_EQ(accept->start_slot, 4);

  deliver(sender_, audio(accept->session, 0, {0.5f, -0.25f, 0.125f, -1.0f}));
  EXPECT_EQ(drain(4), (std::vector<float>{16383.0f / 32768, 4095.0f / 32768}));
  EXPECT_EQ(drain(5), (std::vector<float>{-8191.0f / 32768, -32767.0f / 32768}));
  const auto& s = state_->sessions().at(accept->session);
  EXPECT_EQ(s.total_pkts, 1u);
  EXPECT_EQ(s.total_bytes, 10u + 8u);
  ASSERT_NE(state_->channel_of("studio"), nullptr);
  EXPECT_EQ(state_->channel_of("studio")->label, "Remote studio");
  EXPECT_EQ(state_->channel_of("phone"), nullptr);
}

TEST_F(IngestTest, RejectionsNameTheirReason) {
  struct Case {
    std::uint8_t version, channels;
    const char* name;
    std::uint8_t reason;
  };
  for (auto [version, channels, name, reason] :
       {Case{3, 2, "studio", 2}, Case{2, 2, "stranger", 4}, Case{2, 1, "studio", 5}}) {
    deliver(sender_, wire::encode_register_tx(version, channels, name));
    EXPECT_EQ(reply(sender_), (std::vector<std::uint8_t>{18, reason})) << name;
  }
  EXPECT_TRUE(state_->sessions().empty());
  // Too short for its name: no answer at all.
  deliver(sender_, std::vector<std::uint8_t>{16, 2, 2, 9, 'a'});
  EXPECT_TRUE(reply(sender_).empty());
}

TEST_F(IngestTest, OnlyNewPacketsFromTheRegisteredPeerAndChannelCountCount) {
  const auto id = register_as(sender_, "studio", 2);
  deliver(sender_, audio(id, 10, {0.1f, 0.1f}));
  deliver(sender_, audio(id, 9, {0.2f, 0.2f}));          // late
  deliver(sender_, audio(id, 10, {0.3f, 0.3f}));         // duplicate
  deliver(other_, audio(id, 11, {0.4f, 0.4f}));          // another port
  deliver(sender_, audio(id, 11, {0.5f}, 1));            // another channel count
  deliver(sender_, audio(id + 1, 11, {0.6f, 0.6f}));     // unknown session
  deliver(sender_, audio(id, 11, {0.7f, 0.7f}));
  auto got = drain(4);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], static_cast<float>(wire::encode_sample(0.1f)) / 32768);
  EXPECT_EQ(got[1], static_cast<float>(wire::encode_sample(0.7f)) / 32768);
  EXPECT_EQ(state_->sessions().at(id).total_pkts, 2u);
}

TEST_F(IngestTest, PartialFramesAndShortPayloads) {
  const auto id = register_as(sender_, "studio", 2);
  auto packet = audio(id, 0, {0.5f, 0.5f, 0.25f, 0.25f});
  packet.resize(packet.size() - 3);  // one whole frame and one byte of the next
  deliver(sender_, packet);
  EXPECT_EQ(drain(4).size(), 1u);
  packet = audio(id, 1, {0.5f, 0.5f});
  packet.resize(10 + 3);  // less than one frame
  deliver(sender_, packet);
  EXPECT_TRUE(drain(4).empty());
  EXPECT_EQ(state_->sessions().at(id).total_pkts, 2u);
}

TEST_F(IngestTest, FullSlotsCountWhatTheyDrop) {
  const auto id = register_as(sender_, "phone", 1);
  std::vector<float> samples(600, 0.5f);
  deliver(sender_, audio(id, 0, samples, 1));
  deliver(sender_, audio(id, 1, samples, 1));  // 1200 samples into a ring of 1024
  EXPECT_EQ(stats_->slot_drops(6).load(), 176u);
  EXPECT_EQ(drain(6).size(), 1024u);
}

TEST_F(IngestTest, ASecondRegistrationReplacesTheFirst) {
  const auto first = register_as(sender_, "studio", 2);
  const auto second = register_as(other_, "studio", 2);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(state_->sessions().count(first), 0u);
  deliver(sender_, audio(first, 5, {0.5f, 0.5f}));
  EXPECT_TRUE(drain(4).empty());
  deliver(other_, audio(second, 0, {0.5f, 0.5f}));
  EXPECT_EQ(drain(4).size(), 1u);
}

TEST_F(IngestTest, SilentSendersExpireAfterThreeSecondsAndByeEndsThem) {
  const auto id = register_as(sender_, "studio", 2);
  now_ += 2900ms;
  deliver(sender_, audio(id, 0, {0.1f, 0.1f}));
  now_ += 3000ms;
  state_->expire(now_);
  EXPECT_EQ(state_->sessions().size(), 1u);  // exactly 3 s is not more than 3 s
  now_ += 500ms;
  state_->expire(now_);
  EXPECT_TRUE(state_->sessions().empty());

  const auto again = register_as(sender_, "studio", 2);
  EXPECT_FALSE(state_->on_bye(12345));
  EXPECT_TRUE(state_->on_bye(again));
  EXPECT_TRUE(state_->sessions().empty());
}

TEST_F(IngestTest, ASenderWithoutChannelsStaysAliveAndDeliversNothing) {
  const auto id = register_as(sender_, "silent", 0);
  ASSERT_NE(id, 0u);
  std::string packet = wire::encode_audio_tx(id, 0, 0, nullptr, 0);
  packet += std::string(3000, '\x7f');
  deliver(sender_, packet);
  EXPECT_EQ(state_->sessions().at(id).total_pkts, 1u);
  for (std::size_t slot = 0; slot < 7; ++slot) EXPECT_TRUE(drain(slot).empty());
}

TEST_F(IngestTest, RandomDatagramsNeverReachBeyondTheSlots) {
  const auto studio = register_as(sender_, "studio", 2);
  const auto phone = register_as(sender_, "phone", 1);
  const auto peer = sender_.local_endpoint();
  std::mt19937 random(3);
  std::vector<std::uint8_t> datagram;
  for (int i = 0; i < 20000; ++i) {
    datagram.resize(random() % wire::kMaxDatagram);
    for (auto& b : datagram) b = static_cast<std::uint8_t>(random());
    if (datagram.size() >= 10) {
      datagram[0] = 19;
      const std::uint32_t id = i % 3 == 0 ? studio : i % 3 == 1 ? phone : static_cast<std::uint32_t>(random());
      std::memcpy(&datagram[1], &id, 4);
      datagram[9] = static_cast<std::uint8_t>(i % 4);  // sometimes the right channel count
    }
    state_->on_audio_tx(datagram, i % 5 == 0 ? other_.local_endpoint() : peer, now_);
    if (datagram.size() >= 4) {
      datagram[0] = 16;
      state_->on_register_tx(datagram, peer, now_, mixer_);
    }
    for (std::size_t slot = 0; slot < 7; ++slot) drain(slot);
  }
  // Only the two senders' slots ever received anything.
  for (std::size_t slot : {0u, 1u, 2u, 3u}) EXPECT_EQ(stats_->slot_drops(slot).load(), 0u);
}

}  // namespace
}  // namespace vantle::ingest

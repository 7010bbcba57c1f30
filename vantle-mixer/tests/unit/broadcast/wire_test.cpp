#include "broadcast/wire.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "util/files.hpp"

namespace vantle::broadcast::wire {
namespace {

using ByteVec = std::vector<std::uint8_t>;

template <std::size_t N>
ByteVec vec(const std::array<std::uint8_t, N>& a) {
  return ByteVec(a.begin(), a.end());
}
ByteVec vec(const std::string& s) { return ByteVec(s.begin(), s.end()); }
ByteVec vec(std::initializer_list<int> bytes) {
  ByteVec v;
  for (int b : bytes) v.push_back(static_cast<std::uint8_t>(b));
  return v;
}
Bytes view(const ByteVec& v) { return Bytes(v.data(), v.size()); }
Bytes view(const std::string& s) { return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

std::string u8(const char* text) { return text; }

// The conversion as the protocol states it, written plainly: clamp, scale, clamp,
// truncate.
std::int16_t reference_sample(float x) {
  if (std::isnan(x)) return 0;
  float y = std::min(std::max(x, -1.0f), 1.0f) * 32767.0f;
  y = std::min(std::max(y, -32768.0f), 32767.0f);
  return static_cast<std::int16_t>(std::trunc(y));
}

// ---- samples

TEST(WireSamples, EncodeTable) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float x;
    std::int16_t expected;
  };
  const Case cases[] = {
      {0.0f, 0},         {-0.0f, 0},          {1.0f, 32767},         {-1.0f, -32767},     {1.5f, 32767},
      {-1.5f, -32767},   {0.5f, 16383},       {-0.5f, -16383},       {0.25f, 8191},       {nan, 0},
      {-nan, 0},         {inf, 32767},        {-inf, -32767},        {1e30f, 32767},      {-1e30f, -32767},
      {1e-30f, 0},       {-1e-30f, 0},        {0.99999f, 32766},     {1e-4f, 3},          {-1e-4f, -3},
      {std::numeric_limits<float>::denorm_min(), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode_sample(c.x), c.expected) << "x = " << c.x;
  }
}

TEST(WireSamples, DecodeTable) {
  struct Case {
    std::int16_t s;
    float expected;
  };
  const Case cases[] = {
      {0, 0.0f},
      {-32768, -1.0f},
      {32767, 32767.0f / 32768.0f},
      {16384, 0.5f},
      {1, 1.0f / 32768.0f},
      {-1, -1.0f / 32768.0f},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_sample(c.s), c.expected) << "s = " << c.s;
  // Every encoded value comes back within one step and never above full scale.
  for (int s = -32768; s <= 32767; ++s) {
    const float x = decode_sample(static_cast<std::int16_t>(s));
    ASSERT_LE(std::abs(x), 1.0f);
    ASSERT_LE(std::abs(encode_sample(x) - s), 1) << s;
  }
}

// The block encoders are written for the vectorizer; they must agree with the
// plain formula for every kind of float, at every position of a block (the vector
// loops have heads and tails), and write exactly 4 bytes per frame.
TEST(WireSamples, BlockEncodersMatchThePlainFormula) {
  std::vector<float> pool = {0.0f,    -0.0f,  1.0f,    -1.0f,    0.5f,    1.5f,     -1.5f,
                             0.9999f, 1e-40f, -1e-40f, 65536.0f, -3e38f,  std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                             -std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::signaling_NaN()};
  // A stride through all bit patterns covers every exponent with both signs.
  for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 65521) {
    pool.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
  }
  // The values around each rounding step near full scale and zero.
  for (float x : {1.0f, -1.0f, 0.0f, 1.0f / 32767, -1.0f / 32767}) {
    float up = x, down = x;
    for (int i = 0; i < 8; ++i) {
      up = std::nextafter(up, 2.0f);
      down = std::nextafter(down, -2.0f);
      pool.push_back(up);
      pool.push_back(down);
    }
  }

  constexpr std::uint8_t kGuard = 0xA5;
  for (std::size_t frames : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{17}, std::size_t{256}}) {
    SCOPED_TRACE("frames " + std::to_string(frames));
    for (std::size_t start = 0; start < pool.size(); start += 2 * frames) {
      std::vector<float> interleaved(2 * frames), left(frames), right(frames);
      for (std::size_t i = 0; i < 2 * frames; ++i) interleaved[i] = pool[(start + i) % pool.size()];
      for (std::size_t i = 0; i < frames; ++i) {
        left[i] = interleaved[2 * i];
        right[i] = interleaved[2 * i + 1];
      }
      ByteVec a(4 * frames + 8, kGuard), b(4 * frames + 8, kGuard);
      encode_frames(interleaved.data(), frames, a.data() + 4);
      encode_frames(left.data(), right.data(), frames, b.data() + 4);
      for (std::size_t k = 0; k < 4; ++k) {
        ASSERT_EQ(a[k], kGuard);
        ASSERT_EQ(a[a.size() - 1 - k], kGuard);
        ASSERT_EQ(b[k], kGuard);
        ASSERT_EQ(b[b.size() - 1 - k], kGuard);
      }
      const Bytes sa(a.data() + 4, 4 * frames), sb(b.data() + 4, 4 * frames);
      for (std::size_t i = 0; i < 2 * frames; ++i) {
        const std::int16_t want = reference_sample(interleaved[i]);
        ASSERT_EQ(sample_at(sa, i), want) << "x = " << interleaved[i] << " at " << i;
        ASSERT_EQ(sample_at(sb, i), want) << "x = " << interleaved[i] << " at " << i;
        ASSERT_EQ(encode_sample(interleaved[i]), want) << "x = " << interleaved[i];
      }
    }
  }
}

// ---- fixed layouts

TEST(WirePackets, EveryPacketByteForByte) {
  const std::uint32_t id = 0x11223344;
  struct Case {
    const char* what;
    ByteVec actual;
    ByteVec expected;
  };
  ByteVec audio_header(9, 0), multicast_header(6, 0);
  write_audio_header(audio_header.data(), 0xA1B2C3D4, 0x01020304);
  write_multicast_header(multicast_header.data(), 3, 0xFFFFFFFE);
  const float tx_samples[] = {0.5f, -1.0f, 1.0f};
  const Case cases[] = {
      {"REGISTER", vec(encode_register(2, "ab")), vec({1, 2, 2, 'a', 'b'})},
      {"REGISTER empty", vec(encode_register(1, "")), vec({1, 1, 0})},
      {"REGISTER_TX", vec(encode_register_tx(1, 6, "mic")), vec({16, 1, 6, 3, 'm', 'i', 'c'})},
      {"ACCEPT", vec(encode_accept(2, id, 48000, 256)),
       vec({2, 2, 0x44, 0x33, 0x22, 0x11, 0x80, 0xBB, 0x00, 0x00, 2, 0x00, 0x01})},
      {"ACCEPT_TX", vec(encode_accept_tx(1, 0x80000001, 44100, 4, 128, 0x0102)),
       vec({17, 1, 0x01, 0x00, 0x00, 0x80, 0x44, 0xAC, 0x00, 0x00, 4, 0x80, 0x00, 0x02, 0x01})},
      {"REJECT", vec(encode_reject(kRejectUnsupportedVersion)), vec({3, 2})},
      {"REJECT_TX unknown", vec(encode_reject_tx(kRejectUnknownSender)), vec({18, 4})},
      {"REJECT_TX channels", vec(encode_reject_tx(kRejectChannelMismatch)), vec({18, 5})},
      {"PING", vec(encode_ping(id)), vec({5, 0x44, 0x33, 0x22, 0x11})},
      {"PONG", vec(encode_pong(id)), vec({6, 0x44, 0x33, 0x22, 0x11})},
      {"BYE", vec(encode_bye(id)), vec({7, 0x44, 0x33, 0x22, 0x11})},
      {"AUDIO header", audio_header, vec({4, 0xD4, 0xC3, 0xB2, 0xA1, 0x04, 0x03, 0x02, 0x01})},
      {"MULTICAST_AUDIO header", multicast_header, vec({8, 3, 0xFE, 0xFF, 0xFF, 0xFF})},
      {"AUDIO_TX", vec(encode_audio_tx(7, 9, 3, tx_samples, 1)),
       vec({19, 7, 0, 0, 0, 9, 0, 0, 0, 3, 0xFF, 0x3F, 0x01, 0x80, 0xFF, 0x7F})},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

TEST(WirePackets, AudioSizesFollowTheFrameCount) {
  struct Case {
    std::size_t frames, audio, multicast;
  };
  const Case cases[] = {{1, 13, 10}, {64, 265, 262}, {256, 1033, 1030}, {1021, 4093, 4090}};
  for (const auto& c : cases) {
    SCOPED_TRACE("F = " + std::to_string(c.frames));
    EXPECT_EQ(audio_packet_size(c.frames), c.audio);
    EXPECT_EQ(multicast_packet_size(c.frames), c.multicast);

    // A whole packet built the way the mixer builds it decodes with F frames.
    std::vector<float> block(2 * c.frames);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i % 200) / 100.0f - 1.0f;
    ByteVec packet(audio_packet_size(c.frames));
    encode_frames(block.data(), c.frames, packet.data() + kAudioHeader);
    write_audio_header(packet.data(), 42, 7);
    auto audio = decode_audio(view(packet));
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->samples.size(), 4 * c.frames);

    ByteVec mpacket(multicast_packet_size(c.frames));
    encode_frames(block.data(), c.frames, mpacket.data() + kMulticastHeader);
    write_multicast_header(mpacket.data(), 2, 7);
    auto multicast = decode_multicast_audio(view(mpacket));
    ASSERT_TRUE(multicast);
    EXPECT_EQ(multicast->samples.size(), 4 * c.frames);
    for (std::size_t i = 0; i < block.size(); ++i) {
      ASSERT_EQ(sample_at(audio->samples, i), encode_sample(block[i])) << i;
      ASSERT_EQ(sample_at(multicast->samples, i), encode_sample(block[i])) << i;
    }
  }
}

TEST(WirePackets, RoundTrips) {
  for (std::uint32_t id : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE("id " + std::to_string(id));
    auto accept = decode_accept(view(vec(encode_accept(1, id, 96000, 0xFFFF))));
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->version, 1);
    EXPECT_EQ(accept->session, id);
    EXPECT_EQ(accept->sample_rate, 96000u);
    EXPECT_EQ(accept->channels, 2);
    EXPECT_EQ(accept->frames, 0xFFFF);

    auto accept_tx = decode_accept_tx(view(vec(encode_accept_tx(2, id, 0xFFFFFFFF, 8, 512, 0xFFFF))));
    ASSERT_TRUE(accept_tx);
    EXPECT_EQ(accept_tx->version, 2);
    EXPECT_EQ(accept_tx->session, id);
    EXPECT_EQ(accept_tx->sample_rate, 0xFFFFFFFFu);
    EXPECT_EQ(accept_tx->channels, 8);
    EXPECT_EQ(accept_tx->frames, 512);
    EXPECT_EQ(accept_tx->start_slot, 0xFFFF);

    EXPECT_EQ(decode_session_id(view(vec(encode_ping(id)))), id);
    EXPECT_EQ(decode_session_id(view(vec(encode_bye(id)))), id);
    EXPECT_EQ(decode_pong(view(vec(encode_pong(id)))), id);

    // A PONG carries the PING's id byte for byte.
    const auto ping = encode_ping(id);
    const auto pong = encode_pong(*decode_session_id(view(vec(ping))));
    EXPECT_TRUE(std::equal(ping.begin() + 1, ping.end(), pong.begin() + 1));

    ByteVec audio(audio_packet_size(2));
    const float frames[] = {0.5f, -0.5f, 1.0f, -1.0f};
    encode_frames(frames, 2, audio.data() + kAudioHeader);
    write_audio_header(audio.data(), id, ~id);
    auto a = decode_audio(view(audio));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->session, id);
    EXPECT_EQ(a->sequence, ~id);

    ByteVec multicast(multicast_packet_size(2));
    write_multicast_header(multicast.data(), 1, id);
    auto m = decode_multicast_audio(view(multicast));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->bus_code, 1);
    EXPECT_EQ(m->sequence, id);

    const float tx[] = {0.25f, -0.25f, 0.75f, -0.75f, 0.0f, 1.0f};
    const std::string tx_packet = encode_audio_tx(id, id ^ 0x5555, 3, tx, 2);
    auto t = decode_audio_tx(view(tx_packet));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->session, id);
    EXPECT_EQ(t->sequence, id ^ 0x5555);
    EXPECT_EQ(t->channels, 3);
    EXPECT_EQ(audio_tx_frames(*t), 2u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(sample_at(t->payload, i), encode_sample(tx[i]));
  }
  for (std::uint8_t reason : {std::uint8_t{0}, kRejectUnsupportedVersion, kRejectUnknownSender, std::uint8_t{255}}) {
    EXPECT_EQ(decode_reject_reason(view(vec(encode_reject(reason)))), reason);
    EXPECT_EQ(decode_reject_reason(view(vec(encode_reject_tx(reason)))), reason);
  }
  for (std::uint8_t version : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{255}}) {
    auto r = decode_register(view(encode_register(version, "studio-b")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->version, version);
    EXPECT_EQ(r->name, "studio-b");
    auto tx = decode_register_tx(view(encode_register_tx(version, 2, "field")));
    ASSERT_TRUE(tx);
    EXPECT_EQ(tx->version, version);
    EXPECT_EQ(tx->channels, 2);
    EXPECT_EQ(tx->name, "field");
  }
}

TEST(WirePackets, VersionsOneAndTwoAreSupported) {
  for (int v = 0; v < 256; ++v) EXPECT_EQ(supported_version(static_cast<std::uint8_t>(v)), v == 1 || v == 2) << v;
}

// The peers' decoders take their packet at its exact size and tag only.
TEST(WirePackets, PeerDecodersRefuseWrongSizesAndTags) {
  ByteVec accept = vec(encode_accept(2, 1, 48000, 256));
  ByteVec accept_tx = vec(encode_accept_tx(2, 1, 48000, 2, 256, 0));
  ByteVec pong = vec(encode_pong(1));
  ByteVec reject = vec(encode_reject(2));
  auto resized = [](ByteVec v, std::size_t n) {
    v.resize(n, 0);
    return v;
  };
  auto retagged = [](ByteVec v, std::uint8_t tag) {
    v[0] = tag;
    return v;
  };
  EXPECT_FALSE(decode_accept(view(resized(accept, 12))));
  EXPECT_FALSE(decode_accept(view(resized(accept, 14))));
  EXPECT_FALSE(decode_accept(view(retagged(accept, 17))));
  EXPECT_FALSE(decode_accept_tx(view(resized(accept_tx, 14))));
  EXPECT_FALSE(decode_accept_tx(view(resized(accept_tx, 16))));
  EXPECT_FALSE(decode_accept_tx(view(retagged(accept_tx, 2))));
  EXPECT_FALSE(decode_pong(view(resized(pong, 4))));
  EXPECT_FALSE(decode_pong(view(resized(pong, 6))));
  EXPECT_FALSE(decode_pong(view(retagged(pong, 5))));
  EXPECT_FALSE(decode_reject_reason(view(resized(reject, 1))));
  EXPECT_FALSE(decode_reject_reason(view(resized(reject, 3))));
  EXPECT_FALSE(decode_reject_reason(view(retagged(reject, 2))));

  ByteVec audio(audio_packet_size(4), 0);
  write_audio_header(audio.data(), 1, 1);
  EXPECT_TRUE(decode_audio(view(resized(audio, kAudioHeader))));  // no frames, still whole
  EXPECT_FALSE(decode_audio(view(resized(audio, kAudioHeader - 1))));
  EXPECT_FALSE(decode_audio(view(resized(audio, audio.size() + 2))));  // half a frame
  EXPECT_FALSE(decode_audio(view(retagged(audio, 8))));

  ByteVec multicast(multicast_packet_size(4), 0);
  for (int bus = 0; bus < 6; ++bus) {
    write_multicast_header(multicast.data(), static_cast<std::uint8_t>(bus), 1);
    EXPECT_EQ(decode_multicast_audio(view(multicast)).has_value(), bus >= 1 && bus <= 3) << "bus " << bus;
  }
  write_multicast_header(multicast.data(), 1, 1);
  EXPECT_FALSE(decode_multicast_audio(view(resized(multicast, multicast.size() - 1))));
  EXPECT_FALSE(decode_multicast_audio(view(resized(multicast, kMulticastHeader - 1))));
  EXPECT_FALSE(decode_multicast_audio(view(retagged(multicast, 4))));

  const ByteVec two = vec({1, 2});
  EXPECT_EQ(sample_at(view(two), 0), 0x0201);
  EXPECT_EQ(sample_at(view(two), 1), 0) << "beyond the payload";
  EXPECT_EQ(sample_at(Bytes{}, 0), 0);
}

// ---- the packets the mixer receives

TEST(WireRegister, DecodeTable) {
  struct Case {
    const char* what;
    ByteVec bytes;
    std::optional<std::string> name;  // nullopt: refused
    WireError error = WireError::kShort;
    std::uint8_t version = 2;
  };
  const Case cases[] = {
      {"empty datagram", {}, std::nullopt},
      {"tag only", vec({1}), std::nullopt},
      {"no length byte", vec({1, 2}), std::nullopt},
      {"three bytes, empty name", vec({1, 2, 0}), ""},
      {"declared 10, carries 5", vec({1, 2, 10, 'h', 'e', 'l', 'l', 'o'}), std::nullopt},
      {"declared 5, carries 5", vec({1, 2, 5, 'h', 'e', 'l', 'l', 'o'}), "hello"},
      {"bytes after the name", vec({1, 2, 2, 'h', 'i', 0, 0xFF, 'x'}), "hi"},
      {"0xFF in the name", vec({1, 2, 3, 'a', 0xFF, 'b'}), u8("a\xEF\xBF\xBD" "b")},
      {"NUL in the name is kept", vec({1, 2, 3, 'a', 0, 'b'}), std::string("a\0b", 3)},
      {"version 3 still decodes", vec({1, 3, 1, 'x'}), "x", WireError::kShort, 3},
      {"wrong tag", vec({16, 2, 0, 0}), std::nullopt, WireError::kBadTag},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WireError error = WireError::kBadSession;
    auto r = decode_register(view(c.bytes), &error);
    ASSERT_EQ(r.has_value(), c.name.has_value());
    if (r) {
      EXPECT_EQ(r->name, *c.name);
      EXPECT_EQ(r->version, c.version);
    } else {
      EXPECT_EQ(error, c.error);
    }
  }
  // A 255-byte name fills the length byte exactly.
  ByteVec longest = {1, 2, 255};
  longest.resize(3 + 255, 'n');
  auto r = decode_register(view(longest));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, std::string(255, 'n'));
  longest.pop_back();
  EXPECT_FALSE(decode_register(view(longest)));
}

TEST(WireRegister, SenderDecodeTable) {
  struct Case {
    const char* what;
    ByteVec bytes;
    std::optional<std::string> name;
    WireError error = WireError::kShort;
  };
  const Case cases[] = {
      {"three bytes", vec({16, 2, 2}), std::nullopt},
      {"four bytes, empty name", vec({16, 2, 2, 0}), ""},
      {"declared 4, carries 3", vec({16, 2, 2, 4, 'a', 'b', 'c'}), std::nullopt},
      {"declared 3, carries 3", vec({16, 2, 2, 3, 'a', 'b', 'c'}), "abc"},
      {"cut sequence in the name", vec({16, 2, 2, 3, 'a', 0xE2, 0x82}), u8("a\xEF\xBF\xBD")},
      {"wrong tag", vec({1, 2, 2, 0}), std::nullopt, WireError::kBadTag},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WireError error = WireError::kBadSession;
    auto r = decode_register_tx(view(c.bytes), &error);
    ASSERT_EQ(r.has_value(), c.name.has_value());
    if (r) {
      EXPECT_EQ(r->name, *c.name);
      EXPECT_EQ(r->version, 2);
      EXPECT_EQ(r->channels, 2);
    } else {
      EXPECT_EQ(error, c.error);
    }
  }
  EXPECT_STREQ(error_name(WireError::kShort), "Short");
  EXPECT_STREQ(error_name(WireError::kBadTag), "BadTag");
  EXPECT_STREQ(error_name(WireError::kBadVersion), "BadVersion");
  EXPECT_STREQ(error_name(WireError::kBadSession), "BadSession");
}

TEST(WireRegister, LongNamesAreCutAtACharacterBoundary) {
  struct Case {
    std::string name;
    std::string sent;
  };
  std::string e_acute;
  for (int i = 0; i < 200; ++i) e_acute += "\xC3\xA9";
  const Case cases[] = {
      {std::string(300, 'a'), std::string(255, 'a')},
      {std::string(255, 'a'), std::string(255, 'a')},
      {e_acute, e_acute.substr(0, 254)},                                     // 255 would split a character
      {std::string(254, 'a') + "\xE2\x86\x92", std::string(254, 'a')},       // no room for a 3-byte character
      {std::string(252, 'a') + "\xE2\x86\x92" + "b", std::string(252, 'a') + "\xE2\x86\x92"},
  };
  for (const auto& c : cases) {
    for (const std::string& packet : {encode_register(2, c.name), encode_register_tx(2, 1, c.name)}) {
      const bool tx = packet[0] == 16;
      std::optional<std::string> decoded;
      if (tx) {
        if (auto r = decode_register_tx(view(packet))) decoded = r->name;
      } else {
        if (auto r = decode_register(view(packet))) decoded = r->name;
      }
      ASSERT_TRUE(decoded);
      EXPECT_EQ(*decoded, c.sent) << "size " << c.name.size() << (tx ? " (sender)" : "");
    }
  }
}

TEST(WireSession, PingAndByeIds) {
  EXPECT_FALSE(decode_session_id(Bytes{}));
  EXPECT_FALSE(decode_session_id(view(vec({5, 1, 2, 3}))));
  EXPECT_EQ(decode_session_id(view(vec({5, 1, 2, 3, 4}))), 0x04030201u);
  EXPECT_EQ(decode_session_id(view(vec({7, 1, 2, 3, 4, 9, 9}))), 0x04030201u) << "extra bytes are ignored";
  EXPECT_FALSE(decode_session_id(view(vec({6, 1, 2, 3, 4})))) << "a PONG is neither";
}

TEST(WireAudioTx, FramesAndPayload) {
  struct Case {
    const char* what;
    std::uint8_t channels;
    std::size_t payload;
    std::size_t frames;
  };
  const Case cases[] = {
      {"k=2, 9 bytes: two frames, last byte ignored", 2, 9, 2},
      {"k=2, 8 bytes", 2, 8, 2},
      {"k=2, 3 bytes", 2, 3, 0},
      {"k=1, 10 bytes", 1, 10, 5},
      {"k=3, 13 bytes", 3, 13, 2},
      {"no payload", 2, 0, 0},
      {"k=0 carries no frames", 0, 20, 0},
      {"k=255, whole datagram", 255, kMaxDatagram - 10, (kMaxDatagram - 10) / 510},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ByteVec packet = {19, 0xAA, 0xBB, 0xCC, 0xDD, 1, 0, 0, 0, c.channels};
    for (std::size_t i = 0; i < c.payload; ++i) packet.push_back(static_cast<std::uint8_t>(i));
    auto a = decode_audio_tx(view(packet));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->session, 0xDDCCBBAAu);
    EXPECT_EQ(a->sequence, 1u);
    EXPECT_EQ(a->channels, c.channels);
    EXPECT_EQ(a->payload.size(), c.payload);
    EXPECT_EQ(a->payload.data(), packet.data() + 10);
    EXPECT_EQ(audio_tx_frames(*a), c.frames);
  }
  for (std::size_t n = 0; n < 10; ++n) {
    ByteVec packet = {19, 1, 0, 0, 0, 1, 0, 0, 0, 2};
    packet.resize(n);
    EXPECT_FALSE(decode_audio_tx(view(packet))) << n << " bytes";
  }
  EXPECT_FALSE(decode_audio_tx(view(vec({4, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0}))));
}

// ---- names

TEST(WireNames, LenientUtf8ReplacesEachMaximalInvalidSubpart) {
  const std::string R = "\xEF\xBF\xBD";
  struct Case {
    const char* what;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"ascii", "relay-1", "relay-1"},
      {"empty", "", ""},
      {"two, three and four bytes", "caf\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x8E\xA7", "caf\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x8E\xA7"},
      {"edges of the ranges", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"0xFF", "a\xFF" "b", "a" + R + "b"},
      {"lone continuation", "\x80", R},
      {"two continuations", "\x80\xBF", R + R},
      {"overlong two-byte", "\xC0\xAF", R + R},
      {"overlong three-byte", "\xE0\x80\xAF", R + R + R},
      {"surrogate", "\xED\xA0\x80", R + R + R},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
      {"lead F5", "\xF5\x80", R + R},
      {"cut three-byte, then ascii", "\xE2\x82" "A", R + "A"},
      {"cut four-byte at the end", "x\xF0\x9F\x98", "x" + R},
      {"lead then lead", "\xC3\xC3\xA9", R + "\xC3\xA9"},
      {"mixed", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
  };
  for (const auto& c : cases) EXPECT_EQ(lenient_utf8(view(c.in)), c.out) << c.what;
}

// ---- hostile input

struct DecodeChecks {
  // Every decoder on one datagram held in memory of exactly its size, so a read past
  // the end trips AddressSanitizer; the results must stay inside the datagram.
  static void run(const std::uint8_t* data, std::size_t size) {
    const Bytes d(data, size);
    auto inside = [&](Bytes part) {
      return part.empty() || (part.data() >= data && part.data() + part.size() <= data + size);
    };
    WireError error{};
    if (auto r = decode_register(d, &error)) {
      ASSERT_TRUE(files::is_valid_utf8(r->name));
      ASSERT_LE(r->name.size(), 3 * 255u);
    }
    if (auto r = decode_register_tx(d, &error)) {
      ASSERT_TRUE(files::is_valid_utf8(r->name));
    }
    (void)decode_session_id(d);
    if (auto a = decode_audio_tx(d)) {
      ASSERT_TRUE(inside(a->payload));
      ASSERT_LE(audio_tx_frames(*a) * 2 * a->channels, a->payload.size());
      for (std::size_t i = 0; i < a->payload.size() / 2; i += 97) (void)sample_at(a->payload, i);
    }
    (void)decode_accept(d);
    (void)decode_accept_tx(d);
    (void)decode_reject_reason(d);
    (void)decode_pong(d);
    if (auto a = decode_audio(d)) {
      ASSERT_TRUE(inside(a->samples));
      ASSERT_EQ(a->samples.size() % 4, 0u);
      if (!a->samples.empty()) (void)sample_at(a->samples, a->samples.size() / 2 - 1);
    }
    if (auto m = decode_multicast_audio(d)) {
      ASSERT_TRUE(inside(m->samples));
      ASSERT_GE(m->bus_code, 1);
      ASSERT_LE(m->bus_code, 3);
    }
    ASSERT_TRUE(files::is_valid_utf8(lenient_utf8(d.first(std::min<std::size_t>(size, 255)))));
  }
};

TEST(WireDecoderFuzz, RandomAndMutatedDatagramsAreHandledSafely) {
  const auto started = std::chrono::steady_clock::now();
  std::mt19937_64 rng(0x5eed1e55);
  auto pick = [&](std::size_t lo, std::size_t hi) { return std::uniform_int_distribution<std::size_t>(lo, hi)(rng); };
  constexpr std::uint8_t kTags[] = {1, 2, 3, 4, 5, 6, 7, 8, 16, 17, 18, 19};

  auto check = [&](const ByteVec& bytes) {
    // Exactly sized, so nothing after the datagram is readable.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    DecodeChecks::run(bytes.empty() ? nullptr : exact.get(), bytes.size());
  };

  // Random datagrams, mostly short (where the size checks matter) with a tail of
  // long ones; usually with a real tag, so the decoders get past byte 0.
  ByteVec bytes;
  for (int i = 0; i < 200000; ++i) {
    const std::size_t n = pick(0, 9) == 0 ? pick(0, kMaxDatagram) : pick(0, 40);
    bytes.resize(n);
    for (std::size_t at = 0; at < n; at += 8) {
      const std::uint64_t word = rng();
      std::memcpy(bytes.data() + at, &word, std::min<std::size_t>(8, n - at));
    }
    if (n > 0 && pick(0, 3) != 0) bytes[0] = kTags[pick(0, std::size(kTags) - 1)];
    check(bytes);
    if (HasFatalFailure()) FAIL() << "random datagram " << i;
  }

  // Valid packets of every kind, then cut, extended, or with bytes changed.
  const float block[16] = {0.1f, -0.2f, 0.3f, -0.4f, 0.5f, -0.6f, 0.7f, -0.8f,
                           0.9f, -1.0f, 1.0f, 0.0f,  0.5f, 0.5f,  -0.5f, -0.5f};
  std::vector<ByteVec> seeds = {
      vec(encode_register(2, "relay \xC3\xA9")),
      vec(encode_register_tx(1, 2, "sender")),
      vec(encode_accept(2, 5, 48000, 4)),
      vec(encode_accept_tx(2, 0x80000000, 48000, 2, 4, 3)),
      vec(encode_reject(2)),
      vec(encode_reject_tx(5)),
      vec(encode_ping(9)),
      vec(encode_pong(9)),
      vec(encode_bye(9)),
      vec(encode_audio_tx(9, 1, 2, block, 8)),
  };
  ByteVec audio(audio_packet_size(8));
  write_audio_header(audio.data(), 9, 1);
  encode_frames(block, 8, audio.data() + kAudioHeader);
  seeds.push_back(audio);
  ByteVec multicast(multicast_packet_size(8));
  write_multicast_header(multicast.data(), 2, 1);
  encode_frames(block, 8, multicast.data() + kMulticastHeader);
  seeds.push_back(multicast);

  for (int i = 0; i < 100000; ++i) {
    bytes = seeds[pick(0, seeds.size() - 1)];
    switch (pick(0, 2)) {
      case 0:
        bytes.resize(pick(0, bytes.size()));
        break;
      case 1:
        bytes.resize(bytes.size() + pick(1, 8), static_cast<std::uint8_t>(rng()));
        break;
      default:
        break;
    }
    for (std::size_t flips = pick(0, 3); flips > 0 && !bytes.empty(); --flips) {
      bytes[pick(0, bytes.size() - 1)] = static_cast<std::uint8_t>(rng());
    }
    check(bytes);
    if (HasFatalFailure()) FAIL() << "mutation " << i;
  }

  const auto took = std::chrono::steady_clock::now() - started;
  RecordProperty("milliseconds", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
}  // namespace vantle::broadcast::wire

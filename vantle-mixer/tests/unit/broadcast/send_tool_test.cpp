// The vantle-send tool against a scripted mixer: a test socket answers the
// registration, receives the AUDIO_TX stream and the BYE, and compares what arrived
// with the signal asked for and with the tool's own JSON report.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "broadcast/wire.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "util/json.hpp"
#include "util/udp.hpp"

namespace vantle::broadcast {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ByteVec = std::vector<std::uint8_t>;

struct Datagram {
  ByteVec bytes;
  net::Endpoint from;
  Clock::time_point at;
};

struct AudioPacket {
  std::uint32_t session = 0;
  std::uint32_t sequence = 0;
  std::uint8_t channels = 0;
  std::size_t size = 0;  // the whole datagram
  std::vector<std::int16_t> samples;
  Clock::time_point at;
};

// What the mixer saw after the registration: the audio, and the BYE if one came.
struct Stream {
  std::vector<AudioPacket> audio;
  std::optional<std::uint32_t> bye;
  Clock::time_point bye_at;
  std::size_t other = 0;

  std::vector<std::uint32_t> sequences() const {
    std::vector<std::uint32_t> s;
    for (const auto& p : audio) s.push_back(p.sequence);
    return s;
  }
};

// The mixer's side of the conversation, on a free loopback port.
class FakeMixer {
 public:
  FakeMixer() : socket_(net::UdpSocket::create()) {
    socket_.bind(net::Endpoint::loopback(0));
    socket_.set_receive_timeout(20);
    socket_.request_buffers(4 << 20, 64 << 10);
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(socket_.local_endpoint().port()); }

  std::optional<Datagram> receive(std::chrono::milliseconds within) {
    const auto until = Clock::now() + within;
    do {
      Datagram d;
      d.bytes.resize(65536);
      std::size_t length = 0;
      int error = 0;
      if (socket_.receive(d.bytes, length, d.from, error) == net::UdpSocket::Received::kDatagram) {
        d.at = Clock::now();
        d.bytes.resize(length);
        return d;
      }
    } while (Clock::now() < until);
    return std::nullopt;
  }

  void send(std::span<const std::uint8_t> bytes, const net::Endpoint& to) { ASSERT_EQ(socket_.send_to(bytes, to), 0); }

  // The REGISTER_TX, decoded, with the address to answer.
  std::optional<std::pair<wire::RegisterTx, net::Endpoint>> registration(std::chrono::milliseconds within = 5s) {
    auto d = receive(within);
    if (!d) return std::nullopt;
    auto reg = wire::decode_register_tx(wire::Bytes(d->bytes));
    if (!reg || d->bytes[0] != static_cast<std::uint8_t>(wire::Tag::kRegisterTx)) return std::nullopt;
    return std::pair{*reg, d->from};
  }

  // Everything until the BYE (or until nothing has come for `quiet`). A packet
  // handler may stop the sender part-way.
  template <class OnAudio>
  Stream collect(std::chrono::milliseconds quiet, OnAudio&& on_audio) {
    Stream s;
    while (auto d = receive(quiet)) {
      if (auto a = wire::decode_audio_tx(wire::Bytes(d->bytes));
          a && d->bytes[0] == static_cast<std::uint8_t>(wire::Tag::kAudioTx)) {
        AudioPacket p{a->session, a->sequence, a->channels, d->bytes.size(), {}, d->at};
        const std::size_t count = a->channels == 0 ? 0 : a->payload.size() / 2;
        for (std::size_t i = 0; i < count; ++i) p.samples.push_back(wire::sample_at(a->payload, i));
        s.audio.push_back(std::move(p));
        on_audio(s);
      } else if (!d->bytes.empty() && d->bytes[0] == static_cast<std::uint8_t>(wire::Tag::kBye)) {
        s.bye = wire::decode_session_id(wire::Bytes(d->bytes));
        s.bye_at = d->at;
        break;
      } else {
        ++s.other;
      }
    }
    return s;
  }
  Stream collect(std::chrono::milliseconds quiet = 3s) {
    return collect(quiet, [](const Stream&) {});
  }

 private:
  net::UdpSocket socket_;
};

template <std::size_t N>
ByteVec bytes_of(const std::array<std::uint8_t, N>& packet) {
  return ByteVec(packet.begin(), packet.end());
}

test::ProcessOptions sender(std::vector<std::string> args) {
  args.insert(args.begin(), VANTLE_SEND_BIN);
  return test::ProcessOptions{std::move(args), {}, {}};
}

json::Json report_of(const test::Process& tool) {
  const auto lines = test::lines_of(tool.out());
  EXPECT_EQ(lines.size(), 1u) << tool.out();
  return json::Json::parse(lines.empty() ? std::string("{}") : lines.front());
}

template <class T>
T member(const json::Json& report, const char* name) {
  return report.at(name).get<T>();
}

// The figures a receiver can work out from what arrived, for comparison with the
// sender's own report.
struct Observed {
  std::uint64_t distinct = 0, repeated = 0, late = 0;
};

Observed observe(const std::vector<std::uint32_t>& arrivals) {
  Observed o;
  std::set<std::uint32_t> seen;
  std::optional<std::uint32_t> highest;
  for (auto s : arrivals) {
    if (!seen.insert(s).second) {
      ++o.repeated;
      continue;
    }
    if (highest && s < *highest) ++o.late;
    highest = std::max(highest.value_or(s), s);
  }
  o.distinct = seen.size();
  return o;
}

void expect_report_matches(const json::Json& r, const Stream& s) {
  const auto o = observe(s.sequences());
  const auto sequences = member<std::uint64_t>(r, "sequences");
  EXPECT_EQ(member<std::uint64_t>(r, "packets_sent"), s.audio.size());
  EXPECT_EQ(member<std::uint64_t>(r, "dropped"), sequences - o.distinct);
  EXPECT_EQ(member<std::uint64_t>(r, "duplicated"), o.repeated);
  EXPECT_EQ(member<std::uint64_t>(r, "reordered"), o.late);
  for (auto seq : s.sequences()) EXPECT_LT(seq, sequences);
}

// --- WAV files written by the tests ------------------------------------------------

void put_u16(ByteVec& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put_u32(ByteVec& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_tag(ByteVec& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

struct WavLayout {
  std::uint16_t channels = 1;
  std::uint32_t rate = 8000;
  std::vector<std::int16_t> samples;
  std::uint16_t format = 1;
  std::uint16_t bits = 16;
  bool extensible = false;
  bool odd_chunk_first = false;  // an odd-sized chunk (with its pad byte) before "fmt "
  bool data_first = false;
  const char* riff = "RIFF";
  std::optional<std::size_t> cut_to;  // the file ends after this many bytes
};

WavLayout wav(std::uint16_t channels, std::vector<std::int16_t> samples, std::uint32_t rate = 8000) {
  WavLayout w;
  w.channels = channels;
  w.samples = std::move(samples);
  w.rate = rate;
  return w;
}

template <class Change>
WavLayout changed(WavLayout w, Change change) {
  change(w);
  return w;
}

ByteVec wav_bytes(const WavLayout& w) {
  ByteVec fmt;
  put_u16(fmt, w.extensible ? 0xFFFE : w.format);
  put_u16(fmt, w.channels);
  put_u32(fmt, w.rate);
  put_u32(fmt, w.rate * w.channels * (w.bits / 8));
  put_u16(fmt, static_cast<std::uint16_t>(w.channels * (w.bits / 8)));
  put_u16(fmt, w.bits);
  if (w.extensible) {
    put_u16(fmt, 22);
    put_u16(fmt, w.bits);
    put_u32(fmt, 0);  // channel mask
    put_u16(fmt, w.format);
    const std::uint8_t guid_rest[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    fmt.insert(fmt.end(), std::begin(guid_rest), std::end(guid_rest));
  }
  ByteVec data;
  for (auto s : w.samples) put_u16(data, static_cast<std::uint16_t>(s));

  ByteVec chunks;
  auto chunk = [&](const char* tag, const ByteVec& body) {
    put_tag(chunks, tag);
    put_u32(chunks, static_cast<std::uint32_t>(body.size()));
    chunks.insert(chunks.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) chunks.push_back(0);
  };
  if (w.odd_chunk_first) chunk("LIST", ByteVec{'I', 'N', 'F', 'O', 'x'});
  if (w.data_first) chunk("data", data);
  chunk("fmt ", fmt);
  if (!w.data_first) chunk("data", data);

  ByteVec file;
  put_tag(file, w.riff);
  put_u32(file, static_cast<std::uint32_t>(4 + chunks.size()));
  put_tag(file, "WAVE");
  file.insert(file.end(), chunks.begin(), chunks.end());
  if (w.cut_to) file.resize(*w.cut_to);
  return file;
}

std::filesystem::path write_file(const std::filesystem::path& path, const ByteVec& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// Samples over the whole 16-bit range, both extremes included, different on every
// channel and frame.
std::vector<std::int16_t> test_samples(std::size_t count) {
  std::vector<std::int16_t> s(count);
  std::uint32_t x = 12345;
  for (std::size_t i = 0; i < count; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<std::int16_t>(x >> 16);
  }
  if (count > 1) {
    s[0] = -32768;
    s[1] = 32767;
  }
  return s;
}

// --- the tests -----------------------------------------------------------------------

TEST(SendTool, StreamsAToneUntilStoppedAndLeaves) {
  constexpr double kHz = 1000, kLevel = 0.25, kRate = 48000;
  constexpr unsigned kChannels = 3, kFrames = 64;
  constexpr std::uint32_t kSession = 0x80000005;
  FakeMixer mixer;
  test::Process tool(sender({"--mixer", mixer.address(), "--name", "studio b", "--channels", "3", "--tone", "1000",
                             "--level", "0.25", "--frames", "64", "--json"}));
  auto reg = mixer.registration();
  ASSERT_TRUE(reg) << tool.err();
  EXPECT_EQ(reg->first.version, 2);
  EXPECT_EQ(reg->first.channels, kChannels);
  EXPECT_EQ(reg->first.name, "studio b");
  mixer.send(wire::encode_accept_tx(2, kSession, 48000, kChannels, 256, 7), reg->second);

  bool stopped = false;
  auto stream = mixer.collect(3s, [&](const Stream& s) {
    if (!stopped && s.audio.size() >= 20) {
      tool.signal(SIGINT);
      stopped = true;
    }
  });
  ASSERT_TRUE(stopped) << tool.err();
  ASSERT_EQ(tool.wait(5s), 0) << tool.err();
  ASSERT_EQ(stream.bye, kSession) << "BYE for the session after SIGINT";
  EXPECT_EQ(stream.other, 0u);

  std::uint64_t frame = 0;
  double peak = 0;
  for (std::size_t i = 0; i < stream.audio.size(); ++i) {
    const auto& p = stream.audio[i];
    SCOPED_TRACE("packet " + std::to_string(i));
    EXPECT_EQ(p.session, kSession);
    EXPECT_EQ(p.sequence, i);
    EXPECT_EQ(p.channels, kChannels);
    EXPECT_EQ(p.size, 10 + 2 * kChannels * kFrames);
    ASSERT_EQ(p.samples.size(), kChannels * kFrames);
    for (unsigned f = 0; f < kFrames; ++f, ++frame) {
      const double expected = kLevel * std::sin(2 * std::numbers::pi * kHz * static_cast<double>(frame) / kRate);
      for (unsigned c = 0; c < kChannels; ++c) {
        const double got = wire::decode_sample(p.samples[f * kChannels + c]);
        ASSERT_NEAR(got, expected, 2.0 / 32768) << "frame " << frame << " channel " << c;
        peak = std::max(peak, std::fabs(got));
      }
    }
  }
  EXPECT_NEAR(peak, kLevel, 0.01);

  const auto r = report_of(tool);
  EXPECT_EQ(r["name"], "studio b");
  EXPECT_EQ(r["session"], kSession);
  EXPECT_EQ(r["session_hex"], "0x80000005");
  EXPECT_EQ(r["sample_rate"], 48000);
  EXPECT_EQ(r["mixer_frames"], 256);
  EXPECT_EQ(r["start_slot"], 7);
  EXPECT_EQ(r["channels"], kChannels);
  EXPECT_EQ(r["frames_per_packet"], kFrames);
  EXPECT_EQ(r["signal"], "tone");
  EXPECT_EQ(r["ended_by"], "signal");
  EXPECT_EQ(r["sequences"], stream.audio.size());
  EXPECT_EQ(r["frames"], frame);
  expect_report_matches(r, stream);
}

TEST(SendTool, PacesPacketsOnAnAbsoluteSchedule) {
  struct Case {
    const char* rate_scale;
    const char* seconds;
    double period_s;  // expected time between packets
  };
  // 480 frames at 48000 Hz: 100 packets a second in real time.
  const Case cases[] = {{"1", "1", 0.01}, {"4", "0.25", 0.0025}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("rate scale ") + c.rate_scale);
    const double seconds = std::stod(c.seconds);
    FakeMixer mixer;
    test::Process tool(sender({"--mixer", mixer.address(), "--name", "s", "--channels", "1", "--tone", "440",
                               "--frames", "480", "--seconds", c.seconds, "--rate-scale", c.rate_scale, "--json"}));
    auto reg = mixer.registration();
    ASSERT_TRUE(reg) << tool.err();
    const auto accepted = Clock::now();
    mixer.send(wire::encode_accept_tx(2, 0x80000000, 48000, 1, 256, 0), reg->second);
    auto stream = mixer.collect();
    ASSERT_EQ(tool.wait(5s), 0) << tool.err();
    ASSERT_TRUE(stream.bye);
    ASSERT_FALSE(stream.audio.empty());

    const auto count = stream.audio.size();
    EXPECT_NEAR(static_cast<double>(count), seconds / c.period_s, 1.0);
    auto since_accept = [&](Clock::time_point t) { return std::chrono::duration<double>(t - accepted).count(); };
    // Neither a burst nor a stream falling behind: every packet near its own time.
    for (std::size_t i = 0; i < count; i += 10) {
      EXPECT_NEAR(since_accept(stream.audio[i].at), static_cast<double>(i) * c.period_s, 0.1 * seconds + 0.02)
          << "packet " << i;
    }
    EXPECT_GE(since_accept(stream.bye_at), seconds) << "BYE once the time is up";
    EXPECT_LT(since_accept(stream.bye_at), seconds + 0.3);

    const auto r = report_of(tool);
    EXPECT_EQ(r["ended_by"], "seconds");
    EXPECT_NEAR(member<double>(r, "duration_s"), seconds, 0.1);
    EXPECT_NEAR(member<double>(r, "audio_s"), seconds * std::stod(c.rate_scale), 0.02);
    EXPECT_EQ(r["packets_sent"], count);
  }
}

TEST(SendTool, MistreatsPacketsExactlyAsReported) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    // The arrival order for `n` sequence numbers, where it is fixed.
    std::vector<std::uint32_t> (*order)(std::uint32_t n);
  };
  const Case cases[] = {
      {"all dropped", {"--drop", "1"}, [](std::uint32_t) { return std::vector<std::uint32_t>{}; }},
      {"all duplicated",
       {"--duplicate", "1"},
       [](std::uint32_t n) {
         std::vector<std::uint32_t> v;
         for (std::uint32_t s = 0; s < n; ++s) v.insert(v.end(), {s, s});
         return v;
       }},
      {"all reordered",
       {"--reorder", "1"},
       [](std::uint32_t n) {
         // Pairs swap; an odd last one has nothing to overtake it.
         std::vector<std::uint32_t> v;
         for (std::uint32_t s = 0; s + 1 < n; s += 2) v.insert(v.end(), {s + 1, s});
         if (n % 2 == 1) v.push_back(n - 1);
         return v;
       }},
      {"a mixture", {"--drop", "0.2", "--duplicate", "0.2", "--reorder", "0.2"}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeMixer mixer;
    std::vector<std::string> args = {"--mixer",   mixer.address(), "--name",   "s",  "--channels",   "2",
                                     "--tone",    "100",           "--frames", "40", "--rate-scale", "5",
                                     "--seconds", "0.1",           "--seed",   "11", "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    test::Process tool(sender(args));
    auto reg = mixer.registration();
    ASSERT_TRUE(reg) << tool.err();
    mixer.send(wire::encode_accept_tx(2, 0x80000001, 8000, 2, 256, 0), reg->second);
    auto stream = mixer.collect();
    ASSERT_EQ(tool.wait(5s), 0) << tool.err();
    EXPECT_EQ(stream.bye, 0x80000001u);

    const auto r = report_of(tool);
    const auto sequences = member<std::uint32_t>(r, "sequences");
    EXPECT_GE(sequences, 90u);
    EXPECT_EQ(r["seed"], 11);
    expect_report_matches(r, stream);
    if (c.order) {
      EXPECT_EQ(stream.sequences(), c.order(sequences));
    } else {
      for (const char* kind : {"dropped", "duplicated", "reordered"}) {
        EXPECT_GT(member<std::uint64_t>(r, kind), 0u) << kind << " at 20% of about 100 packets";
      }
    }
  }
}

TEST(SendTool, SeedMakesTheMistreatmentRepeatable) {
  auto run = [](std::vector<std::string> options) {
    FakeMixer mixer;
    std::vector<std::string> args = {"--mixer",   mixer.address(), "--name",   "s",  "--channels",   "1",
                                     "--tone",    "100",           "--frames", "40", "--rate-scale", "5",
                                     "--seconds", "0.1",           "--json"};
    args.insert(args.end(), options.begin(), options.end());
    test::Process tool(sender(args));
    auto reg = mixer.registration();
    EXPECT_TRUE(reg) << tool.err();
    if (!reg) return Stream{};
    mixer.send(wire::encode_accept_tx(2, 0x80000002, 8000, 1, 256, 0), reg->second);
    auto stream = mixer.collect();
    EXPECT_EQ(tool.wait(5s), 0) << tool.err();
    return stream;
  };
  auto missing = [](const Stream& s) {
    const auto arrived = s.sequences();
    const std::set<std::uint32_t> seen(arrived.begin(), arrived.end());
    std::vector<std::uint32_t> m;
    for (std::uint32_t i = 0; i < 90; ++i) {
      if (seen.count(i) == 0) m.push_back(i);
    }
    return m;
  };
  const std::vector<std::string> mixture = {"--drop", "0.3", "--duplicate", "0.3", "--reorder", "0.3"};
  auto with_seed = [&](const char* seed, std::vector<std::string> options) {
    options.insert(options.end(), {"--seed", seed});
    return run(options);
  };

  const auto first = with_seed("42", mixture);
  const auto again = with_seed("42", mixture);
  const auto other = with_seed("43", mixture);
  const auto drops_only = with_seed("42", {"--drop", "0.3"});
  ASSERT_FALSE(first.audio.empty());
  EXPECT_EQ(first.sequences(), again.sequences());
  EXPECT_NE(first.sequences(), other.sequences());
  EXPECT_EQ(missing(first), missing(drops_only)) << "the same packets dropped with or without the other mistreatments";
}

TEST(SendTool, RegistrationFailuresExitWithOne) {
  struct Case {
    const char* what;
    std::optional<ByteVec> answer;  // nullopt: no answer
    std::vector<std::string> options;
    const char* message;
    bool bye;  // an accepted session that cannot be used is handed back
  };
  const Case cases[] = {
      {"unsupported version", ByteVec{18, 2}, {"--version", "9"}, "unsupported protocol version", false},
      {"not on the allow-list", ByteVec{18, 4}, {}, "allow-list", false},
      {"channel count differs", ByteVec{18, 5}, {}, "channel count differs", false},
      {"a reason without a meaning", ByteVec{18, 77}, {}, "77", false},
      {"a relay's REJECT is no answer", ByteVec{3, 2}, {"--register-timeout", "0.3"}, "no ACCEPT_TX", false},
      {"silence", std::nullopt, {"--register-timeout", "0.3"}, "no ACCEPT_TX", false},
      {"no sample rate", bytes_of(wire::encode_accept_tx(2, 0x80000009, 0, 2, 256, 0)), {}, "0 Hz", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeMixer mixer;
    std::vector<std::string> args = {"--mixer", mixer.address(), "--name", "s",     "--channels",
                                     "2",       "--tone",        "440",    "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    test::Process tool(sender(args));
    auto reg = mixer.registration();
    ASSERT_TRUE(reg) << tool.err();
    if (c.answer) mixer.send(*c.answer, reg->second);
    ASSERT_EQ(tool.wait(10s), 1) << tool.err();
    EXPECT_NE(tool.err().find(c.message), std::string::npos) << tool.err();
    EXPECT_EQ(tool.out(), "") << "no report without a stream";
    const auto after = mixer.collect(50ms);
    EXPECT_TRUE(after.audio.empty());
    EXPECT_EQ(after.bye.has_value(), c.bye);
  }
}

TEST(SendTool, SendsWavFilesSampleForSample) {
  struct Case {
    const char* what;
    WavLayout file;
    unsigned channels;  // sent
    std::vector<std::string> options;
    std::size_t frames;  // expected in total (more than the file's when it loops)
  };
  const Case cases[] = {
      {"mono onto two channels", wav(1, test_samples(250)), 2, {}, 250},
      {"three channels cut to two, extensible format after an odd chunk",
       changed(wav(3, test_samples(750)),
               [](WavLayout& w) {
                 w.extensible = true;
                 w.odd_chunk_first = true;
               }),
       2,
       {},
       250},
      {"stereo repeated onto five channels", wav(2, test_samples(500)), 5, {}, 250},
      {"looped to fill the time",
       wav(2, test_samples(500)),
       2,
       // 0.05 s at twice real time: 0.1 s of audio, 800 frames
       {"--seconds", "0.05", "--rate-scale", "2"},
       800},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const auto path = write_file(dir.path() / "in.wav", wav_bytes(c.file));
    FakeMixer mixer;
    std::vector<std::string> args = {
        "--mixer", mixer.address(), "--name",   "w",   "--channels", std::to_string(c.channels),
        "--wav",   path.string(),   "--frames", "100", "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    test::Process tool(sender(args));
    auto reg = mixer.registration();
    ASSERT_TRUE(reg) << tool.err();
    mixer.send(wire::encode_accept_tx(2, 0x80000003, 8000, static_cast<std::uint8_t>(c.channels), 256, 2), reg->second);
    auto stream = mixer.collect();
    ASSERT_EQ(tool.wait(5s), 0) << tool.err();
    EXPECT_TRUE(stream.bye);

    const std::size_t file_frames = c.file.samples.size() / c.file.channels;
    std::vector<std::int16_t> expected;
    for (std::size_t f = 0; f < c.frames; ++f) {
      for (unsigned ch = 0; ch < c.channels; ++ch) {
        expected.push_back(c.file.samples[(f % file_frames) * c.file.channels + ch % c.file.channels]);
      }
    }
    std::vector<std::int16_t> got;
    for (std::size_t i = 0; i < stream.audio.size(); ++i) {
      const auto& p = stream.audio[i];
      EXPECT_EQ(p.sequence, i);
      EXPECT_EQ(p.channels, c.channels);
      EXPECT_LE(p.samples.size(), 100u * c.channels);
      got.insert(got.end(), p.samples.begin(), p.samples.end());
    }
    EXPECT_EQ(got, expected);

    const auto r = report_of(tool);
    EXPECT_EQ(r["signal"], "wav");
    EXPECT_EQ(r["wav"], path.string());
    EXPECT_EQ(r["frames"], c.frames);
    EXPECT_EQ(r["ended_by"], c.options.empty() ? "end_of_file" : "seconds");
  }
}

TEST(SendTool, WavFileAtAnotherRateThanTheMixersIsRefused) {
  test::TempDir dir;
  const auto path = write_file(dir.path() / "cd.wav", wav_bytes(wav(2, test_samples(200), 44100)));
  FakeMixer mixer;
  test::Process tool(sender({"--mixer", mixer.address(), "--name", "w", "--channels", "2", "--wav", path.string()}));
  auto reg = mixer.registration();
  ASSERT_TRUE(reg) << tool.err();
  mixer.send(wire::encode_accept_tx(2, 0x80000004, 48000, 2, 256, 0), reg->second);
  ASSERT_EQ(tool.wait(5s), 1) << tool.err();
  EXPECT_NE(tool.err().find("44100 Hz"), std::string::npos) << tool.err();
  EXPECT_NE(tool.err().find("48000 Hz"), std::string::npos) << tool.err();
  const auto after = mixer.collect(100ms);
  EXPECT_TRUE(after.audio.empty());
  EXPECT_EQ(after.bye, 0x80000004u) << "the session is handed back";
}

TEST(SendTool, UnusableWavFilesFailBeforeRegistering) {
  const auto good = test_samples(20);
  struct Case {
    const char* what;
    std::optional<WavLayout> file;  // nullopt: no file at all
    const char* message;
  };
  const Case cases[] = {
      {"missing", std::nullopt, "No such file"},
      {"8-bit samples", changed(wav(1, good), [](WavLayout& w) { w.bits = 8; }), "8-bit"},
      {"float samples",
       changed(wav(1, good),
               [](WavLayout& w) {
                 w.format = 3;
                 w.bits = 32;
               }),
       "not PCM"},
      {"extensible float",
       changed(wav(1, good),
               [](WavLayout& w) {
                 w.format = 3;
                 w.extensible = true;
               }),
       "not PCM"},
      {"no channels", wav(0, good), "no channels"},
      {"no audio", wav(1, {}), "no audio"},
      {"half a frame of audio", wav(2, {7}), "no audio"},
      {"big-endian RIFX", changed(wav(1, good), [](WavLayout& w) { w.riff = "RIFX"; }), "RIFF"},
      {"data before the format", changed(wav(1, good), [](WavLayout& w) { w.data_first = true; }), "before"},
      {"cut inside the header", changed(wav(1, good), [](WavLayout& w) { w.cut_to = 20; }), "fmt "},
      {"cut before any chunk", changed(wav(1, good), [](WavLayout& w) { w.cut_to = 6; }), "RIFF header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const auto path = dir.path() / "bad.wav";
    if (c.file) write_file(path, wav_bytes(*c.file));
    FakeMixer mixer;
    auto result = test::Process::run(
        sender({"--mixer", mixer.address(), "--name", "w", "--channels", "1", "--wav", path.string()}), 10s);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find(path.string()), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_FALSE(mixer.receive(20ms)) << "no registration for a file that cannot be sent";
  }
}

TEST(SendTool, DefaultPacketsFitTheMixersDatagrams) {
  for (const char* channels : {"2", "16", "255"}) {
    SCOPED_TRACE(std::string(channels) + " channels");
    const unsigned n = static_cast<unsigned>(std::stoul(channels));
    FakeMixer mixer;
    test::Process tool(sender({"--mixer", mixer.address(), "--name", "s", "--channels", channels, "--tone", "440",
                               "--seconds", "0.01", "--json"}));
    auto reg = mixer.registration();
    ASSERT_TRUE(reg) << tool.err();
    mixer.send(wire::encode_accept_tx(2, 0x80000006, 48000, static_cast<std::uint8_t>(n), 256, 0), reg->second);
    auto stream = mixer.collect();
    ASSERT_EQ(tool.wait(5s), 0) << tool.err();
    ASSERT_FALSE(stream.audio.empty());
    const auto r = report_of(tool);
    const auto k = member<std::size_t>(r, "frames_per_packet");
    EXPECT_LE(k, 128u);
    for (const auto& p : stream.audio) {
      EXPECT_LE(p.size, wire::kMaxDatagram);
      EXPECT_EQ(p.samples.size(), k * n);
    }
    EXPECT_TRUE(k == 128 || 10 + 2 * n * (k + 1) > wire::kMaxDatagram) << "as many frames as fit, up to 128";
  }
}

TEST(SendTool, CommandLineErrorsExitWithTwo) {
  const std::vector<std::string> base = {"--mixer", "127.0.0.1:5005", "--name", "s", "--channels", "2"};
  auto with = [&](std::vector<std::string> more) {
    auto args = base;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--name", "s", "--channels", "2", "--tone", "440"},
      {"--mixer", "127.0.0.1:5005", "--channels", "2", "--tone", "440"},
      {"--mixer", "127.0.0.1:5005", "--name", "s", "--tone", "440"},
      with({}),
      with({"--tone", "440", "--wav", "x.wav"}),
      with({"--wav", ""}),
      with({"--wav", "x.wav", "--level", "0.5"}),
      with({"--tone", "0"}),
      with({"--tone", "440", "--level", "1.5"}),
      with({"--tone", "440", "--drop", "1.5"}),
      with({"--tone", "440", "--duplicate", "-0.1"}),
      with({"--tone", "440", "--reorder", "2"}),
      with({"--tone", "440", "--rate-scale", "0"}),
      with({"--tone", "440", "--seconds", "0"}),
      with({"--tone", "440", "--frames", "0"}),
      with({"--tone", "440", "--frames", "1100"}),  // 2 channels: 4410 bytes, over 4096
      with({"--tone", "440", "--version", "256"}),
      with({"--tone", "440", "--seed", "-1"}),
      with({"--tone", "440", "--seed", "18446744073709551616"}),
      with({"--tone", "440", "--frobnicate"}),
      {"--mixer", "127.0.0.1", "--name", "s", "--channels", "2", "--tone", "440"},
      {"--mixer", "127.0.0.1:0", "--name", "s", "--channels", "2", "--tone", "440"},
      {"--mixer", "127.0.0.1:5005", "--name", "s", "--channels", "256", "--tone", "440"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    auto result = test::Process::run(sender(args), 10s);
    EXPECT_EQ(result.status, 2) << shown << "\n" << result.err;
    EXPECT_FALSE(result.err.empty()) << shown;
    EXPECT_EQ(result.out, "") << shown;
  }
  auto help = test::Process::run(sender({"--help"}), 10s);
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--mixer", "--channels", "--wav", "--tone", "--drop", "--duplicate", "--reorder", "--seed",
                             "--rate-scale", "--json", "Exit status"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace vantle::broadcast

// The vantle-relay tool against a scripted peer: a test socket plays the mixer (or
// the multicast sender) and the tool's JSON report and WAV recording are checked.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/wire.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "util/json.hpp"
#include "util/udp.hpp"

namespace vantle::broadcast {
namespace {

using namespace std::chrono_literals;
using ByteVec = std::vector<std::uint8_t>;

struct Datagram {
  ByteVec bytes;
  net::Endpoint from;
};

// A loopback socket on a free port, with blocking receives that give up after a while.
class Peer {
 public:
  Peer() : socket_(net::UdpSocket::create()) {
    socket_.bind(net::Endpoint::loopback(0));
    socket_.set_receive_timeout(100);
  }

  std::uint16_t port() const { return socket_.local_endpoint().port(); }

  std::optional<Datagram> receive(std::chrono::milliseconds within) {
    const auto until = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < until) {
      Datagram d;
      d.bytes.resize(65536);
      std::size_t length = 0;
      int error = 0;
      if (socket_.receive(d.bytes, length, d.from, error) == net::UdpSocket::Received::kDatagram) {
        d.bytes.resize(length);
        return d;
      }
    }
    return std::nullopt;
  }

  // The next datagram whose first byte is `tag`, skipping others.
  std::optional<Datagram> receive_tagged(wire::Tag tag, std::chrono::milliseconds within) {
    const auto until = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < until) {
      auto d = receive(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
      if (d && !d->bytes.empty() && d->bytes[0] == static_cast<std::uint8_t>(tag)) return d;
    }
    return std::nullopt;
  }

  void send(std::span<const std::uint8_t> bytes, const net::Endpoint& to) {
    ASSERT_EQ(socket_.send_to(bytes, to), 0);
  }
  void send(const ByteVec& bytes, const net::Endpoint& to) { send(std::span<const std::uint8_t>(bytes), to); }

 private:
  net::UdpSocket socket_;
};

ByteVec audio(std::uint32_t session, std::uint32_t sequence, const std::vector<std::int16_t>& samples) {
  ByteVec p(wire::kAudioHeader + 2 * samples.size());
  wire::write_audio_header(p.data(), session, sequence);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    p[wire::kAudioHeader + 2 * i] = static_cast<std::uint8_t>(samples[i]);
    p[wire::kAudioHeader + 2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(samples[i]) >> 8);
  }
  return p;
}

ByteVec multicast(std::uint8_t bus, std::uint32_t sequence, const std::vector<std::int16_t>& samples) {
  ByteVec p(wire::kMulticastHeader + 2 * samples.size());
  wire::write_multicast_header(p.data(), bus, sequence);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    p[wire::kMulticastHeader + 2 * i] = static_cast<std::uint8_t>(samples[i]);
    p[wire::kMulticastHeader + 2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(samples[i]) >> 8);
  }
  return p;
}

template <std::size_t N>
ByteVec bytes_of(const std::array<std::uint8_t, N>& packet) {
  return ByteVec(packet.begin(), packet.end());
}

ByteVec payload_of(const ByteVec& packet, std::size_t header) { return ByteVec(packet.begin() + header, packet.end()); }

ByteVec read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteVec(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t u32_at(const ByteVec& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t u16_at(const ByteVec& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }

// A 16-bit stereo PCM file at `rate` holding exactly `data`.
void expect_wav(const std::filesystem::path& path, std::uint32_t rate, const ByteVec& data) {
  const ByteVec file = read_file(path);
  ASSERT_EQ(file.size(), 44 + data.size());
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
  EXPECT_EQ(u32_at(file, 4), 36 + data.size());
  EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(u32_at(file, 16), 16u);
  EXPECT_EQ(u16_at(file, 20), 1) << "PCM";
  EXPECT_EQ(u16_at(file, 22), 2) << "channels";
  EXPECT_EQ(u32_at(file, 24), rate);
  EXPECT_EQ(u32_at(file, 28), rate * 4) << "byte rate";
  EXPECT_EQ(u16_at(file, 32), 4) << "block align";
  EXPECT_EQ(u16_at(file, 34), 16) << "bits";
  EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
  EXPECT_EQ(u32_at(file, 40), data.size());
  EXPECT_EQ(ByteVec(file.begin() + 44, file.end()), data);
}

test::ProcessOptions relay(std::vector<std::string> args) {
  args.insert(args.begin(), VANTLE_RELAY_BIN);
  return test::ProcessOptions{std::move(args), {}, {}};
}

json::Json report_of(const test::Process& tool) {
  const auto lines = test::lines_of(tool.out());
  EXPECT_EQ(lines.size(), 1u) << tool.out();
  return json::Json::parse(lines.empty() ? std::string("{}") : lines.front());
}

// Whether a UDP socket of this host is bound to `port` (the tool gives no sign of
// it in JSON mode, and a datagram sent before it binds would be lost).
bool udp_port_bound(std::uint16_t port) {
  std::ifstream table("/proc/net/udp");
  char needle[8];
  std::snprintf(needle, sizeof needle, ":%04X", port);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if (local.size() > 5 && local.substr(local.size() - 5) == needle) return true;
  }
  return false;
}

TEST(RelayTool, ReportsAndRecordsWhatTheMixerSends) {
  test::TempDir dir;
  const auto wav = dir.path() / "heard.wav";
  Peer mixer;
  test::Process tool(relay({"--mixer", "127.0.0.1:" + std::to_string(mixer.port()), "--name", "booth \xC3\xA9",
                            "--json", "--wav", wav.string()}));

  auto reg = mixer.receive_tagged(wire::Tag::kRegister, 5s);
  ASSERT_TRUE(reg) << tool.err();
  auto decoded = wire::decode_register(wire::Bytes(reg->bytes));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->version, 2);
  EXPECT_EQ(decoded->name, "booth \xC3\xA9");
  const net::Endpoint peer = reg->from;

  const std::uint32_t session = 0x00C0FFEE;
  mixer.send(wire::encode_accept(2, session, 44100, 2), peer);
  // Two frames per block. Steps of 2 and 8 (other buses in between), one late
  // block, one repeated, and datagrams a relay must pass over.
  const std::vector<ByteVec> heard = {
      audio(session, 10, {100, -200, 300, -400}),
      audio(session, 12, {16384, 0, 0, 0}),
      audio(session, 11, {1, 2, 3, 4}),
      audio(session, 12, {5, 6, 7, 8}),
      audio(session, 20, {-16384, 0, 0, 7}),
  };
  const std::vector<ByteVec> passed_over = {
      audio(session + 1, 21, {32767, 32767, 32767, 32767}),        // another relay's block
      audio(session, 22, {32767, 32767, 32767, 32767, 1, 1}),      // not the announced size
      {},                                                          // empty datagram
      {0xFF, 1, 2},                                                // unknown tag
      {4, 0xEE, 0xFF},                                             // AUDIO cut short
      bytes_of(wire::encode_accept(2, session, 8000, 512)),       // a second ACCEPT
  };
  for (std::size_t i = 0; i < std::max(heard.size(), passed_over.size()); ++i) {
    if (i < heard.size()) mixer.send(heard[i], peer);
    if (i < passed_over.size()) mixer.send(passed_over[i], peer);
  }

  auto ping = mixer.receive_tagged(wire::Tag::kPing, 3s);
  ASSERT_TRUE(ping) << "no PING within 3 s";
  EXPECT_EQ(wire::decode_session_id(wire::Bytes(ping->bytes)), session);
  mixer.send(wire::encode_pong(session), peer);
  mixer.send(wire::encode_pong(session + 1), peer);  // not ours

  tool.signal(SIGINT);
  ASSERT_EQ(tool.wait(5s), 0) << tool.err();
  auto bye = mixer.receive_tagged(wire::Tag::kBye, 2s);
  ASSERT_TRUE(bye) << "no BYE after SIGINT";
  EXPECT_EQ(wire::decode_session_id(wire::Bytes(bye->bytes)), session);

  auto r = report_of(tool);
  EXPECT_EQ(r["mode"], "unicast");
  EXPECT_EQ(r["name"], "booth \xC3\xA9");
  EXPECT_EQ(r["session"], session);
  EXPECT_EQ(r["session_hex"], "0x00c0ffee");
  EXPECT_EQ(r["version"], 2);
  EXPECT_EQ(r["sample_rate"], 44100);
  EXPECT_EQ(r["frames_per_packet"], 2);
  EXPECT_EQ(r["packets"], heard.size());
  EXPECT_EQ(r["bytes"], heard.size() * wire::audio_packet_size(2));
  EXPECT_EQ(r["frames"], 2 * heard.size());
  EXPECT_EQ(r["first_sequence"], 10);
  EXPECT_EQ(r["last_sequence"], 20);
  EXPECT_EQ(r["sequence_steps_over_one"], 2);
  EXPECT_EQ(r["largest_sequence_step"], 8);
  EXPECT_EQ(r["out_of_order"], 1);
  EXPECT_EQ(r["duplicates"], 1);
  EXPECT_TRUE(r["lost"].is_null()) << "steps of the shared counter are no losses";
  EXPECT_EQ(r["peak"], 0.5);
  EXPECT_NEAR(r["peak_dbfs"].get<double>(), -6.0206, 1e-3);
  EXPECT_GE(r["pings"].get<int>(), 1);
  EXPECT_EQ(r["pongs"], 1);
  EXPECT_EQ(r["ignored"], passed_over.size() + 1);  // and the foreign PONG
  ASSERT_TRUE(r["since_last_packet_s"].is_number());
  EXPECT_GE(r["since_last_packet_s"].get<double>(), 0.0);
  EXPECT_GT(r["duration_s"].get<double>(), 0.9) << "it listened until after the first PING";
  EXPECT_EQ(r["wav"], wav.string());
  EXPECT_EQ(r["wav_frames"], 2 * heard.size());

  ByteVec data;
  for (const auto& p : heard) {
    const ByteVec samples = payload_of(p, wire::kAudioHeader);
    data.insert(data.end(), samples.begin(), samples.end());
  }
  expect_wav(wav, 44100, data);
}

TEST(RelayTool, RegistrationFailuresExitWithOne) {
  struct Case {
    const char* what;
    std::optional<ByteVec> answer;  // nullopt: no answer
    const char* version;
    const char* timeout;  // long where the answer ends the wait, short where it cannot
    const char* message;
  };
  const Case cases[] = {
      {"REJECT for the version", ByteVec{3, 2}, "3", "10", "unsupported protocol version 3"},
      {"REJECT for another reason", ByteVec{3, 9}, "2", "10", "reason 9"},
      {"a sender's REJECT_TX is not an answer", ByteVec{18, 2}, "2", "0.3", "no ACCEPT"},
      {"silence", std::nullopt, "2", "0.3", "no ACCEPT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const auto wav = dir.path() / "never.wav";
    Peer mixer;
    test::Process tool(relay({"--mixer", "127.0.0.1:" + std::to_string(mixer.port()), "--name", "r", "--version",
                              c.version, "--register-timeout", c.timeout, "--wav", wav.string(), "--json"}));
    auto reg = mixer.receive_tagged(wire::Tag::kRegister, 5s);
    ASSERT_TRUE(reg);
    if (c.answer) mixer.send(*c.answer, reg->from);
    ASSERT_EQ(tool.wait(15s), 1);
    EXPECT_NE(tool.err().find(c.message), std::string::npos) << tool.err();
    EXPECT_EQ(tool.out(), "") << "no report without a session";
    EXPECT_FALSE(std::filesystem::exists(wav)) << "no recording without a session";
    EXPECT_FALSE(mixer.receive_tagged(wire::Tag::kBye, 50ms)) << "nothing to leave";
  }
}

TEST(RelayTool, CommandLineErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--name", "r"},
      {"--mixer", "127.0.0.1:5005"},
      {"--mixer", "127.0.0.1", "--name", "r"},
      {"--mixer", "127.0.0.1:0", "--name", "r"},
      {"--mixer", "127.0.0.1:70000", "--name", "r"},
      {"--mixer", "127.0.0.1:5005", "--name", "r", "--version", "256"},
      {"--mixer", "127.0.0.1:5005", "--name", "r", "--seconds", "0"},
      {"--mixer", "127.0.0.1:5005", "--name", "r", "--bus", "main"},
      {"--mixer", "127.0.0.1:5005", "--multicast", "239.1.2.3:5006", "--name", "r", "--bus", "main"},
      {"--multicast", "239.1.2.3:5006"},
      {"--multicast", "239.1.2.3:5006", "--bus", "aux"},
      {"--multicast", "group.example:5006", "--bus", "main"},
      {"--multicast", "239.1.2.3:5006", "--bus", "main", "--name", "r"},
      {"--mixer", "127.0.0.1:5005", "--name", "r", "--frobnicate"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    auto result = test::Process::run(relay(args), 10s);
    EXPECT_EQ(result.status, 2) << shown << "\n" << result.err;
    EXPECT_FALSE(result.err.empty()) << shown;
  }
  auto help = test::Process::run(relay({"--help"}), 10s);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--multicast"), std::string::npos);
}

TEST(RelayTool, MulticastFollowsOneBusAndCountsItsLosses) {
  test::TempDir dir;
  const auto wav = dir.path() / "monitor.wav";
  Peer sender;
  // A free port for the tool: taken from the system, then let go.
  std::uint16_t port = 0;
  {
    Peer probe;
    port = probe.port();
  }
  test::Process tool(relay({"--multicast", "127.0.0.1:" + std::to_string(port), "--bus", "monitor", "--rate", "32000",
                            "--json", "--wav", wav.string()}));
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (!udp_port_bound(port) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(udp_port_bound(port)) << tool.err();

  const auto to = net::Endpoint::loopback(port);
  // Across the wrap of the monitor bus's own counter: 0 never arrives, 1 arrives
  // late, and 1 once more.
  const std::vector<ByteVec> heard = {
      multicast(2, 0xFFFFFFFE, {10, 20, 30, 40}),
      multicast(2, 0xFFFFFFFF, {-8192, 0, 0, 0}),
      multicast(2, 2, {1, 1, 1, 1}),
      multicast(2, 1, {2, 2, 2, 2}),
      multicast(2, 1, {3, 3, 3, 3}),
  };
  const std::vector<ByteVec> passed_over = {
      multicast(1, 0, {32767, 32767, 32767, 32767}),  // main
      multicast(3, 5, {32767, 32767, 32767, 32767}),  // cue
      multicast(2, 3, {32767, 32767, 32767}),         // half a frame
      multicast(4, 3, {32767, 32767, 32767, 32767}),  // no such bus
      audio(1, 3, {32767, 32767, 32767, 32767}),      // unicast AUDIO
  };
  for (std::size_t i = 0; i < heard.size(); ++i) {
    sender.send(heard[i], to);
    sender.send(passed_over[i], to);
  }
  std::this_thread::sleep_for(50ms);
  tool.signal(SIGTERM);
  ASSERT_EQ(tool.wait(5s), 0) << tool.err();

  auto r = report_of(tool);
  EXPECT_EQ(r["mode"], "multicast");
  EXPECT_EQ(r["bus"], "monitor");
  EXPECT_TRUE(r["session"].is_null());
  EXPECT_EQ(r["sample_rate"], 32000);
  EXPECT_EQ(r["frames_per_packet"], 2);
  EXPECT_EQ(r["packets"], heard.size());
  EXPECT_EQ(r["bytes"], heard.size() * wire::multicast_packet_size(2));
  EXPECT_EQ(r["first_sequence"], 0xFFFFFFFEu);
  EXPECT_EQ(r["last_sequence"], 2);
  EXPECT_EQ(r["lost"], 1);
  EXPECT_EQ(r["sequence_steps_over_one"], 1);
  EXPECT_EQ(r["largest_sequence_step"], 3);
  EXPECT_EQ(r["out_of_order"], 1);
  EXPECT_EQ(r["duplicates"], 1);
  EXPECT_EQ(r["peak"], 0.25);
  EXPECT_EQ(r["ignored"], passed_over.size());

  ByteVec data;
  for (const auto& p : heard) {
    const ByteVec samples = payload_of(p, wire::kMulticastHeader);
    data.insert(data.end(), samples.begin(), samples.end());
  }
  expect_wav(wav, 32000, data);
}

}  // namespace
}  // namespace vantle::broadcast

// The buses reaching listeners over the network: vantle-relay registered by name and
// following a multicast group hears exactly the 16-bit samples of what a JACK client
// plays into the mixer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "e2e/mixer_fixture.hpp"
#include "support/jack_probe.hpp"
#include "util/json.hpp"
#include "util/udp.hpp"

namespace vantle::test {
namespace {

using namespace std::chrono_literals;

std::uint16_t free_udp_port() {
  auto socket = net::UdpSocket::create();
  socket.bind(net::Endpoint::loopback(0));
  return socket.local_endpoint().port();
}

// The 16-bit frames of a WAV file written by vantle-relay.
std::vector<std::pair<std::int16_t, std::int16_t>> wav_frames(const std::filesystem::path& path) {
  const std::string bytes = read_file(path);
  std::vector<std::pair<std::int16_t, std::int16_t>> frames;
  const auto data = bytes.find("data");
  if (data == std::string::npos) return frames;
  for (std::size_t at = data + 8; at + 4 <= bytes.size(); at += 4) {
    std::int16_t l, r;
    std::memcpy(&l, bytes.data() + at, 2);
    std::memcpy(&r, bytes.data() + at + 2, 2);
    frames.emplace_back(l, r);
  }
  return frames;
}

class RelayOnJack : public ::testing::Test {
 protected:
  // Starts the mixer with `members` added to a configuration of one stereo channel,
  // and plays left 0.25, right -0.5 into it.
  void start(const std::string& members) {
    port_ = free_udp_port();
    write_file(home_.path() / "mixer-state" / "runtime-config.json",
               "{" + private_state_paths(home_.path()) + R"(, "jack_name": "desk", "broadcast_frames": 128,
                 "channels": [{"id": "tone", "monitor_gain": 0.5}])" +
                   members + "}");
    auto options = mixer_options(home_.path(), {"--broadcast-port", std::to_string(port_)});
    use_jack(options, &jack_);
    mixer_ = std::make_unique<Process>(std::move(options));
    probe_ = std::make_unique<JackProbe>(jack_, std::vector<std::string>{"l", "r"}, std::vector<std::string>{});
    probe_->connect(probe_->source_name(0), "desk:tone_in_1");
    probe_->connect(probe_->source_name(1), "desk:tone_in_2");
    probe_->set_level(0, 0.25f);
    probe_->set_level(1, -0.5f);
    probe_->wait_cycles(4);
  }

  json::Json relay_report(std::vector<std::string> args) {
    ProcessOptions relay;
    relay.argv = {VANTLE_RELAY_BIN};
    relay.argv.insert(relay.argv.end(), args.begin(), args.end());
    auto result = Process::run(std::move(relay), 20s);
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(result.out);
  }

  void TearDown() override {
    if (mixer_) {
      mixer_->signal(SIGINT);
      EXPECT_EQ(mixer_->wait(5s), 0) << mixer_->err();
    }
  }

  TempDir home_;
  JackServer jack_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Process> mixer_;
  std::unique_ptr<JackProbe> probe_;
};

TEST_F(RelayOnJack, ARelayHearsTheSameSixteenBitSamples) {
  start("");
  const auto wav = home_.path() / "booth.wav";
  auto report = relay_report({"--mixer", "127.0.0.1:" + std::to_string(port_), "--name", "booth", "--seconds", "2",
                              "--json", "--wav", wav.string()});
  EXPECT_EQ(report["session"], 1);
  EXPECT_EQ(report["frames_per_packet"], 128);
  EXPECT_EQ(report["sample_rate"], 48000);
  // 375 blocks a second; allow for start and stop.
  EXPECT_GT(report["packets"].get<int>(), 600);
  EXPECT_EQ(report["sequence_steps_over_one"], 0);  // only main has a listener
  EXPECT_EQ(report["out_of_order"], 0);
  EXPECT_GE(report["pongs"].get<int>(), 1);
  EXPECT_DOUBLE_EQ(report["peak"].get<double>(), 16383.0 / 32768.0);

  auto frames = wav_frames(wav);
  ASSERT_GT(frames.size(), 1000u);
  for (std::size_t i = frames.size() - 1000; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i], (std::pair<std::int16_t, std::int16_t>{8191, -16383})) << i;
  }
  // A new name is assigned main and remembered.
  auto assignments = json::parse(read_file(home_.path() / "relay-assignments.json"));
  EXPECT_EQ(assignments["assignments"]["booth"], "main");
}

TEST_F(RelayOnJack, TheAssignmentOfANameChoosesItsBusAcrossRestarts) {
  write_file(home_.path() / "relay-assignments.json", R"({"assignments": {"booth": "monitor"}})");
  start("");
  ProcessOptions relay;
  relay.argv = {VANTLE_RELAY_BIN, "--mixer", "127.0.0.1:" + std::to_string(port_), "--name", "booth", "--seconds",
                "2", "--json"};
  Process listening(std::move(relay));
  // While it listens, the status file lists its session on monitor.
  json::Json session;
  for (int i = 0; i < 40 && session.is_null(); ++i) {
    std::this_thread::sleep_for(50ms);
    try {
      const auto doc = json::parse(read_file(home_.path() / "sidecars" / "sessions.json"));
      for (const auto& s : doc["sessions"]) {
        if (s["kind"] == "udp") session = s;
      }
    } catch (const std::exception&) {
    }
  }
  ASSERT_FALSE(session.is_null()) << read_file(home_.path() / "sidecars" / "sessions.json");
  EXPECT_EQ(session["name"], "booth");
  EXPECT_EQ(session["bus"], "monitor");
  ASSERT_EQ(listening.wait(20s), 0);
  auto report = json::parse(listening.out());
  // The monitor send is 0.5: left 0.125, right -0.25.
  EXPECT_DOUBLE_EQ(report["peak"].get<double>(), 8191.0 / 32768.0);
}

TEST_F(RelayOnJack, MulticastCarriesEveryBusWithItsOwnSequence) {
  const auto group = free_udp_port();
  start(R"(, "multicast": {"enabled": true, "group_addr": "127.0.0.1", "group_port": )" + std::to_string(group) +
        "}");
  auto report = relay_report(
      {"--multicast", "127.0.0.1:" + std::to_string(group), "--bus", "monitor", "--seconds", "2", "--json"});
  EXPECT_GT(report["packets"].get<int>(), 600);
  EXPECT_EQ(report["lost"], 0);
  EXPECT_EQ(report["out_of_order"], 0);
  EXPECT_DOUBLE_EQ(report["peak"].get<double>(), 8191.0 / 32768.0);
}

}  // namespace
}  // namespace vantle::test

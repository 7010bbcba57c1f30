// Remote senders end to end: vantle-send streams into an ingest channel, the main
// bus carries it, and vantle-relay hears the same samples within 16-bit rounding; a
// sender faster than the JACK clock shows up as drops in diag.json.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "e2e/mixer_fixture.hpp"
#include "util/json.hpp"
#include "util/udp.hpp"

namespace vantle::test {
namespace {

using namespace std::chrono_literals;

std::uint16_t free_port() {
  auto socket = net::UdpSocket::create();
  socket.bind(net::Endpoint::loopback(0));
  return socket.local_endpoint().port();
}

// A 16-bit stereo WAV of `frames` frames, every frame (left, right).
void write_constant_wav(const std::filesystem::path& path, std::int16_t left, std::int16_t right, std::uint32_t frames) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + frames * 4);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(48000);
  u32(48000 * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(frames * 4);
  for (std::uint32_t i = 0; i < frames; ++i) {
    u16(static_cast<std::uint16_t>(left));
    u16(static_cast<std::uint16_t>(right));
  }
}

std::vector<std::pair<std::int16_t, std::int16_t>> wav_frames(const std::filesystem::path& path) {
  const std::string bytes = read_file(path);
  std::vector<std::pair<std::int16_t, std::int16_t>> frames;
  const auto data = bytes.find("data");
  for (std::size_t at = data + 8; data != std::string::npos && at + 4 <= bytes.size(); at += 4) {
    std::int16_t l, r;
    std::memcpy(&l, bytes.data() + at, 2);
    std::memcpy(&r, bytes.data() + at + 2, 2);
    frames.emplace_back(l, r);
  }
  return frames;
}

class IngestOnJack : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = free_port();
    write_file(home_.path() / "mixer-state" / "runtime-config.json",
               "{" + private_state_paths(home_.path()) + R"(, "jack_name": "desk", "broadcast_frames": 128,
                 "channels": [{"id": "remote", "label": "Remote studio", "ingest_slot": 0}],
                 "ingest": {"slot_count": 2, "sender": [{"name": "studio", "channels": 2, "start_slot": 0}]}})");
    auto options = mixer_options(home_.path(), {"--broadcast-port", std::to_string(port_)});
    use_jack(options, &jack_);
    mixer_ = std::make_unique<Process>(std::move(options));
    ASSERT_TRUE(mixer_->wait_for_err("ingest enabled: 2 slot(s), 1 allow-list entry(s)", 10s)) << mixer_->err();
    ASSERT_TRUE(mixer_->wait_for_err("broadcast relay listening", 10s));
    std::this_thread::sleep_for(300ms);  // the client activates after the broadcast thread starts
  }

  void TearDown() override {
    mixer_->signal(SIGINT);
    EXPECT_EQ(mixer_->wait(5s), 0) << mixer_->err();
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  TempDir home_;
  JackServer jack_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Process> mixer_;
};

TEST_F(IngestOnJack, ASenderReachesRelaysThroughItsChannel) {
  const auto source = home_.path() / "source.wav";
  write_constant_wav(source, 8192, -4096, 48000 * 7);
  ProcessOptions send;
  send.argv = {VANTLE_SEND_BIN, "--mixer", address(), "--name", "studio", "--channels", "2", "--wav", source.string(),
               "--seconds", "6", "--json"};
  Process sender(std::move(send));
  std::this_thread::sleep_for(500ms);

  const auto heard = home_.path() / "heard.wav";
  ProcessOptions relay;
  relay.argv = {VANTLE_RELAY_BIN, "--mixer", address(), "--name", "booth", "--seconds", "2", "--json",
                "--wav", heard.string()};
  auto report = Process::run(std::move(relay), 20s);
  ASSERT_EQ(report.status, 0) << report.err;

  // 8192 / 32768 = 0.25 into the mix, 0.25 x 32767 truncated on the way out. A sender
  // paced by the wall clock can fall a packet behind the JACK clock on a loaded machine;
  // the slot then plays silence, so a frame is either the sender's sample or silence.
  auto frames = wav_frames(heard);
  ASSERT_GT(frames.size(), 20000u);
  const std::pair<std::int16_t, std::int16_t> expected{8191, -4095}, silence{0, 0};
  std::size_t exact = 0;
  for (std::size_t i = frames.size() / 2; i < frames.size(); ++i) {
    if (frames[i] == expected) {
      ++exact;
    } else {
      ASSERT_EQ(frames[i], silence) << "frame " << i << ": " << frames[i].first << ", " << frames[i].second;
    }
  }
  EXPECT_GT(exact, (frames.size() - frames.size() / 2) * 3 / 4);

  // Meanwhile the status files show the sender on its channel.
  auto sessions = json::parse(read_file(home_.path() / "sidecars" / "sessions.json"));
  bool listed = false;
  for (const auto& s : sessions["sessions"]) {
    if (s["kind"] == "broadcaster") {
      listed = true;
      EXPECT_EQ(s["name"], "studio");
      EXPECT_EQ(s["bus"], "remote");
      EXPECT_EQ(s["label"], "Remote studio");
    }
  }
  EXPECT_TRUE(listed) << sessions.dump();
  ASSERT_EQ(sender.wait(20s), 0) << sender.err();
  // (Whether the slot ever ran over depends on how closely the dummy server keeps time
  // on a loaded machine; the load tool measures that.)
  auto diag = json::parse(read_file(home_.path() / "sidecars" / "diag.json"));
  EXPECT_EQ(diag["ingest"].size(), 2u);
}

TEST_F(IngestOnJack, ASenderFasterThanTheClockOverflowsItsSlot) {
  ProcessOptions send;
  send.argv = {VANTLE_SEND_BIN, "--mixer",  address(), "--name",       "studio", "--channels", "2",
               "--tone",        "440",      "--seconds", "2",          "--rate-scale", "1.5", "--json"};
  auto result = Process::run(std::move(send), 20s);
  ASSERT_EQ(result.status, 0) << result.err;
  std::this_thread::sleep_for(400ms);
  auto diag = json::parse(read_file(home_.path() / "sidecars" / "diag.json"));
  EXPECT_GT(diag["ingest"][0]["drops"].get<std::uint64_t>(), 0u) << diag.dump();
  EXPECT_GT(diag["ingest"][1]["drops"].get<std::uint64_t>(), 0u);
}

}  // namespace
}  // namespace vantle::test

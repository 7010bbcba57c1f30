// The MIDI surface of the real binary on a real JACK server: key presses over UDP
// move the mixer's faders, reach a DAW stand-in (`oscdump`) as OSC and show in the
// state file; a reload leaves exactly one surface on the same port; a port that is
// taken leaves the mixer running without one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "e2e/control_client.hpp"
#include "e2e/mixer_fixture.hpp"
#include "util/json.hpp"

namespace vantle::test {
namespace {

using namespace std::chrono_literals;
using json::Json;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::uint8_t> note_on(std::uint8_t note, std::uint8_t velocity = 100) { return {0x90, note, velocity}; }

// Notes of the keys below.
constexpr std::uint8_t kSelectKey = 60, kTransportKey = 62, kIdleKey = 65;  // C4, D4, F4
constexpr std::uint8_t kMicKey = 72, kTapeKey = 74;                         // C5, D5
constexpr std::uint8_t kFaderUp = 84, kMuteToggle = 88;                     // C6, E6
constexpr std::uint8_t kPlay = 96;                                          // C7

class MidiOnJack : public ::testing::Test {
 protected:
  void SetUp() override {
    control_port_ = free_udp_port();
    broadcast_port_ = free_udp_port();
    midi_port_ = free_udp_port();
    ardour_port_ = free_udp_port();
    feedback_port_ = free_udp_port();
  }

  void TearDown() override {
    if (!mixer_) return;
    mixer_->signal(SIGINT);
    EXPECT_EQ(mixer_->wait(10s), 0) << mixer_->err();
  }

  std::filesystem::path state_file(const char* name = "midi-state.json") const { return home_.path() / name; }

  Json config(const char* state_name = "midi-state.json") const {
    Json c = json::parse("{" + private_state_paths(home_.path()) + "}");
    c["jack_name"] = "desk";
    c["control_port"] = control_port_;
    c["broadcast_port"] = broadcast_port_;
    c["channels"] = Json::array({Json{{"id", "mic"}, {"kind", "mono"}, {"main_gain", 1.0}},
                                 Json{{"id", "tape"}, {"kind", "mono"}, {"main_gain", 0.5}}});
    c["midi"] = Json{{"listen_port", midi_port_},
                     {"ardour_osc", "127.0.0.1:" + std::to_string(ardour_port_)},
                     {"fader_step", 0.25},
                     {"midi_state_file", state_file(state_name).string()},
                     {"osc_feedback_port", feedback_port_},
                     {"mode_keys", {{"C4", "channel_select"}, {"D4", "transport"}, {"F4", "idle"}}},
                     {"channel_keys", {{"C5", "mic"}, {"D5", "tape"}}},
                     {"channel_action_keys", {{"C6", "fader_up"}, {"E6", "mute_toggle"}}},
                     {"transport_keys", {{"C7", "play"}}}};
    return c;
  }

  void start(const Json& initial) {
    write_file(home_.path() / "mixer-state" / "runtime-config.json", initial.dump(2));
    auto options = mixer_options(home_.path());
    use_jack(options, &jack_);
    mixer_ = std::make_unique<Process>(std::move(options));
    // Thrown rather than asserted: a test must not go on without its mixer.
    if (!mixer_->wait_for_err("control plane listening", 20s)) throw std::runtime_error("no mixer: " + mixer_->err());
    client_ = std::make_unique<ControlClient>(control_port_);
    if (client_->request_until_answered({{"op", "get_config"}}).is_null()) {
      throw std::runtime_error("the mixer does not answer: " + mixer_->err());
    }
  }

  void press(std::uint8_t note) { send(note_on(note)); }
  void send(const std::vector<std::uint8_t>& bytes) {
    keyboard_.send_to(bytes, net::Endpoint::loopback(midi_port_));
  }

  Json state_of(const std::filesystem::path& path) {
    try {
      return json::parse(read_file(path));
    } catch (const std::exception&) {
      return nullptr;
    }
  }

  template <class Predicate>
  bool eventually(Predicate&& predicate, std::chrono::milliseconds limit = 5s) {
    for (auto waited = 0ms; waited < limit; waited += 50ms) {
      if (predicate()) return true;
      std::this_thread::sleep_for(50ms);
    }
    return predicate();
  }

  // How many threads of the mixer carry each name.
  std::map<std::string, int> threads() const {
    std::map<std::string, int> count;
    const auto task = std::filesystem::path("/proc") / std::to_string(mixer_->pid()) / "task";
    for (const auto& entry : std::filesystem::directory_iterator(task)) {
      auto name = read_file(entry.path() / "comm");
      ++count[name.substr(0, name.find('\n'))];
    }
    return count;
  }

  TempDir home_;
  JackServer jack_;
  std::uint16_t control_port_ = 0, broadcast_port_ = 0, midi_port_ = 0, ardour_port_ = 0, feedback_port_ = 0;
  std::unique_ptr<Process> mixer_;
  std::unique_ptr<ControlClient> client_;
  net::UdpSocket keyboard_ = net::UdpSocket::create();
};

TEST_F(MidiOnJack, KeysMoveFadersTellArdourAndShowInTheStateFile) {
  Process ardour(ProcessOptions{{"oscdump", "-L", std::to_string(ardour_port_)}, {}, ""});
  start(config());
  ASSERT_TRUE(mixer_->wait_for_err("midi listener on udp://0.0.0.0:" + std::to_string(midi_port_), 5s))
      << mixer_->err();
  EXPECT_TRUE(eventually([&] {
    return state_of(state_file()) == Json::parse(R"({"channel":null,"last_key":null,"mode":"idle","recent_keys":[]})");
  }));

  // Anything else on the port first: the surface keeps working.
  send({});
  send({0x80, kSelectKey, 100});
  send({0x90, kSelectKey, 0});
  send(std::vector<std::uint8_t>(1500, 0x90));
  send({0xB0, 7, 127, 0x90, kSelectKey, 100});

  for (auto key : {kTransportKey, kSelectKey, kTapeKey, kFaderUp, kFaderUp, kMuteToggle}) press(key);
  EXPECT_TRUE(eventually([&] {
    Json tape = client_->request_until_answered({{"op", "get_state"}})["channels"][1];
    return tape["main"] == 1.0 && tape["main_muted"] == 1.0;
  })) << client_->request_until_answered({{"op", "get_state"}}).dump();
  EXPECT_EQ(client_->request_until_answered({{"op", "get_state"}})["channels"][0]["main"], 1.0);

  EXPECT_TRUE(eventually([&] {
    const Json s = state_of(state_file());
    return s.is_object() && s["mode"] == "channel_control" && s["channel"] == "tape" &&
           s["last_key"]["action"] == "mute_toggle";
  })) << read_file(state_file());
  const Json recent = state_of(state_file())["recent_keys"];
  ASSERT_EQ(recent.size(), 6u);
  EXPECT_EQ(recent[0]["action"], "mode:transport");
  EXPECT_EQ(recent[2]["action"], "select:tape");
  EXPECT_EQ(recent[2]["note"], "D5");

  press(kTransportKey);
  press(kPlay);
  EXPECT_TRUE(eventually([&] { return ardour.out().find("/transport_play") != std::string::npos; })) << ardour.out();
  const std::string osc = ardour.out();
  EXPECT_THAT(osc, HasSubstr("/strip/gain/2 f -2.49"));  // 0.75
  EXPECT_THAT(osc, HasSubstr("/strip/gain/2 f 0.000000\n"));
  EXPECT_THAT(osc, HasSubstr("/strip/mute/2 i 1\n"));
  EXPECT_TRUE(mixer_->wait_for_err("[midi] tape fader → 1.000 (0.0 dB → Ardour strip 2)", 5s)) << mixer_->err();
  EXPECT_TRUE(eventually([&] { return state_of(state_file())["mode"] == "transport"; }));
  EXPECT_EQ(state_of(state_file())["channel"], nullptr);
}

TEST_F(MidiOnJack, AReloadLeavesOneSurfaceOnTheSamePort) {
  start(config("first-state.json"));
  ASSERT_TRUE(mixer_->wait_for_err("midi listener on", 5s)) << mixer_->err();
  press(kSelectKey);
  ASSERT_TRUE(eventually([&] { return state_of(state_file("first-state.json"))["channel"] == "mic"; }));

  for (int i = 0; i < 3; ++i) {
    Json answer = client_->request({{"op", "reload_config"}, {"config", config("second-state.json")}}, 15s);
    ASSERT_EQ(answer["success"], true) << answer.dump() << mixer_->err();
  }
  std::this_thread::sleep_for(1s);  // the dropped Mixers' threads finish their last pass
  const auto names = threads();
  EXPECT_EQ(names.count("midi") ? names.at("midi") : 0, 1) << mixer_->err();
  EXPECT_EQ(names.count("midi-state-writ") ? names.at("midi-state-writ") : 0, 1);
  EXPECT_EQ(names.count("osc-feedback") ? names.at("osc-feedback") : 0, 1);
  EXPECT_THAT(mixer_->err(), Not(HasSubstr("midi thread failed to start")));
  EXPECT_THAT(mixer_->err(), Not(HasSubstr("osc feedback bind failed")));

  // The first file is left alone; the new surface starts at rest and serves the port.
  std::filesystem::remove(state_file("first-state.json"));
  EXPECT_EQ(state_of(state_file("second-state.json"))["mode"], "idle");
  press(kTransportKey);
  press(kIdleKey);
  press(kSelectKey);
  EXPECT_TRUE(eventually([&] {
    const Json s = state_of(state_file("second-state.json"));
    return s.is_object() && s["channel"] == "mic" && s["recent_keys"].size() == 3;
  })) << read_file(state_file("second-state.json"));
  EXPECT_FALSE(std::filesystem::exists(state_file("first-state.json")));
}

TEST_F(MidiOnJack, APortInUseLeavesTheMixerWithoutASurface) {
  auto taken = net::UdpSocket::create();
  taken.bind(net::Endpoint::any(midi_port_));
  start(config());
  const std::string warning = "midi thread failed to start: binding MIDI listener on 0.0.0.0:" +
                              std::to_string(midi_port_) + ": Address already in use (os error 98)";
  ASSERT_TRUE(mixer_->wait_for_err(warning, 5s)) << mixer_->err();

  client_->send(Json{{"op", "set_fader"}, {"channel", "mic"}, {"bus", "main"}, {"gain", 0.3}});
  EXPECT_TRUE(eventually([&] { return client_->request_until_answered({{"op", "get_state"}})["channels"][0]["main"] == 0.3; }));
  const auto names = threads();
  EXPECT_FALSE(names.contains("midi"));
  EXPECT_FALSE(names.contains("midi-state-writ"));
  EXPECT_FALSE(names.contains("osc-feedback"));
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

}  // namespace
}  // namespace vantle::test

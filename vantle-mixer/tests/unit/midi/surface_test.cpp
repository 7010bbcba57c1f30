#include "midi/surface.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "util/error.hpp"
#include "util/files.hpp"
#include "util/json.hpp"
#include "util/log.hpp"
#include "util/udp.hpp"

namespace vantle::midi {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::FloatNear;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The "[midi]" lines the surface logs while it lives, as "level message".
class LogCapture {
 public:
  LogCapture() {
    log::get("vantle_mixer::midi").set_level(spdlog::level::info);
    capture_.clear();
  }

  std::vector<std::string> take() {
    std::vector<std::string> midi;
    for (auto& line : capture_.take()) {
      if (line.find(" [midi]") == line.find(' ')) midi.push_back(std::move(line));
    }
    return midi;
  }

 private:
  test::LogCapture& capture_ = test::LogCapture::of("vantle_mixer::midi");
};

struct OscMessage {
  std::string address;
  std::vector<OscArgument> arguments;
};

std::vector<std::uint8_t> note_on(const char* name, std::uint8_t velocity = 100) {
  return {0x90, *parse_note_name(name), velocity};
}

// Keys of the test surface: mode keys on octave 4, channel ids on 5, channel actions
// on 6, transport on 7, navigation on 8.
config::MidiConfig test_config(float fader_step = 0.1f) {
  config::MidiConfig midi;
  midi.fader_step = fader_step;
  midi.mode_keys = {{"C4", "channel_select"}, {"D4", "transport"}, {"E4", "navigation"},
                    {"F4", "idle"},           {"G4", "bogus"}};
  midi.channel_keys = {{"C5", "mic"}, {"D5", "tape"}, {"E5", "ghost"}};
  midi.channel_action_keys = {{"C6", "fader_up"},     {"D6", "fader_down"},   {"E6", "mute_toggle"},
                              {"F6", "channel_next"}, {"G6", "channel_prev"}, {"A6", "wobble"}};
  midi.transport_keys = {{"C7", "play"}, {"D7", "goto_end"}, {"E7", "dance"}};
  midi.navigation_keys = {{"C8", "play"}, {"D8", "next_marker"}, {"E8", "add_marker"}};
  midi.mode_keys.emplace("H4", "idle");  // never compiles
  return midi;
}

engine::Scene scene_with(std::size_t channels) {
  engine::Scene scene;
  scene.channels.resize(channels, engine::ChannelFaders{.main = 1.0f});
  return scene;
}

class SurfaceTest : public ::testing::Test {
 protected:
  void make(std::vector<std::string> ids, float fader_step = 0.1f) {
    sent_.clear();
    live_ = std::make_shared<engine::LiveScene>(scene_with(ids.size()), 1, 48000);
    surface_ = std::make_unique<Surface>(test_config(fader_step), std::move(ids), live_,
                                         [this](const std::string& address, const std::vector<OscArgument>& args) {
                                           sent_.push_back({address, args});
                                         });
  }

  void press(const std::vector<const char*>& keys) {
    for (const char* key : keys) ASSERT_TRUE(surface_->handle_datagram(note_on(key), ++clock_ms_)) << key;
  }

  void set_channel(std::size_t position, engine::ChannelFaders faders) {
    engine::Scene scene = *live_->load();
    scene.channels.at(position) = faders;
    live_->install(std::move(scene));
  }
  engine::ChannelFaders channel(std::size_t position) { return live_->load()->channels.at(position); }

  LogCapture logs_;
  std::shared_ptr<engine::LiveScene> live_;
  std::unique_ptr<Surface> surface_;
  std::vector<OscMessage> sent_;
  std::uint64_t clock_ms_ = 0;
};

TEST_F(SurfaceTest, ModeTransitions) {
  using Kind = SurfaceMode::Kind;
  struct Case {
    std::vector<const char*> before;  // brings the surface to the starting mode
    const char* key;
    SurfaceMode next;
    std::optional<std::string> action;  // as the state records it
    std::vector<std::string> log;       // lines of the last key
  };
  const SurfaceMode idle = SurfaceMode::of(Kind::kIdle), select = SurfaceMode::of(Kind::kChannelSelect),
                    transport = SurfaceMode::of(Kind::kTransport), navigation = SurfaceMode::of(Kind::kNavigation);
  const auto mic = SurfaceMode::channel_control("mic"), tape = SurfaceMode::channel_control("tape");
  const Case cases[] = {
      // from Idle
      {{}, "C4", mic, "mode:channel_select", {"info [midi] → ChannelControl { mic } (first)"}},
      {{}, "D4", transport, "mode:transport", {"info [midi] → Transport"}},
      {{}, "E4", navigation, "mode:navigation", {"info [midi] → Navigation"}},
      {{}, "F4", idle, "mode:idle", {"info [midi] → Idle (reset)"}},
      {{}, "G4", idle, "mode:bogus", {"warning [midi] unknown mode bogus → Idle"}},
      {{}, "C6", idle, std::nullopt, {}},
      {{}, "B4", idle, std::nullopt, {}},
      // from Transport and Navigation
      {{"D4"}, "C4", select, "mode:channel_select", {"info [midi] Transport → mode key", "info [midi] → ChannelSelect"}},
      {{"E4"}, "D4", transport, "mode:transport", {"info [midi] Navigation → mode key", "info [midi] → Transport"}},
      {{"E4"}, "G4", idle, "mode:bogus", {"info [midi] Navigation → mode key", "warning [midi] unknown mode bogus → Idle"}},
      {{"D4"}, "C5", transport, std::nullopt, {}},
      // from ChannelSelect
      {{"D4", "C4"}, "D5", tape, "select:tape", {"info [midi] → ChannelControl { tape }"}},
      {{"D4", "C4"}, "E5", select, "select:ghost", {"warning [midi] unknown channel id ghost"}},
      {{"D4", "C4"}, "C4", select, "mode:channel_select",
       {"info [midi] ChannelSelect → mode key", "info [midi] → ChannelSelect"}},
      {{"D4", "C4"}, "C6", select, std::nullopt, {}},
      // from ChannelControl
      {{"D4", "C4", "D5"}, "C4", mic, "mode:channel_select",
       {"info [midi] ChannelControl(tape) → mode key", "info [midi] → ChannelControl { mic } (first)"}},
      {{"C4"}, "F4", idle, "mode:idle", {"info [midi] ChannelControl(mic) → mode key", "info [midi] → Idle (reset)"}},
      {{"C4"}, "F6", tape, "channel_next", {"info [midi] channel mic → tape"}},
      {{"C4", "F6"}, "F6", mic, "channel_next", {"info [midi] channel tape → mic"}},
      {{"C4"}, "G6", tape, "channel_prev", {"info [midi] channel mic → tape"}},
      {{"C4"}, "A6", mic, "wobble", {"warning [midi] unknown channel action wobble"}},
      {{"C4"}, "C7", mic, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    make({"mic", "tape"});
    press(c.before);
    logs_.take();
    press({c.key});
    const std::string label = std::string("after ") + std::to_string(c.before.size()) + " keys, " + c.key;
    EXPECT_EQ(surface_->mode(), c.next) << label << ": " << surface_->mode().name();
    EXPECT_EQ(logs_.take(), c.log) << label;
    const MidiState state = surface_->state()->snapshot();
    EXPECT_EQ(state.mode, c.next.name()) << label;
    EXPECT_EQ(state.channel, c.next.kind == Kind::kChannelControl ? std::optional(c.next.channel) : std::nullopt)
        << label;
    ASSERT_TRUE(state.last_key.has_value()) << label;
    EXPECT_EQ(state.last_key->action, c.action) << label;
    EXPECT_EQ(state.last_key->note, c.key) << label;
  }
}

TEST_F(SurfaceTest, WithoutChannelsTheChannelKeyStaysIdle) {
  make({});
  press({"C4", "F6", "C6"});
  EXPECT_EQ(surface_->mode(), SurfaceMode::of(SurfaceMode::Kind::kIdle));
  EXPECT_THAT(logs_.take(), IsEmpty());
}

TEST_F(SurfaceTest, FaderStepsAreClampedAndSentInDecibels) {
  struct Case {
    const char* key;
    float before, after, db;
    std::string log;
  };
  const Case cases[] = {
      {"C6", 1.95f, 2.0f, 6.0206f, "info [midi] tape fader → 2.000 (6.0 dB → Ardour strip 2)"},
      {"C6", 0.9f, 1.0f, 0.0f, "info [midi] tape fader → 1.000 (0.0 dB → Ardour strip 2)"},
      {"D6", 0.05f, 0.0f, -70.0f, "info [midi] tape fader → 0.000 (-70.0 dB → Ardour strip 2)"},
      {"D6", 0.6f, 0.5f, -6.0206f, "info [midi] tape fader → 0.500 (-6.0 dB → Ardour strip 2)"},
      {"C6", std::numeric_limits<float>::quiet_NaN(), 0.0f, -70.0f,
       "info [midi] tape fader → 0.000 (-70.0 dB → Ardour strip 2)"},
  };
  for (const auto& c : cases) {
    make({"mic", "tape"});
    press({"C4", "F6"});
    set_channel(1, engine::ChannelFaders{.main = c.before, .monitor = 0.3f, .main_muted = 1.0f});
    sent_.clear();
    logs_.take();
    press({c.key});
    const auto faders = channel(1);
    EXPECT_THAT(faders.main, FloatNear(c.after, 1e-6f)) << c.log;
    EXPECT_EQ(faders.monitor, 0.3f) << "the other values stay";
    EXPECT_EQ(faders.main_muted, 1.0f);
    EXPECT_EQ(channel(0).main, 1.0f) << "the other channel stays";
    ASSERT_EQ(sent_.size(), 1u) << c.log;
    EXPECT_EQ(sent_[0].address, "/strip/gain/2");
    ASSERT_EQ(sent_[0].arguments.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<float>(sent_[0].arguments[0]));
    EXPECT_THAT(std::get<float>(sent_[0].arguments[0]), FloatNear(c.db, 1e-3f));
    EXPECT_THAT(logs_.take(), ElementsAre(c.log));
  }
}

TEST_F(SurfaceTest, MuteToggleFlipsAtHalf) {
  struct Case {
    float before, after;
    std::int32_t sent;
    const char* log;
  };
  const Case cases[] = {{0.0f, 1.0f, 1, "info [midi] mic muted → true"},
                        {0.4f, 1.0f, 1, "info [midi] mic muted → true"},
                        {0.5f, 0.0f, 0, "info [midi] mic muted → false"},
                        {1.0f, 0.0f, 0, "info [midi] mic muted → false"}};
  for (const auto& c : cases) {
    make({"mic", "tape"});
    press({"C4"});
    set_channel(0, engine::ChannelFaders{.main = 0.7f, .main_muted = c.before, .cue_muted = 0.25f});
    sent_.clear();
    logs_.take();
    press({"E6"});
    EXPECT_EQ(channel(0).main_muted, c.after) << c.before;
    EXPECT_EQ(channel(0).main, 0.7f);
    EXPECT_EQ(channel(0).cue_muted, 0.25f);
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0].address, "/strip/mute/1");
    EXPECT_EQ(sent_[0].arguments, std::vector<OscArgument>{OscArgument(c.sent)});
    EXPECT_THAT(logs_.take(), ElementsAre(c.log));
  }
}

TEST_F(SurfaceTest, TransportAndNavigationSendTheirCommands) {
  struct Case {
    std::vector<const char*> keys;
    std::vector<std::string> addresses;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {{"D4", "C7"}, {"/transport_play"}, {"info [midi] transport → play"}},
      {{"D4", "D7"}, {"/goto_end"}, {"info [midi] transport → goto_end"}},
      {{"D4", "E7"}, {}, {"info [midi] transport → dance", "warning [midi] unknown transport action dance"}},
      {{"E4", "D8"}, {"/next_marker"}, {"info [midi] navigation → next_marker"}},
      {{"E4", "E8"}, {"/add_marker"}, {"info [midi] navigation → add_marker"}},
      // Play is a transport command only.
      {{"E4", "C8"}, {}, {"info [midi] navigation → play", "warning [midi] unknown nav action play"}},
  };
  for (const auto& c : cases) {
    make({"mic"});
    const auto scene_before = live_->load();
    press({c.keys.front()});
    logs_.take();
    press({c.keys.back()});
    std::vector<std::string> addresses;
    for (const auto& m : sent_) {
      addresses.push_back(m.address);
      EXPECT_THAT(m.arguments, IsEmpty());
    }
    EXPECT_EQ(addresses, c.addresses) << c.keys.back();
    EXPECT_EQ(logs_.take(), c.log);
    EXPECT_EQ(live_->load(), scene_before) << "the mixer is not touched";
    EXPECT_EQ(surface_->mode().kind, c.keys.front() == std::string("D4") ? SurfaceMode::Kind::kTransport
                                                                          : SurfaceMode::Kind::kNavigation);
  }
}

TEST_F(SurfaceTest, AChannelMissingFromTheLiveSceneIsSkipped) {
  make({"mic", "tape"});
  press({"C4", "F6"});
  live_->install(scene_with(1));  // a scene for fewer channels, as the control plane may install
  logs_.take();
  press({"C6", "E6"});
  EXPECT_THAT(sent_, IsEmpty());
  EXPECT_EQ(live_->load()->channels.size(), 1u);
  EXPECT_EQ(live_->load()->channels[0].main, 1.0f);
  EXPECT_THAT(logs_.take(), ElementsAre("warning [midi] channel tape has no entry in the live scene",
                                        "warning [midi] channel tape has no entry in the live scene"));
  EXPECT_EQ(surface_->mode(), SurfaceMode::channel_control("tape"));
}

TEST_F(SurfaceTest, OnlyNoteOnsWithVelocityArePresses) {
  const std::vector<std::vector<std::uint8_t>> ignored = {
      {},
      {0x90, 60},             // too short
      {0x90, 60, 0},          // Note On, velocity 0
      {0x80, 60, 100},        // Note Off
      {0xB0, 60, 100},        // control change
      {0xF0, 60, 100},        // system exclusive
      {0x90, 0xBC, 100},      // a status byte where the note belongs
      {0x90, 60, 0xE4},       // and where the velocity belongs
  };
  make({"mic"});
  for (const auto& datagram : ignored) EXPECT_FALSE(surface_->handle_datagram(datagram, 5));
  EXPECT_EQ(surface_->state()->snapshot(), MidiState{});

  // Any MIDI channel, and bytes past the third are not read.
  EXPECT_TRUE(surface_->handle_datagram(std::vector<std::uint8_t>{0x9F, 60, 1, 0xFF, 0x00}, 10));
  EXPECT_TRUE(surface_->handle_datagram(std::vector<std::uint8_t>{0x93, 127, 127}, 11));
  const MidiState state = surface_->state()->snapshot();
  EXPECT_EQ(state.mode, "channel_control");
  ASSERT_EQ(state.recent_keys.size(), 2u);
  EXPECT_EQ(state.recent_keys[0], (MidiKeyEvent{"C4", 1, 10, "mode:channel_select"}));
  EXPECT_EQ(state.recent_keys[1], (MidiKeyEvent{"G9", 127, 11, std::nullopt}));
}

TEST_F(SurfaceTest, RandomDatagramsLeaveAWorkingSurface) {
  make({"mic", "tape"});
  log::get("vantle_mixer::midi").set_level(spdlog::level::off);  // 20000 presses; back to info below
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 64);
  for (int i = 0; i < 20000; ++i) {
    std::vector<std::uint8_t> datagram(static_cast<std::size_t>(length(random)));
    for (auto& b : datagram) b = static_cast<std::uint8_t>(byte(random));
    // Half of them look like Note Ons, so the mode machine gets exercised.
    if (i % 2 == 0 && datagram.size() >= 3) datagram[0] = 0x90, datagram[1] &= 0x7F, datagram[2] |= 1, datagram[2] &= 0x7F;
    surface_->handle_datagram(datagram, static_cast<std::uint64_t>(i));
  }
  const auto faders = live_->load()->channels;
  for (const auto& f : faders) {
    EXPECT_GE(f.main, 0.0f);
    EXPECT_LE(f.main, 2.0f);
    EXPECT_TRUE(f.main_muted == 0.0f || f.main_muted == 1.0f);
  }
  EXPECT_LE(surface_->state()->snapshot().recent_keys.size(), kRecentKeysMax);

  clock_ms_ = 100000;
  log::get("vantle_mixer::midi").set_level(spdlog::level::info);
  press({"F4", "C4", "F6"});
  EXPECT_EQ(surface_->mode(), SurfaceMode::channel_control("tape"));
}

// What an OSC 1.0 message says, read byte by byte.
struct Decoded {
  std::string address, tags;
  std::vector<OscArgument> arguments;
};

std::optional<Decoded> decode_osc(const std::vector<std::uint8_t>& bytes) {
  std::size_t at = 0;
  auto text = [&]() -> std::optional<std::string> {
    const auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), 0);
    if (end == bytes.end()) return std::nullopt;
    std::string s(bytes.begin() + static_cast<std::ptrdiff_t>(at), end);
    at += (s.size() / 4 + 1) * 4;
    return s;
  };
  Decoded out;
  auto address = text();
  auto tags = text();
  if (!address || !tags || tags->empty() || tags->front() != ',') return std::nullopt;
  out.address = *address;
  out.tags = *tags;
  for (char tag : tags->substr(1)) {
    if (at + 4 > bytes.size()) return std::nullopt;
    std::uint32_t word = 0;
    std::memcpy(&word, bytes.data() + at, 4);
    word = ntohl(word);
    at += 4;
    if (tag == 'f') {
      float f = 0;
      std::memcpy(&f, &word, 4);
      out.arguments.emplace_back(f);
    } else if (tag == 'i') {
      out.arguments.emplace_back(static_cast<std::int32_t>(word));
    } else {
      return std::nullopt;
    }
  }
  if (at != bytes.size()) return std::nullopt;
  return out;
}

class OscListener {
 public:
  OscListener() : socket_(net::UdpSocket::create()) {
    socket_.bind(net::Endpoint::loopback(0));
    socket_.set_receive_timeout(2000);
  }
  std::string address() const { return socket_.local_endpoint().to_string(); }
  std::uint16_t port() const { return socket_.local_endpoint().port(); }

  std::optional<Decoded> next() {
    std::vector<std::uint8_t> buffer(2048);
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    if (socket_.receive(buffer, length, from, error) != net::UdpSocket::Received::kDatagram) return std::nullopt;
    buffer.resize(length);
    return decode_osc(buffer);
  }

 private:
  net::UdpSocket socket_;
};

TEST(SurfaceOsc, MessagesReachArdourAsOscDatagrams) {
  OscListener ardour;
  auto sender = std::make_shared<OscSender>(ardour.address());
  engine::Scene scene = scene_with(3);
  scene.channels[2].main = 0.95f;
  auto live = std::make_shared<engine::LiveScene>(scene, 1, 48000);
  Surface surface(test_config(0.05f), {"mic", "tape", "guest"}, live,
                  [sender](const std::string& address, const std::vector<OscArgument>& args) {
                    sender->send(address, args);
                  });
  std::uint64_t t = 0;
  for (const char* key : {"C4", "G6", "C6", "E6", "D4", "C7", "E4", "D8"}) {
    ASSERT_TRUE(surface.handle_datagram(note_on(key), ++t));
  }

  auto gain = ardour.next();
  ASSERT_TRUE(gain);
  EXPECT_EQ(gain->address, "/strip/gain/3");
  EXPECT_EQ(gain->tags, ",f");
  EXPECT_THAT(std::get<float>(gain->arguments.at(0)), FloatNear(0.0f, 1e-4f));
  auto mute = ardour.next();
  ASSERT_TRUE(mute);
  EXPECT_EQ(mute->address, "/strip/mute/3");
  EXPECT_EQ(mute->tags, ",i");
  EXPECT_EQ(std::get<std::int32_t>(mute->arguments.at(0)), 1);
  for (const char* address : {"/transport_play", "/next_marker"}) {
    auto command = ardour.next();
    ASSERT_TRUE(command);
    EXPECT_EQ(command->address, address);
    EXPECT_EQ(command->tags, ",");
  }
  EXPECT_EQ(live->load()->channels[2].main, 1.0f);
  EXPECT_EQ(live->load()->channels[2].main_muted, 1.0f);
}

// The whole surface on its own socket and thread, as the Mixer starts it.
class RunningSurface : public ::testing::Test {
 protected:
  void SetUp() override {
    midi_ = test_config(0.1f);
    midi_.listen_port = free_port();
    midi_.ardour_osc = ardour_.address();
    midi_.midi_state_file = (dir_.path() / "midi-state.json").string();
    live_ = std::make_shared<engine::LiveScene>(scene_with(2), 1, 48000);
  }
  void TearDown() override { stop_->request_stop(); }

  static std::uint16_t free_port() {
    auto probe = net::UdpSocket::create();
    probe.bind(net::Endpoint::any(0));
    return probe.local_endpoint().port();
  }

  void start() { start_midi_surface(midi_, {"mic", "tape"}, live_, Lifeline(running_, stop_)); }

  void send(const std::vector<std::uint8_t>& bytes) {
    keyboard_.send_to(bytes, net::Endpoint::loopback(midi_.listen_port));
  }

  json::Json state_file() {
    try {
      return json::parse(files::read_text(*midi_.midi_state_file));
    } catch (const std::exception&) {
      return nullptr;
    }
  }

  template <class Predicate>
  bool eventually(Predicate&& predicate) {
    for (int i = 0; i < 150; ++i) {
      if (predicate()) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  test::TempDir dir_;
  OscListener ardour_;
  config::MidiConfig midi_;
  std::shared_ptr<engine::LiveScene> live_;
  RunningFlag running_ = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<StopSignal> stop_ = std::make_shared<StopSignal>();
  net::UdpSocket keyboard_ = net::UdpSocket::create();
};

TEST_F(RunningSurface, KeysOverUdpMoveFadersAndEndWithTheMixer) {
  LogCapture logs;
  start();
  EXPECT_TRUE(eventually([&] { return state_file() == json::parse(R"({"channel":null,"last_key":null,"mode":"idle","recent_keys":[]})"); }));

  // Garbage first: the surface keeps working.
  send({0xFF});
  send(std::vector<std::uint8_t>(64, 0x90));
  send(std::vector<std::uint8_t>(1000, 0x42));
  send(note_on("C4"));
  send(note_on("C6"));
  auto gain = ardour_.next();
  ASSERT_TRUE(gain);
  EXPECT_EQ(gain->address, "/strip/gain/1");
  EXPECT_THAT(live_->load()->channels[0].main, FloatNear(1.1f, 1e-6f));
  EXPECT_TRUE(eventually([&] {
    auto s = state_file();
    return s.is_object() && s["mode"] == "channel_control" && s["channel"] == "mic" && s["recent_keys"].size() == 2;
  }));
  EXPECT_EQ(state_file()["last_key"]["action"], "fader_up");

  stop_->request_stop();
  // Within one receive timeout the thread lets go of its port.
  EXPECT_TRUE(eventually([&] {
    auto probe = net::UdpSocket::create();
    try {
      probe.bind(net::Endpoint::any(midi_.listen_port));
      return true;
    } catch (const Error&) {
      return false;
    }
  }));
  std::filesystem::remove(*midi_.midi_state_file);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(std::filesystem::exists(*midi_.midi_state_file)) << "the writer ended too";
}

TEST_F(RunningSurface, APortInUseIsAStartError) {
  auto taken = net::UdpSocket::create();
  taken.bind(net::Endpoint::any(midi_.listen_port));
  try {
    start();
    FAIL() << "started on a taken port";
  } catch (const Error& e) {
    EXPECT_EQ(e.outermost(), "binding MIDI listener on 0.0.0.0:" + std::to_string(midi_.listen_port));
    EXPECT_THAT(e.joined(), HasSubstr("os error 98"));
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(std::filesystem::exists(*midi_.midi_state_file)) << "no writer without a surface";
}

}  // namespace
}  // namespace vantle::midi

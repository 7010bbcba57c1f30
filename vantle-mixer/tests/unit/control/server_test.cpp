// The control server on a real loopback socket: each request's effect on the live
// scene, the replies it sends or does not send, the commands it forwards to the
// broadcast thread, the multicast relay table, and reloads handed to the main thread.
#include "control/server.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "support/temp_dir.hpp"
#include "util/error.hpp"
#include "util/json.hpp"

namespace vantle::control {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// An operator's tool or a multicast relay on loopback.
class Peer {
 public:
  Peer() : socket_(net::UdpSocket::create()) {
    socket_.bind(net::Endpoint::loopback(0));
    socket_.set_receive_timeout(300);
  }
  void send(const net::Endpoint& to, const std::string& text) {
    socket_.send_to(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), to);
  }
  // The next datagram's text, or nothing after the timeout.
  std::optional<std::string> receive() {
    std::vector<std::uint8_t> buffer(65536);
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    if (socket_.receive(buffer, length, from, error) != net::UdpSocket::Received::kDatagram) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buffer.data()), length);
  }
  net::Endpoint endpoint() const { return socket_.local_endpoint(); }

 private:
  net::UdpSocket socket_;
};

config::Config test_config(const test::TempDir& dir) {
  config::Config config;
  config.control_port = 0;
  config.relay_assignments_file = (dir.path() / "relay-assignments.json").string();
  config.session_delay_file = (dir.path() / "session-delays.json").string();
  config::ChannelConfig mic;
  mic.id = "mic";
  mic.label = "Studio mic";
  mic.kind = config::ChannelKind::kMono;
  mic.main_gain = 0.5f;
  config::ChannelConfig tape;
  tape.id = "tape";
  config.channels = {mic, tape};
  return config;
}

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override { build(test_config(dir_)); }

  void build(config::Config config) {
    config_ = config;
    scene_ = std::make_shared<engine::LiveScene>(engine::default_scene(config), 1, 48000);
    auto [command_sender, command_receiver] = broadcast::CommandChannel::open();
    auto [reload_sender, reload_receiver] = ReloadChannel::open();
    commands_.emplace(std::move(command_receiver));
    reloads_.emplace(std::move(reload_receiver));
    JackTools tools;
    tools.lsp = (dir_.path() / "no-such-jack_lsp").string();
    server_ = std::make_unique<ControlServer>(config, ControlLinks{scene_, std::move(command_sender), std::move(reload_sender)},
                                              tools);
    address_ = net::Endpoint::loopback(server_->local_endpoint().port());
    now_ = Clock::now();
  }

  std::optional<Reply> handle(const std::string& request, const net::Endpoint& from = net::Endpoint::loopback(9)) {
    return server_->handle(decode_request(request), from, now_);
  }
  // The reply's bytes, or "" when there is none.
  std::string reply_to(const std::string& request) {
    auto reply = handle(request);
    return reply ? encode_reply(*reply) : "";
  }
  engine::Scene scene() const { return *scene_->load(); }

  std::vector<broadcast::BroadcastCommand> commands() {
    std::vector<broadcast::BroadcastCommand> all;
    std::optional<broadcast::BroadcastCommand> command;
    while (commands_->try_receive(command) == broadcast::CommandChannel::Status::kReceived) all.push_back(*command);
    return all;
  }

  test::TempDir dir_;
  config::Config config_;
  std::shared_ptr<engine::LiveScene> scene_;
  std::optional<broadcast::CommandChannel::Receiver> commands_;
  std::optional<ReloadChannel::Receiver> reloads_;
  std::unique_ptr<ControlServer> server_;
  net::Endpoint address_;
  Clock::time_point now_;
};

TEST_F(ControlServerTest, ChannelRequestsChangeOnlyTheirValue) {
  EXPECT_EQ(reply_to(R"({"op":"set_fader","channel":"tape","bus":"cue","gain":0.7})"), "");
  EXPECT_EQ(scene().channels[1].cue, 0.7f);
  handle(R"({"op":"set_fader","channel":"mic","bus":"monitor","gain":3.5})");  // unclamped
  EXPECT_EQ(scene().channels[0].monitor, 3.5f);
  handle(R"({"op":"set_mute","channel":"mic","bus":"main","muted":true})");
  EXPECT_EQ(scene().channels[0].main_muted, 1.0f);
  handle(R"({"op":"set_mute","channel":"mic","bus":"main","muted":false})");
  EXPECT_EQ(scene().channels[0].main_muted, 0.0f);

  struct PanCase {
    const char* pan;
    float stored;
  };
  for (auto c : {PanCase{"3", 1.0f}, PanCase{"-2", -1.0f}, PanCase{"-0.25", -0.25f}}) {
    handle(std::string(R"({"op":"set_pan","channel":"tape","pan":)") + c.pan + "}");
    EXPECT_EQ(scene().channels[1].pan, c.stored) << c.pan;
  }

  handle(R"({"op":"set_master","bus":"main_relay","gain":0.25})");
  EXPECT_EQ(scene().main_relay_gain, 0.25f);
  handle(R"({"op":"set_master","bus":"cue","gain":0.5})");
  EXPECT_EQ(scene().cue_gain, 0.5f);
  handle(R"({"op":"set_relay_on","feed":"monitor","on":false})");
  EXPECT_FALSE(scene().monitor_relay_on);
  EXPECT_TRUE(scene().main_relay_on);
}

TEST_F(ControlServerTest, UnknownChannelsBusesAndFeedsChangeNothing) {
  handle(R"({"op":"set_fader","channel":"tape","bus":"cue","gain":0.7})");
  const auto before = scene_->load();
  for (const char* request : {
           R"({"op":"set_fader","channel":"nobody","bus":"main","gain":0.1})",
           R"({"op":"set_fader","channel":"mic","bus":"main_relay","gain":0.1})",
           R"({"op":"set_mute","channel":"mic","bus":"booth","muted":true})",
           R"({"op":"set_pan","channel":"Mic","pan":0.5})",
           R"({"op":"set_master","bus":"booth","gain":0.1})",
           R"({"op":"set_relay_on","feed":"off","on":false})",
           R"({"op":"set_relay_assignment","name":"booth","feed":"loud"})",
       }) {
    EXPECT_EQ(reply_to(request), "") << request;
  }
  EXPECT_EQ(scene_->load(), before) << "a new scene was installed";
  EXPECT_TRUE(commands().empty());
}

TEST_F(ControlServerTest, AChannelBeyondAShorterSceneIsLeftAlone) {
  engine::Scene short_scene = scene();
  short_scene.channels.resize(1);
  handle(R"({"op":"set_scene","scene":)" + engine::scene_to_json(short_scene).dump() + "}");
  ASSERT_EQ(scene().channels.size(), 1u);
  handle(R"({"op":"set_fader","channel":"tape","bus":"main","gain":0.3})");
  EXPECT_EQ(scene(), short_scene);
}

TEST_F(ControlServerTest, TheLaterOfTwoChannelsWithOneIdAnswersToIt) {
  auto config = test_config(dir_);
  config.channels.push_back(config.channels[0]);
  build(config);
  handle(R"({"op":"set_fader","channel":"mic","bus":"cue","gain":0.9})");
  EXPECT_EQ(scene().channels[0].cue, 0.0f);
  EXPECT_EQ(scene().channels[2].cue, 0.9f);
}

TEST_F(ControlServerTest, QueriesDescribeTheConfigurationAndTheLiveScene) {
  EXPECT_EQ(reply_to(R"({"op":"get_config"})"),
            R"({"kind":"config","buses":[{"id":"main","label":"Main"},{"id":"monitor","label":"Monitor"},)"
            R"({"id":"cue","label":"Cue"},{"id":"main_relay","label":"Main Relay"},)"
            R"({"id":"monitor_relay","label":"Monitor Relay"},{"id":"cue_relay","label":"Cue Relay"}],)"
            R"("channels":[{"id":"mic","kind":"mono","label":"Studio mic"},{"id":"tape","kind":"stereo","label":"tape"}],)"
            R"("ramp_ms":150})");

  handle(R"({"op":"set_fader","channel":"mic","bus":"main","gain":0.8})");
  const std::string state = reply_to(R"({"op":"get_state","ignored":true})");
  EXPECT_THAT(state, StartsWith(R"({"kind":"state","name":"default","channels":[{"main":0.8,)"));

  const std::string full = reply_to(R"({"op":"get_full_config"})");
  auto parsed = json::parse(full);
  EXPECT_EQ(parsed["control_bind"], "127.0.0.1");
  EXPECT_THAT(full, HasSubstr(R"("main_gain":0.5,)"));  // exactly representable, widened or not
  EXPECT_EQ(parsed["channels"].size(), 2u);
}

TEST_F(ControlServerTest, MidiStateComesFromTheStateFileOrIsIdle) {
  auto config = test_config(dir_);
  config.midi.emplace();
  config.midi->midi_state_file = (dir_.path() / "midi-state.json").string();
  build(config);
  EXPECT_EQ(reply_to(R"({"op":"get_midi_state"})"), R"({"kind":"midi_state","channel":null,"mode":"idle"})");

  std::ofstream(dir_.path() / "midi-state.json") << R"({"mode":"fader","channel":"mic","level":0.5})";
  EXPECT_EQ(reply_to(R"({"op":"get_midi_state"})"), R"({"kind":"midi_state","channel":"mic","level":0.5,"mode":"fader"})");

  std::ofstream(dir_.path() / "midi-state.json") << R"({"mode":"fader")";
  EXPECT_EQ(reply_to(R"({"op":"get_midi_state"})"), R"({"kind":"midi_state","channel":null,"mode":"idle"})");

  std::ofstream(dir_.path() / "midi-state.json") << R"(["not", "an object"])";
  auto reply = handle(R"({"op":"get_midi_state"})");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(encode_reply(*reply), "");
}

TEST_F(ControlServerTest, BusPluginChainsAreCheckedBeforeTheyAreInstalled) {
  struct Case {
    const char* plugins;
    const char* error;  // "" when accepted
  };
  const Case cases[] = {
      {R"([{"type":"echo","delay_ms":250,"feedback":0.96,"mix":0.5}])", "echo feedback 0..0.95"},
      {R"([{"type":"echo","delay_ms":0,"feedback":0.5,"mix":0.5}])", "echo delay_ms must be >0 and <=500"},
      {R"([{"type":"echo","delay_ms":500.5}])", "echo delay_ms must be >0 and <=500"},
      {R"([{"type":"echo","delay_ms":100,"mix":1.01}])", "echo mix 0..1"},
      {R"([{"type":"reverb","wet_mix":-0.1}])", "reverb wet_mix 0..1"},
      {R"([{"type":"reverb","decay":0.995}])", "reverb decay 0..0.99"},
      {R"([{"type":"high_pass","freq_hz":0}])", "freq_hz 0..24000"},
      {R"([{"type":"mid_pass","freq_hz":24001}])", "freq_hz 0..24000"},
      {R"([{"type":"low_pass","freq_hz":1000,"q":10.5}])", "q 0..10"},
      {R"([{"type":"delay","delay_ms":501}])", "delay delay_ms must be >0 and <=500"},
      {R"([{"type":"low_pass","freq_hz":1000},{"type":"echo","feedback":2}])", "echo feedback 0..0.95"},
      {R"([{"type":"echo","delay_ms":500,"feedback":0.95,"mix":1},{"type":"reverb","wet_mix":1,"decay":0.99}])", ""},
      {R"([{"type":"low_pass","freq_hz":24000,"q":10},{"type":"delay","delay_ms":0.5}])", ""},
  };
  for (const auto& c : cases) {
    const auto before = scene();
    const std::string reply = reply_to(std::string(R"({"op":"set_bus_dsp","bus":"monitor","plugins":)") + c.plugins + "}");
    if (*c.error == '\0') {
      EXPECT_EQ(reply, "") << c.plugins;
      EXPECT_EQ(scene().monitor_dsp_plugins.size(), json::parse(c.plugins).size()) << c.plugins;
    } else {
      EXPECT_EQ(reply, std::string(R"({"kind":"error","message":")") + c.error + "\"}") << c.plugins;
      EXPECT_EQ(scene(), before) << c.plugins;
    }
  }
  EXPECT_EQ(reply_to(R"({"op":"set_bus_dsp","bus":"booth","plugins":[{"type":"low_pass","freq_hz":800}]})"),
            R"({"kind":"error","message":"invalid bus"})");
  EXPECT_EQ(reply_to(R"({"op":"set_bus_dsp","bus":"monitor","plugins":[]})"), "");
  EXPECT_TRUE(scene().monitor_dsp_plugins.empty());
}

TEST_F(ControlServerTest, AScenesPluginsMustBeWithinTheSameRanges) {
  engine::Scene wild = scene();
  config::PluginConfig echo;
  echo.delay_ms = 3.6e6f;  // an hour of delay line per bus
  wild.main_dsp_plugins = {echo};
  wild.main_gain = 0.1f;
  handle(R"({"op":"set_scene","scene":)" + engine::scene_to_json(wild).dump() + "}");
  EXPECT_EQ(scene().main_gain, 1.0f);

  wild.main_dsp_plugins[0].delay_ms = 300.0f;
  handle(R"({"op":"set_scene","scene":)" + engine::scene_to_json(wild).dump() + "}");
  EXPECT_EQ(scene(), wild);
}

TEST_F(ControlServerTest, RelayRequestsBecomeBroadcastCommands) {
  Peer relay;
  handle(R"({"op":"register_relay","name":"mc-1"})", relay.endpoint());
  commands();
  handle(R"({"op":"set_relay_assignment","name":"booth","feed":"cue"})");
  handle(R"({"op":"set_relay_assignment_default","name":"booth","feed":"off"})");
  handle(R"({"op":"set_relay_assignment","name":"mc-1","feed":"off"})");
  EXPECT_EQ(reply_to(R"({"op":"set_session_delay","name":"mc-1","delay_ms":500})"), "");
  auto sent = commands();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(std::get<broadcast::SetAssignment>(sent[0]).feed, broadcast::Feed::kCue);
  EXPECT_EQ(std::get<broadcast::SetDefaultAssignment>(sent[1]).feed, broadcast::Feed::kOff);
  EXPECT_EQ(std::get<broadcast::SetAssignment>(sent[2]).name, "mc-1");
  EXPECT_EQ(std::get<broadcast::SetSessionDelayCommand>(sent[3]).delay_ms, 500.0f);

  // Only the registered multicast relay hears of its own changes.
  EXPECT_EQ(relay.receive(), R"({"feed":"off","name":"mc-1","op":"set_relay_assignment"})");
  EXPECT_EQ(relay.receive(), R"({"delay_ms":500.0,"name":"mc-1","op":"set_session_delay"})");
  EXPECT_EQ(relay.receive(), std::nullopt);

  for (const char* delay : {"500.5", "-1"}) {
    EXPECT_EQ(reply_to(std::string(R"({"op":"set_session_delay","name":"mc-1","delay_ms":)") + delay + "}"),
              R"({"kind":"error","message":"delay_ms must be 0..500"})");
  }
  EXPECT_TRUE(commands().empty());
}

TEST_F(ControlServerTest, MulticastRelaysRegisterWithTheirStoredFeedAndDelay) {
  Peer relay;
  EXPECT_EQ(reply_to(R"({"op":"register_relay","name":"new"})"), R"({"kind":"welcome","bus":"main","delay_ms":0.0})");

  std::ofstream(dir_.path() / "relay-assignments.json") << R"({"assignments":{"mc":"cue","odd":"sideways"}})";
  std::ofstream(dir_.path() / "session-delays.json") << R"({"delays":{"mc":120.5}})";
  auto reply = handle(R"({"op":"register_relay","name":"mc"})", relay.endpoint());
  ASSERT_TRUE(reply);
  EXPECT_EQ(encode_reply(*reply), R"({"kind":"welcome","bus":"cue","delay_ms":120.5})");
  auto sent = commands();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(std::get<broadcast::RegisterMulticastRelay>(sent[2]).name, "mc");
  EXPECT_EQ(std::get<broadcast::SetDefaultAssignment>(sent[3]).feed, broadcast::Feed::kCue);

  // A feed text the broadcast side does not know is told as it is, and means main.
  EXPECT_EQ(reply_to(R"({"op":"register_relay","name":"odd"})"), R"({"kind":"welcome","bus":"sideways","delay_ms":0.0})");
  EXPECT_EQ(std::get<broadcast::SetDefaultAssignment>(commands()[1]).feed, broadcast::Feed::kMain);

  // A broken file is as good as none.
  std::ofstream(dir_.path() / "relay-assignments.json") << R"({"assignments":)";
  EXPECT_EQ(reply_to(R"({"op":"register_relay","name":"mc"})"), R"({"kind":"welcome","bus":"main","delay_ms":120.5})");
}

TEST_F(ControlServerTest, SilentRelaysAreEvictedOnlyWhenARequestComesLater) {
  handle(R"({"op":"register_relay","name":"quiet"})");
  handle(R"({"op":"register_relay","name":"chatty"})");
  handle(R"({"op":"relay_heartbeat","name":"stranger"})");
  EXPECT_EQ(server_->relays().size(), 2u);
  commands();

  now_ += 9s;
  handle(R"({"op":"relay_heartbeat","name":"chatty"})");
  server_->evict_stale_relays(now_);
  EXPECT_EQ(server_->relays().size(), 2u);

  now_ += 1s;  // quiet: ten seconds since its registration
  server_->evict_stale_relays(now_);
  EXPECT_EQ(server_->relays().find("quiet"), nullptr);
  EXPECT_NE(server_->relays().find("chatty"), nullptr);
  auto sent = commands();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(std::get<broadcast::MulticastRelayHeartbeat>(sent[0]).name, "chatty");
  EXPECT_EQ(std::get<broadcast::RemoveMulticastRelay>(sent[1]).name, "quiet");

  handle(R"({"op":"relay_bye","name":"chatty"})");
  EXPECT_EQ(server_->relays().size(), 0u);
  EXPECT_EQ(std::get<broadcast::RemoveMulticastRelay>(commands().at(0)).name, "chatty");
}

TEST_F(ControlServerTest, ReloadsAreCheckedThenHandedToTheMainThread) {
  server_->set_reload_wait(2s);
  auto result = [&](const std::string& request) { return json::parse(reply_to(request)); };

  auto r = result(R"({"op":"reload_config","config":"not an object"})");
  EXPECT_EQ(r["success"], false);
  EXPECT_THAT(r["error"].get<std::string>(), StartsWith("invalid config JSON: "));

  r = result(R"({"op":"reload_config","config":{"channels":[{"id":"a"},{"id":"a"}]}})");
  EXPECT_THAT(r["error"].get<std::string>(), StartsWith("config validation failed: "));

  // The main thread answers: success, then a failure text, then never.
  const std::string good = R"({"op":"reload_config","config":{"jack_name":"next","channels":[{"id":"x"}]}})";
  for (std::optional<std::string> answer : {std::optional<std::string>(), std::optional<std::string>("it broke")}) {
    std::thread main_thread([&] {
      std::optional<ReloadCommand> command;
      while (reloads_->try_receive(command) != ReloadChannel::Status::kReceived) std::this_thread::sleep_for(5ms);
      EXPECT_EQ(command->config.jack_name, "next");
      command->reply.send(answer);
    });
    r = result(good);
    main_thread.join();
    EXPECT_EQ(r["success"], !answer.has_value());
    EXPECT_EQ(r["error"], answer ? json::Json(*answer) : json::Json(nullptr));
  }

  server_->set_reload_wait(100ms);
  EXPECT_EQ(reply_to(good), R"({"kind":"reload_result","success":false,"error":"reload timeout"})");

  reloads_.reset();  // nobody listens any more
  EXPECT_EQ(reply_to(good),
            R"({"kind":"reload_result","success":false,"error":"failed to send reload command: sending on a closed channel"})");
}

TEST_F(ControlServerTest, ServesDatagramsAndSurvivesGarbage) {
  Peer tool;
  std::mt19937 random(7);
  std::vector<std::string> garbage = {"", "{", "null", "[]", R"({"op":"get_state"}x)", std::string(9000, ' '),
                                      std::string(4000, '[') + std::string(4000, ']'),
                                      R"({"op":"get_state","op":"get_state"})"};
  for (int i = 0; i < 200; ++i) {
    std::string bytes(random() % 300, '\0');
    for (auto& b : bytes) b = static_cast<char>(random());
    garbage.push_back(bytes);
  }
  const std::string valid = R"({"op":"get_config"})";
  for (std::size_t cut = 1; cut < valid.size(); ++cut) garbage.push_back(valid.substr(0, cut));
  for (const auto& bytes : garbage) {
    tool.send(address_, bytes);
    server_->serve_once(now_);
  }
  EXPECT_EQ(tool.receive(), std::nullopt);

  tool.send(address_, R"({"op":"set_fader","channel":"mic","bus":"main","gain":0.25})");
  server_->serve_once(now_);
  tool.send(address_, R"({"op":"get_state"})" "\n");
  server_->serve_once(now_);
  auto reply = tool.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(json::parse(*reply)["channels"][0]["main"], 0.25);
  EXPECT_EQ(tool.receive(), std::nullopt) << "set_fader has no reply";
}

TEST_F(ControlServerTest, MissingJackToolsGiveEmptyAnswers) {
  EXPECT_EQ(reply_to(R"({"op":"get_available_ports"})"), R"({"kind":"available_ports","capture":[],"playback":[]})");
  EXPECT_EQ(reply_to(R"({"op":"get_jack_graph"})"), R"({"kind":"jack_graph","clients":[]})");
}

TEST(ControlServerStart, BindFailuresNameTheirStep) {
  test::TempDir dir;
  struct Case {
    const char* bind;
    const char* context;
  };
  for (auto c : {Case{"localhost", "parsing control_bind localhost"}, Case{"::1", "binding control UDP socket on [::1]:0"},
                 Case{"192.0.2.1", "binding control UDP socket on 192.0.2.1:0"}}) {
    auto config = test_config(dir);
    config.control_bind = c.bind;
    auto [commands, command_receiver] = broadcast::CommandChannel::open();
    auto [reload, reload_receiver] = ReloadChannel::open();
    auto scene = std::make_shared<engine::LiveScene>(engine::default_scene(config), 1, 48000);
    try {
      ControlServer server(config, ControlLinks{scene, commands, reload});
      ADD_FAILURE() << c.bind << " was bound";
    } catch (const Error& e) {
      EXPECT_EQ(e.outermost(), c.context);
    }
  }
}

}  // namespace
}  // namespace vantle::control

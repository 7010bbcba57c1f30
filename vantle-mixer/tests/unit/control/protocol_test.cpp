// The control protocol's wire form: what is accepted as a request, and the exact
// bytes of replies and relay messages that operators' tools and relays parse.
#include "control/protocol.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config_json.hpp"
#include "util/error.hpp"

namespace vantle::control {
namespace {

using ::testing::HasSubstr;

struct Accepted {
  const char* datagram;
  std::size_t variant;
};

TEST(ControlProtocol, AcceptsWellFormedRequests) {
  const Accepted cases[] = {
      {R"({"op":"get_state","extra":[1,2]})", 3},
      {R"({"channel":"mic","gain":0.5,"op":"set_fader","bus":"main"})", 5},
      {R"({"op":"set_pan","channel":"mic","pan":-1})", 6},
      {R"({"op":"set_mute","channel":"mic","bus":"cue","muted":false})", 7},
      {"  {\"op\":\"get_config\"}\r\n\t ", 0},
      {R"({"op":"reload_config","config":"a string is passed on"})", 13},
      {R"({"op":"set_bus_dsp","bus":"cue","plugins":[]})", 14},
      {R"({"op":"set_bus_dsp","bus":"main","plugins":[{"type":"low_pass","freq_hz":800}]})", 14},
      {R"({"op":"relay_bye","name":"booth"})", 21},
  };
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(decode_request(c.datagram).index(), c.variant) << c.datagram;
    } catch (const Error& e) {
      ADD_FAILURE() << c.datagram << ": " << e.what();
    }
  }
}

TEST(ControlProtocol, DecodesFieldValues) {
  auto fader = std::get<SetFader>(decode_request(R"({"op":"set_fader","channel":"mic","bus":"monitor","gain":2})"));
  EXPECT_EQ(fader.channel, "mic");
  EXPECT_EQ(fader.bus, "monitor");
  EXPECT_EQ(fader.gain, 2.0f);
  auto dsp = std::get<SetBusDsp>(
      decode_request(R"({"op":"set_bus_dsp","bus":"main","plugins":[{"type":"echo","delay_ms":120,"feedback":0.5}]})"));
  ASSERT_EQ(dsp.plugins.size(), 1u);
  EXPECT_EQ(dsp.plugins[0].kind, config::PluginKind::kEcho);
  EXPECT_EQ(dsp.plugins[0].delay_ms, 120.0f);
  EXPECT_EQ(dsp.plugins[0].feedback, 0.5f);
  auto scene = std::get<SetScene>(decode_request(
      R"({"op":"set_scene","scene":{"name":"x","channels":[{"main":1,"monitor":0,"cue":0,"main_muted":0,"monitor_muted":0,"cue_muted":1}],
          "main_gain":1,"monitor_gain":1,"cue_gain":1,"main_relay_gain":1,"main_relay_on":true,"monitor_relay_gain":1,
          "monitor_relay_on":false,"cue_relay_gain":0.5,"cue_relay_on":true}})"));
  EXPECT_EQ(scene.scene.name, "x");
  EXPECT_EQ(scene.scene.channels.at(0).cue_muted, 1.0f);
  EXPECT_FALSE(scene.scene.monitor_relay_on);
}

TEST(ControlProtocol, RefusesMalformedRequests) {
  struct Refused {
    std::string datagram;
    const char* reason;
  };
  const Refused cases[] = {
      {R"({"op":"set_fader","channel":"mic","bus":"main"})", "missing field `gain`"},
      {R"({"op":"set_mute","channel":"mic","bus":"main","muted":1})", "muted"},
      {R"({"op":"set_fader","channel":"mic","bus":"main","gain":"0.5"})", "gain"},
      {R"({"op":"set_fader","channel":"mic","bus":"main","gain":true})", "gain"},
      {R"({"op":"set_pan","channel":"mic","pan":1e39})", "pan"},
      {R"({"op":"set_fader","channel":"mic","channel":"tape","bus":"main","gain":1})", "duplicate field `channel`"},
      {R"({"op":"get_state"}x)", ""},
      {R"({"op":"get_state"} {})", ""},
      {R"({"op":"fly"})", "fly"},
      {R"({"channel":"mic"})", "missing field `op`"},
      {R"({"op":5})", "op"},
      {R"(["op","get_state"])", ""},
      {"", ""},
      {R"({"op":"set_bus_dsp","bus":"main","plugins":{}})", "plugins"},
      {R"({"op":"set_bus_dsp","bus":"main","plugins":[{"type":"chorus"}]})", "plugins[0]"},
      {R"({"op":"set_scene","scene":{"name":"x"}})", "missing field"},
      {R"({"op":"reload_config"})", "missing field `config`"},
      {R"({"op":"jack_connect","src":"a:b"})", "missing field `dst`"},
      {"{\"op\":\"get_state\",\"x\":\"\xff\"}", ""},
      {"\xEF\xBB\xBF{\"op\":\"get_state\"}", ""},
      {std::string(200, '[') + std::string(200, ']'), "nesting"},
  };
  for (const auto& c : cases) {
    try {
      decode_request(c.datagram);
      ADD_FAILURE() << "accepted " << c.datagram;
    } catch (const Error& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.reason)) << c.datagram;
    }
  }
}

TEST(ControlProtocol, ConfigAndFullConfigPayloadsAreSortedAndWidened) {
  json::Json config_payload = {{"ramp_ms", 150},
                               {"channels", json::Json::array({{{"label", "Mic"}, {"kind", "mono"}, {"id", "mic"}}})},
                               {"buses", json::Json::array({{{"label", "Main"}, {"id", "main"}}})}};
  EXPECT_EQ(encode_reply(ConfigReply{config_payload}),
            R"({"kind":"config","buses":[{"id":"main","label":"Main"}],)"
            R"("channels":[{"id":"mic","kind":"mono","label":"Mic"}],"ramp_ms":150})");

  config::Config config;
  config.buses.main_gain = 0.8f;
  const std::string full = encode_reply(FullConfigReply{config::config_to_json(config, config::FloatForm::kWidened)});
  EXPECT_THAT(full, HasSubstr(R"("main_gain":0.800000011920929)"));
  EXPECT_EQ(full.rfind(R"({"kind":"full_config","autoconnect":[],"broadcast_frames":)", 0), 0u) << full;
  EXPECT_LT(full.find(R"("buses")"), full.find(R"("channels")"));

  EXPECT_EQ(encode_reply(FullConfigReply{nullptr}), R"({"kind":"full_config"})");
}

TEST(ControlProtocol, MidiStatePayloadsThatAreNotObjectsGoOutEmpty) {
  EXPECT_EQ(encode_reply(MidiStateReply{json::Json{{"mode", "idle"}, {"channel", nullptr}}}),
            R"({"kind":"midi_state","channel":null,"mode":"idle"})");
  EXPECT_EQ(encode_reply(MidiStateReply{json::Json::array({1, 2})}), "");
  EXPECT_EQ(encode_reply(MidiStateReply{json::Json("idle")}), "");
  EXPECT_EQ(encode_reply(MidiStateReply{json::Json(3)}), "");
  EXPECT_EQ(encode_reply(MidiStateReply{nullptr}), R"({"kind":"midi_state"})");
}

TEST(ControlProtocol, RecordRepliesKeepTheirOrderAndShortestFloats) {
  engine::Scene scene;
  scene.name = "live";
  scene.channels = {engine::ChannelFaders{0.8f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, -0.5f}};
  config::PluginConfig echo;
  echo.delay_ms = 120.0f;
  scene.cue_dsp_plugins = {echo};
  const std::string state = encode_reply(StateReply{scene});
  EXPECT_EQ(state.rfind(R"({"kind":"state","name":"live","channels":[{"main":0.8,)", 0), 0u) << state;
  EXPECT_THAT(state, HasSubstr(R"("cue_dsp_plugins":[{"type":"echo","delay_ms":120.0,)"));

  EXPECT_EQ(encode_reply(ReloadResultReply{true, std::nullopt}), R"({"kind":"reload_result","success":true,"error":null})");
  EXPECT_EQ(encode_reply(ReloadResultReply{false, "reload timeout"}),
            R"({"kind":"reload_result","success":false,"error":"reload timeout"})");
  EXPECT_EQ(encode_reply(WelcomeReply{"main", 0.0f}), R"({"kind":"welcome","bus":"main","delay_ms":0.0})");
  EXPECT_EQ(encode_reply(WelcomeReply{"cue", 12.5f}), R"({"kind":"welcome","bus":"cue","delay_ms":12.5})");
  EXPECT_EQ(encode_reply(ErrorReply{"invalid bus"}), R"({"kind":"error","message":"invalid bus"})");
  EXPECT_EQ(encode_reply(AvailablePortsReply{}), R"({"kind":"available_ports","capture":[],"playback":[]})");

  JackGraph graph{{GraphClient{"system", {GraphPort{"system:capture_1", true, {"desk:mic_in"}}}}}};
  EXPECT_EQ(encode_reply(JackGraphReply{graph}),
            R"({"kind":"jack_graph","clients":[{"name":"system","ports":[{"name":"system:capture_1",)"
            R"("direction":"output","connections":["desk:mic_in"]}]}]})");
}

TEST(ControlProtocol, RelayMessagesHaveSortedMembers) {
  EXPECT_EQ(encode_relay_assignment("booth", "off"), R"({"feed":"off","name":"booth","op":"set_relay_assignment"})");
  EXPECT_EQ(encode_relay_delay("booth", 0.8f), R"({"delay_ms":0.800000011920929,"name":"booth","op":"set_session_delay"})");
}

}  // namespace
}  // namespace vantle::control

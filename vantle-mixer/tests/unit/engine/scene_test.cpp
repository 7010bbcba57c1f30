#include "engine/scene.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/error.hpp"

namespace vantle::engine {
namespace {

using json::Json;

config::PluginConfig plugin(config::PluginKind kind, float a, float b = 0.0f, float c = 0.0f) {
  config::PluginConfig p;
  p.kind = kind;
  switch (kind) {
    case config::PluginKind::kEcho:
      p.delay_ms = a, p.feedback = b, p.mix = c;
      break;
    case config::PluginKind::kReverb:
      p.wet_mix = a, p.decay = b;
      break;
    case config::PluginKind::kHighPass:
    case config::PluginKind::kLowPass:
    case config::PluginKind::kMidPass:
      p.freq_hz = a, p.q = b;
      break;
    case config::PluginKind::kDelay:
      p.delay_ms = a;
      break;
  }
  return p;
}

// Every value distinct from every other, so a field read or written in another's
// place shows.
Scene rich_scene() {
  Scene s;
  s.name = "late show \"B\" – ü";
  s.channels = {
      {0.8f, 0.05f, 0.3f, 1.0f, 0.0f, 0.5f, -0.25f},
      {1.5f, 1e-5f, 0.1f + 0.2f, 0.0f, 1.0f, 0.25f, 1.0f},
  };
  s.main_gain = 0.9f;
  s.monitor_gain = 0.7f;
  s.cue_gain = 0.6f;
  s.main_relay_gain = 0.5f;
  s.main_relay_on = false;
  s.monitor_relay_gain = 0.4f;
  s.monitor_relay_on = true;
  s.cue_relay_gain = 3.0e12f;
  s.cue_relay_on = false;
  s.main_dsp_plugins = {plugin(config::PluginKind::kEcho, 350.0f, 0.45f, 0.2f),
                        plugin(config::PluginKind::kReverb, 0.15f, 0.9f)};
  s.monitor_dsp_plugins = {plugin(config::PluginKind::kHighPass, 80.0f, 0.5f),
                           plugin(config::PluginKind::kLowPass, 12000.0f, 0.707f)};
  s.cue_dsp_plugins = {plugin(config::PluginKind::kMidPass, 1000.0f, 2.0f),
                       plugin(config::PluginKind::kDelay, 12.5f)};
  return s;
}

// A complete scene with one channel, as a request would carry it.
Json base_scene_json() {
  return json::parse(R"({
    "name": "show",
    "channels": [{"main": 1.0, "monitor": 0.5, "cue": 0.0, "main_muted": 0.0, "monitor_muted": 0.0,
                  "cue_muted": 0.0, "pan": 0.1}],
    "main_gain": 1.0, "monitor_gain": 1.0, "cue_gain": 1.0,
    "main_relay_gain": 1.0, "main_relay_on": true,
    "monitor_relay_gain": 1.0, "monitor_relay_on": true,
    "cue_relay_gain": 1.0, "cue_relay_on": true,
    "main_dsp_plugins": [], "monitor_dsp_plugins": [], "cue_dsp_plugins": []
  })");
}

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

// The error chain of reading `value`, or nothing when it reads.
std::vector<std::string> read_error(const Json& value) {
  try {
    scene_from_json(value);
  } catch (const Error& e) {
    return e.chain();
  }
  return {};
}

TEST(SceneTest, ConfiguredChannelBecomesItsFaders) {
  config::Config config;
  config::ChannelConfig mic;
  mic.id = "mic";
  mic.main_gain = 0.8f;
  mic.main_muted = true;
  mic.monitor_gain = 0.0f;
  mic.cue_gain = 0.0f;
  mic.pan = -0.25f;
  config.channels = {mic};

  const Json state = scene_to_json(default_scene(config));
  EXPECT_EQ(state["channels"][0].dump(),
            R"({"main":0.8,"monitor":0.0,"cue":0.0,"main_muted":1.0,"monitor_muted":0.0,"cue_muted":0.0,"pan":-0.25})");
}

TEST(SceneTest, DefaultSceneTakesChannelsAndBusesOfTheConfig) {
  config::Config config;
  config::ChannelConfig a;
  a.id = "a";
  a.main_gain = 0.7f;
  a.monitor_gain = 0.6f;
  a.cue_gain = 0.5f;
  a.pan = 0.4f;
  config::ChannelConfig b;
  b.id = "b";
  b.main_gain = 0.3f;
  b.main_muted = true;
  b.monitor_gain = 0.2f;
  b.cue_gain = 0.1f;
  b.pan = -1.0f;
  config.channels = {a, b};
  config::BusConfig& buses = config.buses;
  buses.main_gain = 0.9f;
  buses.monitor_gain = 0.8f;
  buses.cue_gain = 0.75f;
  buses.main_relay_gain = 0.65f;
  buses.main_relay_on = false;
  buses.monitor_relay_gain = 0.55f;
  buses.monitor_relay_on = true;
  buses.cue_relay_gain = 0.45f;
  buses.cue_relay_on = false;
  const Scene rich = rich_scene();
  buses.main_dsp.plugins = rich.cue_dsp_plugins;
  buses.monitor_dsp.plugins = {};
  buses.cue_dsp.plugins = rich.main_dsp_plugins;

  Scene expected;
  expected.name = "default";
  expected.channels = {{0.7f, 0.6f, 0.5f, 0.0f, 0.0f, 0.0f, 0.4f}, {0.3f, 0.2f, 0.1f, 1.0f, 0.0f, 0.0f, -1.0f}};
  expected.main_gain = 0.9f;
  expected.monitor_gain = 0.8f;
  expected.cue_gain = 0.75f;
  expected.main_relay_gain = 0.65f;
  expected.main_relay_on = false;
  expected.monitor_relay_gain = 0.55f;
  expected.monitor_relay_on = true;
  expected.cue_relay_gain = 0.45f;
  expected.cue_relay_on = false;
  expected.main_dsp_plugins = rich.cue_dsp_plugins;
  expected.cue_dsp_plugins = rich.main_dsp_plugins;
  EXPECT_EQ(default_scene(config), expected);

  EXPECT_TRUE(default_scene(config::Config{}).channels.empty());
}

TEST(SceneTest, WrittenSceneHasEveryMemberInOrderAndReadsBackEqual) {
  const Scene scene = rich_scene();
  const Json written = scene_to_json(scene);

  EXPECT_EQ(keys_of(written),
            (std::vector<std::string>{"name", "channels", "main_gain", "monitor_gain", "cue_gain", "main_relay_gain",
                                      "main_relay_on", "monitor_relay_gain", "monitor_relay_on", "cue_relay_gain",
                                      "cue_relay_on", "main_dsp_plugins", "monitor_dsp_plugins", "cue_dsp_plugins"}));
  EXPECT_EQ(keys_of(written["channels"][1]),
            (std::vector<std::string>{"main", "monitor", "cue", "main_muted", "monitor_muted", "cue_muted", "pan"}));
  // Shortest form: what an operator would type, not the widened double.
  EXPECT_EQ(written["channels"][1]["cue"].dump(), "0.3");
  EXPECT_EQ(written["main_dsp_plugins"][0].dump(), R"({"type":"echo","delay_ms":350.0,"feedback":0.45,"mix":0.2})");

  // Through text, as "get_state" and "set_scene" carry it.
  EXPECT_EQ(scene_from_json(json::parse(written.dump())), scene);
}

TEST(SceneTest, ReadingAcceptsWhatARequestMayLeaveOutOrAdd) {
  Json v = base_scene_json();
  v["channels"][0].erase("pan");
  v.erase("main_dsp_plugins");
  v.erase("cue_dsp_plugins");
  v["monitor_dsp_plugins"] = json::parse(R"([{"type": "delay", "delay_ms": 40}])");
  v["main_gain"] = 2;  // an integer is a float here
  v["channels"][0]["main"] = 0;
  v["comment"] = "unknown members are ignored";
  v["channels"][0]["colour"] = "red";

  const Scene s = scene_from_json(v);
  EXPECT_EQ(s.channels.at(0).pan, 0.0f);
  EXPECT_EQ(s.channels.at(0).main, 0.0f);
  EXPECT_EQ(s.channels.at(0).monitor, 0.5f);
  EXPECT_EQ(s.main_gain, 2.0f);
  EXPECT_TRUE(s.main_dsp_plugins.empty()) << "a missing chain clears the bus";
  EXPECT_TRUE(s.cue_dsp_plugins.empty());
  EXPECT_EQ(s.monitor_dsp_plugins, (std::vector<config::PluginConfig>{plugin(config::PluginKind::kDelay, 40.0f)}));

  // Values are taken as received, whatever their range, and any channel count.
  v["channels"] = Json::array();
  v["main_relay_gain"] = -3.5;
  const Scene odd = scene_from_json(v);
  EXPECT_TRUE(odd.channels.empty());
  EXPECT_EQ(odd.main_relay_gain, -3.5f);
}

TEST(SceneTest, FirstMissingMemberIsNamedInRecordOrder) {
  struct Case {
    std::vector<std::string> removed;           // from the scene
    std::vector<std::string> removed_faders;    // from its first channel
    std::vector<std::string> expected;          // error chain
  };
  const std::vector<Case> cases = {
      {{"name"}, {}, {"missing field `name`"}},
      {{"cue_relay_on", "name"}, {}, {"missing field `name`"}},
      {{"cue_relay_on", "channels"}, {}, {"missing field `channels`"}},
      {{"cue_relay_on", "main_gain", "monitor_gain"}, {}, {"missing field `main_gain`"}},
      {{"cue_relay_gain", "cue_relay_on"}, {}, {"missing field `cue_relay_gain`"}},
      {{"monitor_relay_on", "cue_gain"}, {}, {"missing field `cue_gain`"}},
      {{"main_relay_on"}, {}, {"missing field `main_relay_on`"}},
      {{"monitor_relay_gain", "cue_relay_on"}, {}, {"missing field `monitor_relay_gain`"}},
      {{"cue_relay_on"}, {}, {"missing field `cue_relay_on`"}},
      {{}, {"cue_muted"}, {"channels[0]", "missing field `cue_muted`"}},
      {{}, {"pan", "cue_muted", "monitor_muted"}, {"channels[0]", "missing field `monitor_muted`"}},
      {{}, {"cue", "main_muted"}, {"channels[0]", "missing field `cue`"}},
      {{}, {"main", "monitor"}, {"channels[0]", "missing field `main`"}},
      // A missing scene member is reported before anything wrong inside a channel.
      {{"cue_gain"}, {"main"}, {"missing field `cue_gain`"}},
  };
  for (const Case& c : cases) {
    Json v = base_scene_json();
    for (const auto& key : c.removed) v.erase(key);
    for (const auto& key : c.removed_faders) v["channels"][0].erase(key);
    EXPECT_EQ(read_error(v), c.expected) << v.dump();
  }
}

TEST(SceneTest, WrongTypesAreRefused) {
  struct Case {
    const char* pointer;  // where the bad value goes
    const char* value;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"/channels/0/main_muted", "true",
       {"channels[0]", "invalid type for `main_muted`: expected a number, got true"}},
      {"/channels/0/pan", "null", {"channels[0]", "invalid type for `pan`: expected a number, got null"}},
      {"/channels/0", "[1, 2]", {"channels[0]", "invalid type: expected a channel faders object, got an array"}},
      {"/main_relay_on", "1", {"invalid type for `main_relay_on`: expected a boolean, got 1"}},
      {"/name", "7", {"invalid type for `name`: expected a string, got 7"}},
      {"/channels", "{}", {"invalid type for `channels`: expected an array, got an object"}},
      {"/cue_dsp_plugins", "null", {"invalid type for `cue_dsp_plugins`: expected an array, got null"}},
      {"/main_dsp_plugins", R"([{"type": "delay", "delay_ms": 5}, {"type": "flanger"}])",
       {"main_dsp_plugins[1]",
        "unknown plugin type \"flanger\", expected one of echo, reverb, high_pass, low_pass, mid_pass, delay"}},
      // Beyond the float range a gain would be infinite: noise on the bus, and a
      // "get_state" reply that could not be sent back.
      {"/main_gain", "1e39", {"invalid value for `main_gain`: 1e+39 is out of range for a 32-bit float"}},
      {"/channels/0/cue", "-1e300",
       {"channels[0]", "invalid value for `cue`: -1e+300 is out of range for a 32-bit float"}},
  };
  for (const Case& c : cases) {
    Json v = base_scene_json();
    v[Json::json_pointer(c.pointer)] = json::parse(c.value);
    EXPECT_EQ(read_error(v), c.expected) << c.pointer << " = " << c.value;
  }
  EXPECT_EQ(read_error(Json::array()), (std::vector<std::string>{"invalid type: expected a scene object, got an array"}));
}

}  // namespace
}  // namespace vantle::engine

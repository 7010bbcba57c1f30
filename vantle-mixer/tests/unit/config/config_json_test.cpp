#include "config/config_json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "util/error.hpp"

namespace vantle::config {
namespace {

// A channel named `id` with its defaults, changed by `tweak`.
ChannelConfig channel(std::string id, const std::function<void(ChannelConfig&)>& tweak = {}) {
  ChannelConfig c;
  c.id = std::move(id);
  if (tweak) tweak(c);
  return c;
}

std::string read_error(const std::string& text) {
  try {
    config_from_json_text(text);
  } catch (const Error& e) {
    return e.joined();
  }
  return "(no error)";
}

// Every field away from its default, every plugin kind, every list and map filled.
Config rich_config() {
  Config c;
  c.jack_name = "studio-b";
  c.control_port = 20001;
  c.control_bind = "0.0.0.0";
  c.broadcast_port = 6000;
  c.broadcast_frames = 256;
  c.meters_file = "/srv/state/meters.json";
  c.gains_file = "/srv/state/gains.json";
  c.scenes_file = "/srv/state/scenes.json";
  c.relay_assignments_file = "/srv/state/relays.json";
  c.session_delay_file = "/srv/state/delays.json";
  c.ramp_ms = 40;
  c.channels = {
      {"mic", "Host mic", ChannelKind::kMono, 0.8f, true, 0.05f, 0.3f, -0.25f, 0},
      {"phone", "", ChannelKind::kStereo, 1.5f, false, 0.0f, 1.0f, 1.0f, std::nullopt},
      {"guest \"ü\"", "Gäst", ChannelKind::kStereo, 1e-5f, false, 3.0e12f, 0.1f + 0.2f, -1.0f, 18446744073709551615u},
  };
  BusConfig& b = c.buses;
  b.main = {"pgm_l", "pgm_r"};
  b.main_gain = 0.9f;
  b.monitor = {"mon_l", "mon_r"};
  b.monitor_gain = 0.7f;
  b.cue = {"cue_l", "cue_r"};
  b.cue_gain = 0.6f;
  b.main_relay = {"mr_l", "mr_r"};
  b.main_relay_gain = 0.5f;
  b.main_relay_on = false;
  b.monitor_relay = {"monr_l", "monr_r"};
  b.monitor_relay_gain = 0.4f;
  b.monitor_relay_on = false;
  b.cue_relay = {"cuer_l", "cuer_r"};
  b.cue_relay_gain = 0.3f;
  b.cue_relay_on = false;
  PluginConfig echo;
  echo.kind = PluginKind::kEcho;
  echo.delay_ms = 350.0f;
  echo.feedback = 0.45f;
  echo.mix = 0.2f;
  PluginConfig reverb;
  reverb.kind = PluginKind::kReverb;
  reverb.wet_mix = 0.15f;
  reverb.decay = 0.9f;
  PluginConfig high_pass;
  high_pass.kind = PluginKind::kHighPass;
  high_pass.freq_hz = 80.0f;
  high_pass.q = 0.5f;
  PluginConfig low_pass = high_pass;
  low_pass.kind = PluginKind::kLowPass;
  low_pass.freq_hz = 12000.0f;
  PluginConfig mid_pass = high_pass;
  mid_pass.kind = PluginKind::kMidPass;
  mid_pass.freq_hz = 1000.0f;
  mid_pass.q = 2.0f;
  PluginConfig delay;
  delay.kind = PluginKind::kDelay;
  delay.delay_ms = 12.5f;
  b.main_dsp.plugins = {echo, reverb};
  b.monitor_dsp.plugins = {high_pass, low_pass};
  b.cue_dsp.plugins = {mid_pass, delay, echo};
  c.autoconnect = {{"system:capture_1", "studio-b:mic_in"}, {"studio-b:out_1", "system:playback_1"}};
  c.ingest.slot_count = 8;
  c.ingest.sender = {{"remote-a", 2, 0}, {"remote-b", 255, 18446744073709551615u}};
  c.local_relay_sink = {{"booth", "Booth", {"booth_l", "booth_r"}, "cue"}, {"lobby", "", {"lob_l", "lob_r"}, "main"}};
  MidiConfig m;
  m.listen_port = 20999;
  m.ardour_osc = "10.0.0.5:3819";
  m.idle_timeout_ms = 18446744073709551615u;
  m.fader_step = 0.02f;
  m.midi_state_file = std::nullopt;
  m.osc_feedback_port = 8000;
  m.mode_keys = {{"C4", "fader"}, {"D4", "mute"}};
  m.channel_keys = {{"C3", "mic"}};
  m.channel_action_keys = {{"E3", "toggle_mute"}};
  m.transport_keys = {{"A4", "play"}, {"B4", "stop"}};
  m.navigation_keys = {{"F4", "marker_next"}};
  c.midi = m;
  c.multicast = {true, "239.1.2.3", 7000, 4};
  return c;
}

TEST(ConfigJsonRead, MinimalDocumentIsTheDefault) {
  EXPECT_EQ(config_from_json_text(R"({"channels": []})"), Config{});
  EXPECT_EQ(config_from_json_text(" \n\t{\"channels\":[]}\r\n "), Config{});
}

// Documents that omit or null members read as the default with a few changes.
TEST(ConfigJsonRead, MissingMembersTakeTheirDefaults) {
  struct Case {
    const char* name;
    const char* document;
    std::function<void(Config&)> expect;
  };
  const Case cases[] = {
      {"channel with only an id", R"({"channels": [{"id": "mic"}]})",
       [](Config& c) { c.channels = {channel("mic")}; }},
      {"channel members in another order, ints for floats, null slot",
       R"({"channels": [{"ingest_slot": null, "pan": -1, "kind": "mono", "id": "m", "main_gain": 2}]})",
       [](Config& c) {
         c.channels = {channel("m", [](ChannelConfig& ch) {
           ch.kind = ChannelKind::kMono;
           ch.main_gain = 2.0f;
           ch.pan = -1.0f;
         })};
       }},
      {"buses with only main_gain", R"({"channels": [], "buses": {"main_gain": 0.5}})",
       [](Config& c) { c.buses.main_gain = 0.5f; }},
      {"explicit null midi", R"({"channels": [], "midi": null})", [](Config&) {}},
      {"empty midi object", R"({"channels": [], "midi": {}})", [](Config& c) { c.midi = MidiConfig{}; }},
      {"midi with null state file and port",
       R"({"channels": [], "midi": {"midi_state_file": null, "osc_feedback_port": null}})",
       [](Config& c) {
         c.midi = MidiConfig{};
         c.midi->midi_state_file = std::nullopt;
       }},
      {"echo with no parameters", R"({"channels": [], "buses": {"cue_dsp": {"plugins": [{"type": "echo"}]}}})",
       [](Config& c) { c.buses.cue_dsp.plugins = {PluginConfig{}}; }},
      {"filter with only freq_hz", R"({"channels": [], "buses": {"main_dsp": {"plugins": [
         {"freq_hz": 100, "type": "low_pass"}]}}})",
       [](Config& c) {
         c.buses.main_dsp.plugins = {PluginConfig{.kind = PluginKind::kLowPass, .freq_hz = 100.0f}};
       }},
      {"dsp object without plugins", R"({"channels": [], "buses": {"main_dsp": {}}})", [](Config&) {}},
      {"ingest with senders only", R"({"channels": [], "ingest": {"sender": [
         {"name": "a", "channels": 2, "start_slot": 4}]}})",
       [](Config& c) { c.ingest.sender = {{"a", 2, 4}}; }},
      {"sink with required members only", R"({"channels": [], "local_relay_sink": [
         {"name": "b", "ports": ["l", "r"]}]})",
       [](Config& c) { c.local_relay_sink = {{"b", "", {"l", "r"}, "main"}}; }},
      {"multicast partly given", R"({"channels": [], "multicast": {"enabled": true}})",
       [](Config& c) { c.multicast.enabled = true; }},
      {"unknown members anywhere", R"({"channels": [{"id": "x", "comment": [1, {"a": null}]}], "_note": "hi",
         "buses": {"extra": 1}, "midi": {"x": true}})",
       [](Config& c) {
         c.channels = {channel("x")};
         c.midi = MidiConfig{};
       }},
      {"largest values of each width", R"({"channels": [], "control_port": 65535, "ramp_ms": 4294967295,
         "ingest": {"slot_count": 18446744073709551615}, "multicast": {"ttl": 4294967295}})",
       [](Config& c) {
         c.control_port = 65535;
         c.ramp_ms = 4294967295u;
         c.ingest.slot_count = 18446744073709551615u;
         c.multicast.ttl = 4294967295u;
       }},
  };
  for (const auto& tc : cases) {
    Config expected;
    tc.expect(expected);
    try {
      EXPECT_EQ(config_from_json_text(tc.document), expected) << tc.name;
    } catch (const Error& e) {
      ADD_FAILURE() << tc.name << ": " << e.joined();
    }
  }
}

TEST(ConfigJsonRead, MidiStateFileDefaultsOnlyWhenMissing) {
  const Config missing = config_from_json_text(R"({"channels": [], "midi": {"listen_port": 1}})");
  ASSERT_TRUE(missing.midi.has_value());
  EXPECT_EQ(missing.midi->midi_state_file, std::optional<std::string>("/home/vantle/mixer-state/midi-state.json"));
  const Config null = config_from_json_text(R"({"channels": [], "midi": {"midi_state_file": null}})");
  EXPECT_EQ(null.midi->midi_state_file, std::nullopt);
}

TEST(ConfigJsonRead, ErrorsNameTheProblemAndWhereItIs) {
  struct Case {
    const char* document;
    const char* message;
  };
  const Case cases[] = {
      {"{}", "missing field `channels`"},
      {"[]", "invalid type: expected a configuration object, got an array"},
      {R"({"channels": {}})", "invalid type for `channels`: expected an array, got an object"},
      {R"({"channels": [], "control_port": 70000})",
       "invalid value for `control_port`: 70000 is out of range (at most 65535)"},
      {R"({"channels": [], "broadcast_port": -1})",
       "invalid type for `broadcast_port`: expected an unsigned integer, got -1"},
      {R"({"channels": [], "ramp_ms": 1.5})", "invalid type for `ramp_ms`: expected an unsigned integer, got 1.5"},
      {R"({"channels": [], "jack_name": null})", "invalid type for `jack_name`: expected a string, got null"},
      {R"({"channels": [], "buses": null})", "invalid type for `buses`: expected an object, got null"},
      {R"({"channels": [], "midi": 5})", "invalid type for `midi`: expected an object or null, got 5"},
      {R"({"channels": [{"id": "a"}, 5]})", "channels[1]: invalid type: expected a channel object, got 5"},
      {R"({"channels": [{"id": "a"}, {"label": "b"}]})", "channels[1]: missing field `id`"},
      {R"({"channels": [{"id": "a", "kind": "Stereo"}]})",
       "channels[0]: invalid value for `kind`: expected \"stereo\" or \"mono\", got \"Stereo\""},
      {R"({"channels": [{"id": "a", "main_muted": 1}]})",
       "channels[0]: invalid type for `main_muted`: expected a boolean, got 1"},
      {R"({"channels": [{"id": "a", "pan": "left"}]})",
       "channels[0]: invalid type for `pan`: expected a number, got \"left\""},
      {R"({"channels": [{"id": "a", "main_gain": 1e39}]})",
       "channels[0]: invalid value for `main_gain`: 1e+39 is out of range for a 32-bit float"},
      {R"({"channels": [{"id": "a", "ingest_slot": 18446744073709551616}]})",
       "channels[0]: invalid type for `ingest_slot`: expected an unsigned integer, got 1.8446744073709552e+19"},
      {R"({"channels": [], "buses": {"main": ["a", "b", "c"]}})",
       "buses: invalid length for `main`: expected an array of two strings, got 3 elements"},
      {R"({"channels": [], "buses": {"cue_relay": ["a"]}})",
       "buses: invalid length for `cue_relay`: expected an array of two strings, got 1 elements"},
      {R"({"channels": [], "buses": {"monitor": ["a", 2]}})",
       "buses: invalid type for `monitor[1]`: expected a string, got 2"},
      {R"({"channels": [], "buses": {"monitor": "a"}})",
       "buses: invalid type for `monitor`: expected an array of two strings, got \"a\""},
      {R"({"channels": [], "buses": {"main_dsp": {"plugins": [{"type": "low_pass"}]}}})",
       "buses.main_dsp.plugins[0]: missing field `freq_hz`"},
      {R"({"channels": [], "buses": {"cue_dsp": {"plugins": [{"type": "echo"}, {"type": "delay"}]}}})",
       "buses.cue_dsp.plugins[1]: missing field `delay_ms`"},
      {R"({"channels": [], "buses": {"monitor_dsp": {"plugins": [{"type": "chorus"}]}}})",
       "buses.monitor_dsp.plugins[0]: unknown plugin type \"chorus\", expected one of echo, reverb, high_pass, "
       "low_pass, mid_pass, delay"},
      {R"({"channels": [], "buses": {"main_dsp": {"plugins": [{"freq_hz": 1}]}}})",
       "buses.main_dsp.plugins[0]: missing field `type`"},
      {R"({"channels": [], "buses": {"main_dsp": {"plugins": {}}}})",
       "buses.main_dsp: invalid type for `plugins`: expected an array, got an object"},
      {R"({"channels": [], "autoconnect": [{"src": "a"}]})", "autoconnect[0]: missing field `dst`"},
      {R"({"channels": [], "ingest": {"sender": [{"name": "a", "channels": 256, "start_slot": 0}]}})",
       "ingest.sender[0]: invalid value for `channels`: 256 is out of range (at most 255)"},
      {R"({"channels": [], "ingest": {"sender": [{"name": "a", "channels": 1}]}})",
       "ingest.sender[0]: missing field `start_slot`"},
      {R"({"channels": [], "local_relay_sink": [{"name": "a"}]})", "local_relay_sink[0]: missing field `ports`"},
      {R"({"channels": [], "midi": {"osc_feedback_port": 65536}})",
       "midi: invalid value for `osc_feedback_port`: 65536 is out of range (at most 65535)"},
      {R"({"channels": [], "midi": {"mode_keys": {"C4": 1}}})",
       "midi: invalid type for `mode_keys.C4`: expected a string, got 1"},
      {R"({"channels": [], "midi": {"fader_step": null}})",
       "midi: invalid type for `fader_step`: expected a number, got null"},
      {R"({"channels": [], "multicast": {"ttl": 4294967296}})",
       "multicast: invalid value for `ttl`: 4294967296 is out of range (at most 4294967295)"},
      {R"({"channels": [{"id": "a", "id": "b"}]})", "duplicate field `id`"},
  };
  for (const auto& tc : cases) EXPECT_EQ(read_error(tc.document), tc.message) << tc.document;
}

TEST(ConfigJsonRead, MalformedTextIsRefusedWithItsPosition) {
  for (const char* text : {"", "{\"channels\": []", "{\"channels\": []} {}", "{\"channels\": [],}",
                           "\xEF\xBB\xBF{\"channels\": []}"}) {
    const std::string message = read_error(text);
    EXPECT_NE(message, "(no error)") << text;
    EXPECT_NE(message.find("line 1, column"), std::string::npos) << message;
  }
}

TEST(ConfigJsonWrite, ExactStoredLayout) {
  Config c;
  c.jack_name = "studio";
  c.ramp_ms = 40;
  c.channels = {{"mic", "Mic 1", ChannelKind::kMono, 0.8f, true, 0.05f, 0.0f, -0.25f, 3}, channel("aux")};
  c.buses.main_dsp.plugins = {PluginConfig{.kind = PluginKind::kDelay, .delay_ms = 200.0f}};
  c.buses.cue_relay_on = false;
  c.autoconnect = {{"system:capture_1", "studio:mic_in"}};
  c.ingest = {4, {{"desk", 2, 0}}};
  c.midi = MidiConfig{};
  c.midi->midi_state_file = std::nullopt;
  c.midi->osc_feedback_port = 9000;
  c.midi->mode_keys = {{"C4", "fader"}, {"A3", "mute"}};
  c.multicast.enabled = true;

  const std::string expected = R"({
  "jack_name": "studio",
  "control_port": 19997,
  "control_bind": "127.0.0.1",
  "broadcast_port": 5005,
  "broadcast_frames": 160,
  "meters_file": "/home/vantle/mixer-state/meters.json",
  "gains_file": "/home/vantle/mixer-state/gains.json",
  "scenes_file": "/home/vantle/mixer-state/scenes.json",
  "relay_assignments_file": "/home/vantle/mixer-state/relay-assignments.json",
  "session_delay_file": "/home/vantle/mixer-state/session-delays.json",
  "ramp_ms": 40,
  "channels": [
    {
      "id": "mic",
      "label": "Mic 1",
      "kind": "mono",
      "main_gain": 0.8,
      "main_muted": true,
      "monitor_gain": 0.05,
      "cue_gain": 0.0,
      "pan": -0.25,
      "ingest_slot": 3
    },
    {
      "id": "aux",
      "label": "",
      "kind": "stereo",
      "main_gain": 1.0,
      "main_muted": false,
      "monitor_gain": 0.0,
      "cue_gain": 0.0,
      "pan": 0.0,
      "ingest_slot": null
    }
  ],
  "buses": {
    "main": [
      "out_1",
      "out_2"
    ],
    "main_gain": 1.0,
    "monitor": [
      "monitor_out_1",
      "monitor_out_2"
    ],
    "monitor_gain": 1.0,
    "cue": [
      "cue_out_1",
      "cue_out_2"
    ],
    "cue_gain": 1.0,
    "main_relay": [
      "main_relay_line_1",
      "main_relay_line_2"
    ],
    "main_relay_gain": 1.0,
    "main_relay_on": true,
    "monitor_relay": [
      "monitor_relay_line_1",
      "monitor_relay_line_2"
    ],
    "monitor_relay_gain": 1.0,
    "monitor_relay_on": true,
    "cue_relay": [
      "cue_relay_line_1",
      "cue_relay_line_2"
    ],
    "cue_relay_gain": 1.0,
    "cue_relay_on": false,
    "main_dsp": {
      "plugins": [
        {
          "type": "delay",
          "delay_ms": 200.0
        }
      ]
    },
    "monitor_dsp": {
      "plugins": []
    },
    "cue_dsp": {
      "plugins": []
    }
  },
  "autoconnect": [
    {
      "src": "system:capture_1",
      "dst": "studio:mic_in"
    }
  ],
  "ingest": {
    "slot_count": 4,
    "sender": [
      {
        "name": "desk",
        "channels": 2,
        "start_slot": 0
      }
    ]
  },
  "local_relay_sink": [],
  "midi": {
    "listen_port": 19999,
    "ardour_osc": "127.0.0.1:3819",
    "idle_timeout_ms": 3000,
    "fader_step": 0.05,
    "midi_state_file": null,
    "osc_feedback_port": 9000,
    "mode_keys": {
      "A3": "mute",
      "C4": "fader"
    },
    "channel_keys": {},
    "channel_action_keys": {},
    "transport_keys": {},
    "navigation_keys": {}
  },
  "multicast": {
    "enabled": true,
    "group_addr": "239.0.0.1",
    "group_port": 5006,
    "ttl": 1
  }
})";
  EXPECT_EQ(config_to_json_text(c), expected);
}

TEST(ConfigJsonWrite, AbsentOptionalsAreWrittenAsNull) {
  Config c;
  c.midi = MidiConfig{};
  const json::Json with_midi = config_to_json(c);
  EXPECT_EQ(with_midi["midi"]["midi_state_file"], "/home/vantle/mixer-state/midi-state.json");
  EXPECT_TRUE(with_midi["midi"]["osc_feedback_port"].is_null());
  const std::string text = config_to_json_text(Config{});
  EXPECT_NE(text.find("\n  \"midi\": null,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  \"channels\": [],\n"), std::string::npos) << text;
}

TEST(ConfigJsonWrite, PluginsWriteTypeFirstAndOnlyTheirOwnParameters) {
  struct Case {
    PluginKind kind;
    const char* json;
  };
  const Case cases[] = {
      {PluginKind::kEcho, R"({"type":"echo","delay_ms":200.0,"feedback":0.3,"mix":0.25})"},
      {PluginKind::kReverb, R"({"type":"reverb","wet_mix":0.3,"decay":0.5})"},
      {PluginKind::kHighPass, R"({"type":"high_pass","freq_hz":0.0,"q":0.707})"},
      {PluginKind::kLowPass, R"({"type":"low_pass","freq_hz":0.0,"q":0.707})"},
      {PluginKind::kMidPass, R"({"type":"mid_pass","freq_hz":0.0,"q":0.707})"},
      {PluginKind::kDelay, R"({"type":"delay","delay_ms":200.0})"},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(plugin_to_json(PluginConfig{.kind = tc.kind}).dump(), tc.json);
    EXPECT_EQ(plugin_from_json(json::parse(tc.json)), PluginConfig{.kind = tc.kind}) << tc.json;
  }
}

TEST(ConfigJsonWrite, WidenedFormShowsDoublePrecision) {
  Config c;
  c.channels = {channel("a", [](ChannelConfig& ch) { ch.main_gain = 0.8f; })};
  c.buses.main_dsp.plugins = {PluginConfig{.kind = PluginKind::kReverb, .wet_mix = 0.1f}};
  const json::Json shortest = config_to_json(c);
  const json::Json widened = config_to_json(c, FloatForm::kWidened);
  EXPECT_EQ(shortest["channels"][0]["main_gain"].dump(), "0.8");
  EXPECT_EQ(widened["channels"][0]["main_gain"].dump(), "0.800000011920929");
  EXPECT_EQ(widened["buses"]["main_dsp"]["plugins"][0]["wet_mix"].dump(), "0.10000000149011612");
  // Same members, same order, and both read back to the same configuration.
  EXPECT_EQ(config_from_json(widened), c);
  EXPECT_EQ(config_from_json(shortest), c);
}

TEST(ConfigJsonRoundTrip, RichConfigurationReadsBackEqual) {
  const Config original = rich_config();
  const std::string text = config_to_json_text(original);
  const Config read = config_from_json_text(text);
  EXPECT_EQ(read, original);
  EXPECT_EQ(config_to_json_text(read), text);
  EXPECT_EQ(config_from_json(config_to_json(original, FloatForm::kWidened)), original);
}

TEST(ConfigJsonRoundTrip, UnknownMembersAreDroppedOnRewrite) {
  const Config c = config_from_json_text(R"({"//": "studio B", "channels": [{"id": "a", "note": 1}]})");
  const std::string text = config_to_json_text(c);
  EXPECT_EQ(text.find("studio B"), std::string::npos);
  EXPECT_EQ(text.find("note"), std::string::npos);
  EXPECT_EQ(config_from_json_text(text), c);
}

// The file form must give back the exact 32-bit value, or every save would drift.
TEST(ConfigJsonRoundTrip, EveryFiniteFloatReadsBackBitExact) {
  std::vector<float> values = {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                               std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
                               -0.0f, 16777217.0f, 0.1f, 1.0f / 3.0f};
  std::mt19937 random(20240611);
  while (values.size() < 20000) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isfinite(f)) values.push_back(f);
  }
  Config c;
  c.channels = {channel("x")};
  for (float f : values) {
    c.channels[0].pan = f;
    const Config back = config_from_json_text(config_to_json_text(c));
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back.channels[0].pan), std::bit_cast<std::uint32_t>(f))
        << json::format_f32(f);
  }
}

TEST(PluginConfigEquality, ComparesOnlyTheParametersOfTheKind) {
  const PluginConfig echo{.kind = PluginKind::kEcho};
  EXPECT_EQ(echo, (PluginConfig{.kind = PluginKind::kEcho, .freq_hz = 500.0f, .q = 3.0f}));
  EXPECT_NE(echo, (PluginConfig{.kind = PluginKind::kEcho, .mix = 0.5f}));
  EXPECT_NE(echo, (PluginConfig{.kind = PluginKind::kDelay}));
  const PluginConfig delay{.kind = PluginKind::kDelay, .delay_ms = 10.0f};
  EXPECT_EQ(delay, (PluginConfig{.kind = PluginKind::kDelay, .delay_ms = 10.0f, .feedback = 0.9f}));
  EXPECT_NE((PluginConfig{.kind = PluginKind::kLowPass, .freq_hz = 100.0f}),
            (PluginConfig{.kind = PluginKind::kHighPass, .freq_hz = 100.0f}));
  const PluginConfig nan_filter{.kind = PluginKind::kMidPass, .freq_hz = std::numeric_limits<float>::quiet_NaN()};
  EXPECT_NE(nan_filter, nan_filter);
}

}  // namespace
}  // namespace vantle::config

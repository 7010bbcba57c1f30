#include <gtest/gtest.h>

#include <string>

#include "config/config_json.hpp"
#include "config/storage.hpp"
#include "util/error.hpp"

namespace vantle::config {
namespace {

std::string toml_error(const std::string& text) {
  try {
    config_from_toml_text(text);
  } catch (const Error& e) {
    return e.joined();
  }
  return "(no error)";
}

// The same configuration in both forms: the legacy layout (tables, arrays of
// tables, a comment, no nulls) must give what the JSON form gives.
TEST(ConfigToml, ReadsTheSameConfigurationAsTheJsonForm) {
  const std::string toml = R"(# studio B desk
jack_name = "studio-b"
control_port = 20001
ramp_ms = 40
comment = "ignored"

[[channels]]
id = "mic"
label = "Host"
kind = "mono"
main_gain = 0.8
main_muted = true
pan = -1
ingest_slot = 2

[[channels]]
id = "phone"

[buses]
main = ["pgm_l", "pgm_r"]
cue_relay_on = false

[[buses.main_dsp.plugins]]
type = "low_pass"
freq_hz = 12000

[[buses.main_dsp.plugins]]
type = "echo"
mix = 0.5

[[buses.cue_dsp.plugins]]
type = "delay"
delay_ms = 12.5

[[autoconnect]]
src = "system:capture_1"
dst = "studio-b:mic_in"

[ingest]
slot_count = 4

[[ingest.sender]]
name = "remote"
channels = 2
start_slot = 0

[[local_relay_sink]]
name = "booth"
ports = ["booth_l", "booth_r"]
default_bus = "cue"

[midi]
listen_port = 20999
osc_feedback_port = 8000

[midi.mode_keys]
C4 = "fader"
"C#4" = "mute"

[multicast]
enabled = true
ttl = 3
)";
  const std::string json = R"({
  "jack_name": "studio-b", "control_port": 20001, "ramp_ms": 40,
  "channels": [
    {"id": "mic", "label": "Host", "kind": "mono", "main_gain": 0.8, "main_muted": true, "pan": -1.0,
     "ingest_slot": 2},
    {"id": "phone"}
  ],
  "buses": {
    "main": ["pgm_l", "pgm_r"], "cue_relay_on": false,
    "main_dsp": {"plugins": [{"type": "low_pass", "freq_hz": 12000.0}, {"type": "echo", "mix": 0.5}]},
    "cue_dsp": {"plugins": [{"type": "delay", "delay_ms": 12.5}]}
  },
  "autoconnect": [{"src": "system:capture_1", "dst": "studio-b:mic_in"}],
  "ingest": {"slot_count": 4, "sender": [{"name": "remote", "channels": 2, "start_slot": 0}]},
  "local_relay_sink": [{"name": "booth", "ports": ["booth_l", "booth_r"], "default_bus": "cue"}],
  "midi": {"listen_port": 20999, "osc_feedback_port": 8000, "mode_keys": {"C4": "fader", "C#4": "mute"}},
  "multicast": {"enabled": true, "ttl": 3}
})";
  const Config from_toml = config_from_toml_text(toml);
  EXPECT_EQ(from_toml, config_from_json_text(json));
  // TOML cannot say null, so a midi table always has the default state file.
  ASSERT_TRUE(from_toml.midi.has_value());
  EXPECT_EQ(from_toml.midi->midi_state_file, std::optional<std::string>(kDefaultMidiStateFile));
}

TEST(ConfigToml, LeadingByteOrderMarkIsSkipped) {
  EXPECT_EQ(config_from_toml_text("\xEF\xBB\xBF" "channels = []\n"), Config{});
}

TEST(ConfigToml, DatesAndTimesAreOnlyAcceptedWhereNothingReadsThem) {
  // An unknown member may hold anything TOML allows.
  EXPECT_EQ(config_from_toml_text("channels = []\nupdated = 2024-05-01T10:00:00Z\n"), Config{});
}

TEST(ConfigToml, ErrorsNameTheProblem) {
  struct Case {
    const char* document;
    const char* message;
  };
  const Case cases[] = {
      {"", "missing field `channels`"},
      {"jack_name = \"x\"\n", "missing field `channels`"},
      {"channels = []\njack_name = 1979-05-27T07:32:00Z\n",
       "invalid type for `jack_name`: expected a string, got 1979-05-27T07:32:00Z"},
      {"[[channels]]\nid = \"a\"\nmain_gain = 07:32:00\n",
       "channels[0]: invalid type for `main_gain`: expected a number, got 07:32:00"},
      {"channels = []\nbuses = 1979-05-27\n", "invalid type for `buses`: expected an object, got 1979-05-27"},
      {"channels = []\ncontrol_port = -5\n", "invalid type for `control_port`: expected an unsigned integer, got -5"},
      {"channels = []\ncontrol_port = 70000\n",
       "invalid value for `control_port`: 70000 is out of range (at most 65535)"},
      {"[[channels]]\nid = \"a\"\npan = nan\n", "channels[0]: invalid value for `pan`: nan is out of range for a 32-bit float"},
      {"[[channels]]\nid = \"a\"\nmain_gain = -inf\n",
       "channels[0]: invalid value for `main_gain`: -inf is out of range for a 32-bit float"},
      {"channels = []\n[[buses.monitor_dsp.plugins]]\ntype = \"high_pass\"\n",
       "buses.monitor_dsp.plugins[0]: missing field `freq_hz`"},
      {"channels = []\n[buses]\nmain = [\"a\"]\n",
       "buses: invalid length for `main`: expected an array of two strings, got 1 elements"},
  };
  for (const auto& tc : cases) EXPECT_EQ(toml_error(tc.document), tc.message) << tc.document;
}

TEST(ConfigToml, MalformedDocumentsReportTheirPosition) {
  struct Case {
    const char* document;
    const char* position;
  };
  const Case cases[] = {
      {"channels = []\nchannels = []\n", "at line 2, column"},
      {"channels = []\n[midi\n", "at line 2, column"},
      {"channels = [\n", "at line 1, column"},
      {"channels = []\nx = \"\xEF\xBB\xBF\n", "at line 2, column"},
      // A byte-order mark anywhere but at the very start is not skipped.
      {"\n\xEF\xBB\xBF" "channels = []\n", "at line 2, column 1"},
  };
  for (const auto& tc : cases) {
    const std::string message = toml_error(tc.document);
    EXPECT_NE(message.find(tc.position), std::string::npos) << tc.document << " -> " << message;
  }
}

// Deep nesting used to be handed straight to the TOML library, whose recursion
// overflows the stack long before it reports anything.
TEST(ConfigToml, RunawayNestingIsRefusedWithoutCrashing) {
  std::string dotted_header = "channels = []\n[a";
  for (int i = 0; i < 100000; ++i) dotted_header += ".a";
  dotted_header += "]\n";
  EXPECT_EQ(toml_error(dotted_header), "line 2 nests tables, keys or arrays more than 512 levels deep");

  // Dotted keys spread over the lines of one multi-line array add up as well.
  std::string spread = "channels = []\nx = [\n";
  for (int i = 0; i < 2000; ++i) spread += "{a.a.a.a.a.a.a.a.a.a = [\n";
  EXPECT_NE(toml_error(spread).find("levels deep"), std::string::npos);

  // Dots and brackets inside strings and comments, or spread over many statements, do not count.
  std::string harmless = "channels = []\n";
  const std::string dots(2000, '.');
  harmless += "a = \"" + dots + "[[[{{{\"\n";
  harmless += "b = '" + dots + "'\n";
  harmless += "c = \"\"\"\n" + dots + "\n\"\"\"\n";
  harmless += "# " + dots + "\n";
  for (int i = 0; i < 600; ++i) harmless += "[t" + std::to_string(i) + ".u.v]\nx.y = 1.5\n";
  EXPECT_EQ(toml_error(harmless), "(no error)");

  // Legitimate but unusual nesting well past what the configuration uses still reads.
  std::string deep_enough = "channels = []\n[x";
  for (int i = 0; i < 40; ++i) deep_enough += ".y";
  deep_enough += "]\nz = 1\n";
  EXPECT_EQ(toml_error(deep_enough), "(no error)");
}

}  // namespace
}  // namespace vantle::config

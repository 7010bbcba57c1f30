// The static description of one mixer: JACK name, network ports, channels, buses,
// senders, local sinks, MIDI surface, multicast and state file paths. A `Mixer` is
// built from one `Config` and keeps its own copy unchanged for its whole life.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantle::config {

// A pair of JACK port names: left, then right.
using PortPair = std::array<std::string, 2>;

enum class ChannelKind { kStereo, kMono };

struct ChannelConfig {
  std::string id;
  std::string label;
  ChannelKind kind = ChannelKind::kStereo;
  float main_gain = 1.0f;
  bool main_muted = false;
  float monitor_gain = 0.0f;
  float cue_gain = 0.0f;
  float pan = 0.0f;
  std::optional<std::uint64_t> ingest_slot;

  bool operator==(const ChannelConfig&) const = default;
};

enum class PluginKind : std::uint8_t { kEcho, kReverb, kHighPass, kLowPass, kMidPass, kDelay };

// One bus plugin. Only the parameters of its kind are meaningful; the others keep
// their defaults and are neither written nor compared.
struct PluginConfig {
  PluginKind kind = PluginKind::kEcho;
  float delay_ms = 200.0f;  // echo (default 200), delay (required)
  float feedback = 0.3f;    // echo
  float mix = 0.25f;        // echo
  float wet_mix = 0.3f;     // reverb
  float decay = 0.5f;       // reverb
  float freq_hz = 0.0f;     // filters (required)
  float q = 0.707f;         // filters

  // Same kind and equal parameters of that kind, compared as floats (NaN never equal).
  bool operator==(const PluginConfig& other) const;
};

const char* plugin_type_name(PluginKind kind);

struct BusDspConfig {
  std::vector<PluginConfig> plugins;
  bool operator==(const BusDspConfig&) const = default;
};

struct BusConfig {
  PortPair main{"out_1", "out_2"};
  float main_gain = 1.0f;
  PortPair monitor{"monitor_out_1", "monitor_out_2"};
  float monitor_gain = 1.0f;
  PortPair cue{"cue_out_1", "cue_out_2"};
  float cue_gain = 1.0f;
  PortPair main_relay{"main_relay_line_1", "main_relay_line_2"};
  float main_relay_gain = 1.0f;
  bool main_relay_on = true;
  PortPair monitor_relay{"monitor_relay_line_1", "monitor_relay_line_2"};
  float monitor_relay_gain = 1.0f;
  bool monitor_relay_on = true;
  PortPair cue_relay{"cue_relay_line_1", "cue_relay_line_2"};
  float cue_relay_gain = 1.0f;
  bool cue_relay_on = true;
  BusDspConfig main_dsp;
  BusDspConfig monitor_dsp;
  BusDspConfig cue_dsp;

  bool operator==(const BusConfig&) const = default;
};

struct AutoConnect {
  std::string src;
  std::string dst;
  bool operator==(const AutoConnect&) const = default;
};

struct SenderConfig {
  std::string name;
  std::uint8_t channels = 0;
  std::uint64_t start_slot = 0;
  bool operator==(const SenderConfig&) const = default;
};

struct IngestConfig {
  std::uint64_t slot_count = 0;
  std::vector<SenderConfig> sender;
  bool operator==(const IngestConfig&) const = default;
};

struct LocalRelaySinkConfig {
  std::string name;
  std::string label;
  PortPair ports;
  std::string default_bus = "main";
  bool operator==(const LocalRelaySinkConfig&) const = default;
};

inline constexpr const char* kDefaultMidiStateFile = "/home/vantle/mixer-state/midi-state.json";

struct MidiConfig {
  std::uint16_t listen_port = 19999;
  std::string ardour_osc = "127.0.0.1:3819";
  std::uint64_t idle_timeout_ms = 3000;
  float fader_step = 0.05f;
  std::optional<std::string> midi_state_file = std::string(kDefaultMidiStateFile);
  std::optional<std::uint16_t> osc_feedback_port;
  std::map<std::string, std::string> mode_keys;
  std::map<std::string, std::string> channel_keys;
  std::map<std::string, std::string> channel_action_keys;
  std::map<std::string, std::string> transport_keys;
  std::map<std::string, std::string> navigation_keys;

  bool operator==(const MidiConfig&) const = default;
};

struct MulticastConfig {
  bool enabled = false;
  std::string group_addr = "239.0.0.1";
  std::uint16_t group_port = 5006;
  std::uint32_t ttl = 1;
  bool operator==(const MulticastConfig&) const = default;
};

struct Config {
  std::string jack_name = "vantle-mixer";
  std::uint16_t control_port = 19997;
  std::string control_bind = "127.0.0.1";
  std::uint16_t broadcast_port = 5005;
  std::uint16_t broadcast_frames = 160;
  std::string meters_file = "/home/vantle/mixer-state/meters.json";
  std::string gains_file = "/home/vantle/mixer-state/gains.json";
  std::string scenes_file = "/home/vantle/mixer-state/scenes.json";
  std::string relay_assignments_file = "/home/vantle/mixer-state/relay-assignments.json";
  std::string session_delay_file = "/home/vantle/mixer-state/session-delays.json";
  std::uint32_t ramp_ms = 150;
  std::vector<ChannelConfig> channels;
  BusConfig buses;
  std::vector<AutoConnect> autoconnect;
  IngestConfig ingest;
  std::vector<LocalRelaySinkConfig> local_relay_sink;
  std::optional<MidiConfig> midi;
  MulticastConfig multicast;

  bool operator==(const Config&) const = default;
};

}  // namespace vantle::config

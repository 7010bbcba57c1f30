// The MIDI control surface: Note On messages arriving over UDP drive a small mode
// machine whose keys select channels, nudge their main faders, toggle their main
// mutes and drive Ardour's transport and markers over OSC.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/config.hpp"
#include "engine/live_scene.hpp"
#include "midi/key_map.hpp"
#include "midi/midi_state.hpp"
#include "midi/osc.hpp"
#include "util/lifeline.hpp"

namespace vantle::midi {

struct SurfaceMode {
  enum class Kind { kIdle, kChannelSelect, kChannelControl, kTransport, kNavigation };

  Kind kind = Kind::kIdle;
  std::string channel;  // the selected channel id, in kChannelControl only

  static SurfaceMode of(Kind kind) { return SurfaceMode{kind, {}}; }
  static SurfaceMode channel_control(std::string id) { return SurfaceMode{Kind::kChannelControl, std::move(id)}; }

  // "idle", "channel_select", "channel_control", "transport", "navigation".
  const char* name() const;

  bool operator==(const SurfaceMode&) const = default;
};

// Where the surface's OSC messages go: an `OscSender` in the mixer, a recorder in tests.
using OscSend = std::function<void(const std::string& address, const std::vector<OscArgument>& arguments)>;

// The mode machine with its key maps and channel tables. Everything but `state()`
// belongs to the "midi" thread.
class Surface {
 public:
  // `channel_ids` in their configured order; a channel's Ardour strip is its place + 1.
  Surface(const config::MidiConfig& midi, std::vector<std::string> channel_ids,
          std::shared_ptr<engine::LiveScene> scene, OscSend osc);

  // One datagram from the MIDI port. Only a Note On with a velocity above 0 is a key
  // press; anything else changes nothing. Returns whether it was a key press.
  bool handle_datagram(std::span<const std::uint8_t> bytes, std::uint64_t timestamp_ms);

  // One key press: applies it to the mode machine and publishes the new state.
  void press(std::uint8_t note, std::uint8_t velocity, std::uint64_t timestamp_ms);

  const SurfaceMode& mode() const { return mode_; }
  const std::shared_ptr<SharedMidiState>& state() const { return state_; }

 private:
  std::optional<std::string> action_text(std::uint8_t note) const;
  SurfaceMode apply(std::uint8_t note);
  SurfaceMode apply_mode_key(const std::string& action);
  SurfaceMode mode_from_action(const std::string& action) const;
  SurfaceMode select_channel(const std::string& id);
  SurfaceMode step_channel(const std::string& action);
  void change_channel(const std::string& action);
  void send_command(const std::string& action, bool navigation);

  KeyMap mode_keys_, channel_keys_, channel_action_keys_, transport_keys_, navigation_keys_;
  float fader_step_;
  std::vector<std::string> order_;
  std::unordered_map<std::string, std::size_t> positions_;
  std::shared_ptr<engine::LiveScene> scene_;
  OscSend osc_;
  SurfaceMode mode_;
  std::shared_ptr<SharedMidiState> state_ = std::make_shared<SharedMidiState>();
};

// Starts the MIDI surface: the listener socket on 0.0.0.0:listen_port (200 ms receive
// timeout), the OSC sender, the OSC feedback listener when configured, and the "midi"
// thread, which starts the state writer when a state file is configured. Everything
// ends with `lifeline`. Throws Error naming the step that failed; the `Mixer` then
// runs without a surface.
void start_midi_surface(const config::MidiConfig& midi, std::vector<std::string> channel_ids,
                        std::shared_ptr<engine::LiveScene> scene, Lifeline lifeline);

}  // namespace vantle::midi

// What the MIDI surface is doing (mode, selected channel, the last keys), kept by
// the "midi" thread and written to a JSON file ten times a second by the
// "midi-state-writer" thread for displays and the control plane.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "util/lifeline.hpp"

namespace vantle::midi {

struct MidiKeyEvent {
  std::string note;           // display name, "C4"
  std::uint8_t velocity = 0;  // 1..127
  std::uint64_t timestamp_ms = 0;  // since the MIDI thread began receiving
  std::optional<std::string> action;  // "mode:transport", "select:mic", "fader_up", or none

  bool operator==(const MidiKeyEvent&) const = default;
};

struct MidiState {
  std::string mode = "idle";
  std::optional<std::string> channel;  // set in "channel_control" only
  std::optional<MidiKeyEvent> last_key;
  std::vector<MidiKeyEvent> recent_keys;  // oldest first

  bool operator==(const MidiState&) const = default;
};

// How long a key stays in "recent_keys", and how many stay at most.
inline constexpr std::uint64_t kRecentWindowMs = 3000;
inline constexpr std::size_t kRecentKeysMax = 8;

// The state after one accepted key press that leaves the surface in `mode`.
void apply_key_press(MidiState& state, std::string mode, std::optional<std::string> channel, MidiKeyEvent event);

// The file's content: compact JSON, members in byte order, then a line feed.
std::string encode_midi_state(const MidiState& state);

// The state shared between the "midi" thread, which updates it after each key, and
// the writer, which copies it. The lock is never held across file or socket work.
class SharedMidiState {
 public:
  // "midi" thread.
  void update(std::string mode, std::optional<std::string> channel, MidiKeyEvent event);
  // Any thread.
  MidiState snapshot() const;

 private:
  mutable std::mutex mutex_;
  MidiState state_;
};

// Replaces `path` with `content` through its "json.tmp" sibling. Returns whether it
// worked; the writer retries on its next pass, so failures are not reported.
bool write_midi_state_file(const std::filesystem::path& path, const std::string& content);

// Starts "midi-state-writer": every 100 ms the state goes to `path` until `lifeline`
// ends. Throws Error with the context "spawn midi-state-writer".
void start_midi_state_writer(std::filesystem::path path, std::shared_ptr<SharedMidiState> state, Lifeline lifeline);

}  // namespace vantle::midi

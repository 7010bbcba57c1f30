#include "midi/midi_state.hpp"

#include <algorithm>

#include "util/error.hpp"
#include "util/files.hpp"
#include "util/json.hpp"
#include "util/threads.hpp"

namespace vantle::midi {

namespace {

constexpr auto kWritePeriod = std::chrono::milliseconds(100);

json::Json event_json(const MidiKeyEvent& event) {
  json::Json out = json::Json::object();
  out["action"] = event.action ? json::Json(*event.action) : json::Json(nullptr);
  out["note"] = event.note;
  out["timestamp_ms"] = event.timestamp_ms;
  out["velocity"] = event.velocity;
  return out;
}

}  // namespace

void apply_key_press(MidiState& state, std::string mode, std::optional<std::string> channel, MidiKeyEvent event) {
  state.mode = std::move(mode);
  state.channel = std::move(channel);
  state.last_key = event;
  const std::uint64_t now = event.timestamp_ms;
  auto& recent = state.recent_keys;
  recent.push_back(std::move(event));
  std::erase_if(recent, [now](const MidiKeyEvent& old) {
    const std::uint64_t age = now > old.timestamp_ms ? now - old.timestamp_ms : 0;
    return age >= kRecentWindowMs;
  });
  if (recent.size() > kRecentKeysMax) recent.erase(recent.begin(), recent.end() - kRecentKeysMax);
}

std::string encode_midi_state(const MidiState& state) {
  json::Json out = json::Json::object();
  out["channel"] = state.channel ? json::Json(*state.channel) : json::Json(nullptr);
  out["last_key"] = state.last_key ? event_json(*state.last_key) : json::Json(nullptr);
  out["mode"] = state.mode;
  json::Json recent = json::Json::array();
  for (const auto& event : state.recent_keys) recent.push_back(event_json(event));
  out["recent_keys"] = std::move(recent);
  // Channel ids and actions come from the configuration; a broken byte must not
  // stop the file from being written.
  return out.dump(-1, ' ', false, json::Json::error_handler_t::replace) + "\n";
}

void SharedMidiState::update(std::string mode, std::optional<std::string> channel, MidiKeyEvent event) {
  std::lock_guard lock(mutex_);
  apply_key_press(state_, std::move(mode), std::move(channel), std::move(event));
}

MidiState SharedMidiState::snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool write_midi_state_file(const std::filesystem::path& path, const std::string& content) {
  try {
    const auto tmp = files::temporary_sibling(path);
    files::write_whole(tmp, content, files::Durability::kRenameOnly);
    files::rename_over(tmp, path);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void start_midi_state_writer(std::filesystem::path path, std::shared_ptr<SharedMidiState> state, Lifeline lifeline) {
  with_context("spawn midi-state-writer", [&] {
    spawn_detached("midi-state-writer", [path = std::move(path), state = std::move(state),
                                         lifeline = std::move(lifeline)]() mutable {
      while (lifeline.alive()) {
        try {
          write_midi_state_file(path, encode_midi_state(state->snapshot()));
        } catch (const std::exception&) {
          // Out of memory while copying the state: the next pass tries again.
        }
        if (!lifeline.sleep_for(kWritePeriod)) break;
      }
    });
  });
}

}  // namespace vantle::midi

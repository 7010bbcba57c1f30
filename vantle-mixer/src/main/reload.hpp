// Configuration reloads on the main thread: the running `Mixer` is dropped and one is
// built from the candidate, keeping the operators' live faders for the channels that
// stay; when the candidate cannot be brought up the previous configuration returns
// with the scene the operators had.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "engine/scene.hpp"
#include "main/mixer.hpp"

namespace vantle::app {

// The scene a reloaded mixer starts with: the candidate's own scene, where every
// channel whose id the old configuration had keeps the faders it had live, and the
// six master and relay-line gains and the three relay switches stay as they were.
// The plugin chains and the name are the candidate's.
engine::Scene carried_over_scene(const engine::Scene& live, const std::vector<std::string>& old_channel_ids,
                                 const config::Config& candidate);

// What the main thread keeps between reloads.
struct Supervisor {
  config::Config config;  // the running configuration
  std::optional<Mixer::Built> current;
  RunningFlag running;
  std::filesystem::path state_dir;
};

// Carries out one reload and answers it. Throws Error only when the previous
// configuration cannot be brought back either (the process then ends).
void handle_reload(Supervisor& supervisor, ReloadCommand command);

}  // namespace vantle::app

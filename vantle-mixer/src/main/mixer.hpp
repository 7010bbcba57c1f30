// The running mixer for one configuration: the unit of life. Everything it starts
// (JACK client, sockets, worker threads, files it writes) belongs to it and ends
// with it; a reload drops one `Mixer` and builds the next.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "broadcast/commands.hpp"
#include "broadcast/handoff.hpp"
#include "broadcast/local_sinks.hpp"
#include "config/config.hpp"
#include "control/reload_command.hpp"
#include "engine/engine_stats.hpp"
#include "engine/jack_io.hpp"
#include "engine/live_scene.hpp"
#include "meters/meter_slot.hpp"
#include "util/channel.hpp"
#include "util/lifeline.hpp"

namespace vantle::app {

using control::ReloadChannel;
using control::ReloadCommand;

class Mixer {
 public:
  struct Built;

  // Builds and starts everything for `config`. Throws Error describing the step
  // that failed; what was started so far is released. Main thread.
  static Built build(config::Config config, RunningFlag running);

  // Tells every worker thread of this `Mixer` to end (they are not waited for),
  // then deactivates and closes the JACK client.
  ~Mixer();
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  const config::Config& config() const { return config_; }
  engine::EngineStats& stats() { return *stats_; }
  float jack_cpu_load() const { return jack_->cpu_load(); }
  const std::shared_ptr<engine::LiveScene>& live_scene() const { return scene_; }
  const std::shared_ptr<broadcast::LocalSinkFeeds>& sink_feeds() const { return sink_feeds_; }

  // Periodic work of the main thread: frees scenes the process callback let go of.
  void housekeeping() { scene_->reclaim(); }

  // What a worker thread of this `Mixer` watches.
  Lifeline lifeline() const { return Lifeline(running_, stop_); }

 private:
  Mixer(config::Config config, RunningFlag running);

  config::Config config_;
  RunningFlag running_;
  std::shared_ptr<StopSignal> stop_ = std::make_shared<StopSignal>();
  std::shared_ptr<engine::EngineStats> stats_;
  std::shared_ptr<engine::LiveScene> scene_;
  std::shared_ptr<meters::MeterSlot> meter_slot_;
  std::shared_ptr<broadcast::LocalSinkFeeds> sink_feeds_;
  std::unique_ptr<broadcast::RtHandoff> handoff_;
  // Last member: closed first, so no callback outlives what it uses.
  std::unique_ptr<engine::JackClient> jack_;
};

struct Mixer::Built {
  std::unique_ptr<Mixer> mixer;
  ReloadChannel::Receiver reload;
};

}  // namespace vantle::app

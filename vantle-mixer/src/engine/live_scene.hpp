// The current scene of one `Mixer`, shared between the writers (control, MIDI, OSC
// feedback, the main thread at a reload) and the process callback, which never waits:
// a writer builds a whole new scene, with the plugin chains its lists need already
// built, and hands it over through one atomic exchange. The callback takes it at the
// start of a cycle and passes the scene it replaces back through a wait-free ring, to
// be freed by a non-real-time thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "dsp/bus_chain.hpp"
#include "engine/scene.hpp"

namespace vantle::engine {

// One installed scene as the process callback receives it: the values, and for each
// bus (main, monitor, cue) the chain built from its plugin list.
struct InstalledScene {
  Scene scene;
  std::array<dsp::ChainSlot, 3> chains;
};

class LiveScene {
 public:
  // Glide length in cycles: (sample_rate * ramp_ms / 1000) / buffer_size, at least 1.
  static std::uint32_t ramp_cycles_for(std::uint32_t sample_rate, std::uint32_t buffer_size, std::uint32_t ramp_ms);

  // `initial` becomes the current scene. Throws when its chains cannot be built.
  LiveScene(Scene initial, std::uint32_t ramp_cycles, std::uint32_t sample_rate);
  ~LiveScene();
  LiveScene(const LiveScene&) = delete;
  LiveScene& operator=(const LiveScene&) = delete;

  std::uint32_t ramp_cycles() const { return ramp_cycles_; }
  std::uint32_t sample_rate() const { return sample_rate_; }

  // The latest installed scene. Any thread but the real-time one; never blocks it.
  std::shared_ptr<const Scene> load() const;

  // Replaces the current scene; the last of several uncoordinated writers wins.
  // Builds the scene's plugin chains first, so it may throw (and then changes
  // nothing). Any thread but the real-time one.
  void install(Scene scene);

  // Frees the scenes the process callback has let go of. Any non-real-time thread.
  void reclaim();

  // Real-time thread: the scene installed since the previous call, or null. The
  // caller owns it until it hands it to `rt_retire`. Returns null while the retire
  // ring is full, leaving the new scene pending for a later cycle.
  InstalledScene* rt_take_new() noexcept;
  // Real-time thread: gives up a scene taken earlier (freed off the real-time thread).
  void rt_retire(InstalledScene* scene) noexcept;

 private:
  std::unique_ptr<InstalledScene> prepare(Scene scene) const;
  void reclaim_locked();

  static constexpr std::size_t kRetireCapacity = 64;

  const std::uint32_t ramp_cycles_;
  const std::uint32_t sample_rate_;
  std::atomic<InstalledScene*> pending_{nullptr};

  // Single-producer (real-time) single-consumer (reclaimers, under `writers_`) ring.
  std::array<InstalledScene*, kRetireCapacity> retired_{};
  alignas(128) std::atomic<std::uint64_t> retire_head_{0};
  alignas(128) std::atomic<std::uint64_t> retire_tail_{0};

  mutable std::mutex writers_;
  std::shared_ptr<const Scene> latest_;
};

}  // namespace vantle::engine

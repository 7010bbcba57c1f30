// The mix cycle, run by the process callback once per JACK period: glide toward the
// live scene, mix every channel into the three buses, master gain and clip, plugin
// chains, relay lines, local sinks, the handoff to the network, the meters.
// Everything it needs is allocated when it is built; a cycle never allocates, locks,
// waits or makes a system call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "broadcast/handoff.hpp"
#include "broadcast/local_sinks.hpp"
#include "config/config.hpp"
#include "dsp/bus_chain.hpp"
#include "engine/engine_stats.hpp"
#include "engine/live_scene.hpp"
#include "meters/meter_slot.hpp"

namespace vantle::engine {

// Long cycles are mixed in slices of this many frames, so scratch space is fixed.
inline constexpr std::size_t kSliceFrames = 4096;

// The port buffers of one cycle.
struct CycleBuffers {
  const float* const* inputs = nullptr;  // channel input ports, in registration order
  float* const* outputs = nullptr;       // the twelve bus and relay-line outputs
  float* const* sink_outputs = nullptr;  // two per local relay sink
};

struct ChannelInput {
  bool from_ingest = false;
  std::size_t first = 0;  // first input port, or first ingest slot
  std::size_t width = 2;  // 1 mono, 2 stereo
};

class MixEngine {
 public:
  struct Parts {
    std::vector<int> channel_first_port;  // per channel; negative for ingest-fed channels
    std::shared_ptr<LiveScene> scene;
    std::shared_ptr<EngineStats> stats;
    std::shared_ptr<meters::MeterSlot> meters;
    broadcast::BusProducers bus_rings;
    std::vector<broadcast::SampleRing::Consumer> slot_rings;
    std::shared_ptr<broadcast::LocalSinkFeeds> sink_feeds;
  };

  // Takes the live scene's current scene and chains. Throws Error
  // "internal: local sink '{}' has no atomic". Not on the real-time thread.
  MixEngine(const config::Config& config, Parts parts);
  ~MixEngine();
  MixEngine(const MixEngine&) = delete;
  MixEngine& operator=(const MixEngine&) = delete;

  // Real-time thread: one cycle of `frames` frames.
  void process(std::uint32_t frames, const CycleBuffers& io) noexcept;

 private:
  void take_new_scene() noexcept;
  void glide(const Scene& target) noexcept;
  void mix_channel(std::size_t position, std::uint32_t frames, const CycleBuffers& io) noexcept;

  enum BusValue { kMainGain, kMonitorGain, kCueGain, kMainRelayGain, kMonitorRelayGain, kCueRelayGain };

  std::vector<ChannelInput> channels_;
  std::shared_ptr<LiveScene> scene_;
  std::shared_ptr<EngineStats> stats_;
  std::shared_ptr<meters::MeterSlot> meters_;
  broadcast::BusProducers bus_rings_;
  std::vector<broadcast::SampleRing::Consumer> slot_rings_;
  std::shared_ptr<broadcast::LocalSinkFeeds> sink_feeds_;
  std::vector<std::atomic<std::uint8_t>*> sink_cells_;

  // The scene being glided toward (owned until retired) and the chains it feeds.
  InstalledScene* current_ = nullptr;
  std::array<dsp::BusChain, 3> chains_;

  // The gliding copy of the scene's values.
  std::vector<ChannelFaders> ramp_;  // one per channel input
  std::array<float, 6> bus_values_{};
  std::array<bool, 3> relay_on_{};
  std::uint32_t steps_left_ = 0;

  // Scratch for ingest samples and relay blocks, one slice long.
  std::vector<float> ingest_left_, ingest_right_, interleave_;
};

}  // namespace vantle::engine

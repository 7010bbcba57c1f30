// The rings between the process callback and the broadcast thread for one `Mixer`:
// three bus rings (main, monitor, cue; relay audio out) of 16 x broadcast_frames
// samples and one slot ring per ingest slot (sender audio in) of 64 x
// broadcast_frames samples. The real-time ends are taken once, while the `Mixer` is
// built; the network ends go to the broadcast thread.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "broadcast/sample_ring.hpp"

namespace vantle::broadcast {

inline constexpr std::size_t kBusCount = 3;  // main, monitor, cue

using BusProducers = std::array<SampleRing::Producer, kBusCount>;

// The broadcast thread's ends.
struct NetworkEnds {
  std::array<SampleRing::Consumer, kBusCount> bus_consumers;
  std::vector<SampleRing::Producer> slot_producers;
};

class RtHandoff {
 public:
  // Creates every ring. `broadcast_frames` is F (at least 1); `slot_count` the ingest
  // slots. Throws Error.
  RtHandoff(std::size_t broadcast_frames, std::size_t slot_count);

  // The bus producers, once; a second call throws Error("rt_sinks called twice").
  BusProducers rt_sinks();
  // The slot consumers in slot order, once; a second call throws
  // Error("rt_ingest_sinks called twice").
  std::vector<SampleRing::Consumer> rt_ingest_sinks();
  // The broadcast thread's ends, once; a second call throws
  // Error("network ends taken twice").
  NetworkEnds network_ends();

 private:
  std::mutex mutex_;
  std::optional<BusProducers> rt_sinks_;
  std::optional<std::vector<SampleRing::Consumer>> rt_ingest_sinks_;
  std::optional<NetworkEnds> network_;
};

}  // namespace vantle::broadcast

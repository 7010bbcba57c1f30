#include "broadcast/handoff.hpp"

#include <utility>

#include "util/error.hpp"

namespace vantle::broadcast {

namespace {

constexpr std::size_t kBusRingBlocks = 16;   // 8 stereo blocks of F frames
constexpr std::size_t kSlotRingBlocks = 64;  // 64 blocks of F mono samples

// Moves the value out of a take-once holder; a second take is a programming error
// in the `Mixer` build, reported as `message`.
template <class T>
T take(std::optional<T>& holder, const char* message) {
  if (!holder) throw Error(message);
  T value = std::move(*holder);
  holder.reset();
  return value;
}

}  // namespace

RtHandoff::RtHandoff(std::size_t broadcast_frames, std::size_t slot_count) {
  with_context("creating the audio handoff rings", [&] {
    BusProducers bus_producers;
    NetworkEnds network;
    for (std::size_t bus = 0; bus < kBusCount; ++bus) {
      auto [producer, consumer] = SampleRing::create(kBusRingBlocks * broadcast_frames);
      bus_producers[bus] = std::move(producer);
      network.bus_consumers[bus] = std::move(consumer);
    }

    std::vector<SampleRing::Consumer> slot_consumers;
    slot_consumers.reserve(slot_count);
    network.slot_producers.reserve(slot_count);
    for (std::size_t slot = 0; slot < slot_count; ++slot) {
      auto [producer, consumer] = SampleRing::create(kSlotRingBlocks * broadcast_frames);
      network.slot_producers.push_back(std::move(producer));
      slot_consumers.push_back(std::move(consumer));
    }

    rt_sinks_.emplace(std::move(bus_producers));
    rt_ingest_sinks_.emplace(std::move(slot_consumers));
    network_.emplace(std::move(network));
  });
}

// Called by the `Mixer` build only; never on the real-time thread.
BusProducers RtHandoff::rt_sinks() {
  std::lock_guard lock(mutex_);
  return take(rt_sinks_, "rt_sinks called twice");
}

std::vector<SampleRing::Consumer> RtHandoff::rt_ingest_sinks() {
  std::lock_guard lock(mutex_);
  return take(rt_ingest_sinks_, "rt_ingest_sinks called twice");
}

NetworkEnds RtHandoff::network_ends() {
  std::lock_guard lock(mutex_);
  return take(network_, "network ends taken twice");
}

}  // namespace vantle::broadcast

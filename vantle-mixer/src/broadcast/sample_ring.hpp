// The wait-free single-producer single-consumer ring of float samples that carries
// audio between the process callback and the broadcast thread, in both directions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace vantle::broadcast {

// Positions count samples since creation and never wrap (2^64 samples outlast any
// process); each end also keeps its own wrapping buffer index, so the per-sample
// paths need no division and any capacity works, not just powers of two.
//
// Ends are move-only: a copy would be a second producer or consumer. A default or
// moved-from end belongs to no ring and behaves as one that is always full (producer)
// or empty (consumer).
//
// Nothing below, except `create`, locks, allocates or makes a system call.
class SampleRing {
  struct Shared;

 public:
  // The writing end; owned by one thread at a time.
  class Producer {
   public:
    Producer() = default;
    explicit Producer(std::shared_ptr<Shared> shared);
    Producer(Producer&& other) noexcept;
    Producer& operator=(Producer&& other) noexcept;
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;
    ~Producer() = default;

    // Samples that can be pushed now.
    std::size_t free() noexcept;
    // False when the ring is full.
    bool push(float sample) noexcept;
    // Pushes interleaved stereo frames in order; stops at the first frame for which
    // fewer than 2 samples are free, dropping it and every later frame.
    void push_stereo_block(const float* interleaved, std::size_t frames) noexcept;
    std::size_t capacity() const noexcept;

   private:
    // Re-reads the consumer's position; returns the free samples.
    std::size_t refresh() noexcept;

    std::shared_ptr<Shared> shared_;
    float* samples_ = nullptr;
    std::size_t capacity_ = 0;
    std::uint64_t head_ = 0;         // next position to write (private copy of ours)
    std::size_t head_index_ = 0;     // head_ within the buffer
    std::uint64_t cached_tail_ = 0;  // last seen consumer position
  };

  // The reading end; owned by one thread at a time.
  class Consumer {
   public:
    Consumer() = default;
    explicit Consumer(std::shared_ptr<Shared> shared);
    Consumer(Consumer&& other) noexcept;
    Consumer& operator=(Consumer&& other) noexcept;
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;
    ~Consumer() = default;

    // Samples that can be popped now.
    std::size_t available() noexcept;
    // False when the ring is empty.
    bool pop(float& sample) noexcept;
    // Pops `count` samples into `out`; every sample missing reads as 0.0.
    void read_or_silence(float* out, std::size_t count) noexcept;
    // Pops exactly `count` samples when that many are available, else nothing.
    bool pop_block(float* out, std::size_t count) noexcept;
    // Pops and discards everything available.
    void drain() noexcept;
    std::size_t capacity() const noexcept;

   private:
    // Re-reads the producer's position; returns the available samples.
    std::size_t refresh() noexcept;
    // Moves the tail past `count` samples already read and publishes it.
    void advance(std::size_t count) noexcept;

    std::shared_ptr<Shared> shared_;
    const float* samples_ = nullptr;
    std::size_t capacity_ = 0;
    std::uint64_t tail_ = 0;
    std::size_t tail_index_ = 0;
    std::uint64_t cached_head_ = 0;
  };

  // A ring of exactly `capacity` usable samples (at least 1). Allocates; throws Error
  // for a capacity of 0.
  static std::pair<Producer, Consumer> create(std::size_t capacity);
};

}  // namespace vantle::broadcast

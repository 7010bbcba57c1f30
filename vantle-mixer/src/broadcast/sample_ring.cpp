#include "broadcast/sample_ring.hpp"

#include <algorithm>
#include <cstring>

#include "util/error.hpp"

namespace vantle::broadcast {

// Each shared position sits on its own 128-byte line (two 64-byte lines, because
// adjacent-line prefetching pairs them), so the producer publishing its head does not
// evict the line the consumer publishes its tail on, and neither touches the buffer
// pointer both sides read.
struct alignas(128) SampleRing::Shared {
  explicit Shared(std::size_t n) : samples(new float[n]()), capacity(n) {}

  alignas(128) std::atomic<std::uint64_t> head{0};  // written by the producer only
  alignas(128) std::atomic<std::uint64_t> tail{0};  // written by the consumer only
  alignas(128) std::unique_ptr<float[]> samples;
  std::size_t capacity;
};

namespace {

// Copies `count` samples into the ring at `index`, wrapping at `capacity`.
void copy_in(float* ring, std::size_t capacity, std::size_t index, const float* from, std::size_t count) {
  const std::size_t first = std::min(count, capacity - index);
  std::memcpy(ring + index, from, first * sizeof(float));
  std::memcpy(ring, from + first, (count - first) * sizeof(float));
}

// Copies `count` samples out of the ring from `index`, wrapping at `capacity`.
void copy_out(const float* ring, std::size_t capacity, std::size_t index, float* to, std::size_t count) {
  const std::size_t first = std::min(count, capacity - index);
  std::memcpy(to, ring + index, first * sizeof(float));
  std::memcpy(to + first, ring, (count - first) * sizeof(float));
}

// `index` moved on by `count` samples (at most one lap), without a division.
std::size_t wrapped(std::size_t index, std::size_t count, std::size_t capacity) {
  index += count;
  return index >= capacity ? index - capacity : index;
}

}  // namespace

std::pair<SampleRing::Producer, SampleRing::Consumer> SampleRing::create(std::size_t capacity) {
  if (capacity == 0) throw Error("a sample ring needs a capacity of at least 1 sample");
  auto shared = std::make_shared<Shared>(capacity);
  return {Producer(shared), Consumer(shared)};
}

// ---- producer: one thread at a time (the process callback for bus rings, the
// broadcast thread for slot rings)

SampleRing::Producer::Producer(std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)), samples_(shared_->samples.get()), capacity_(shared_->capacity) {}

SampleRing::Producer::Producer(Producer&& other) noexcept
    : shared_(std::move(other.shared_)),
      samples_(std::exchange(other.samples_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      head_(std::exchange(other.head_, 0)),
      head_index_(std::exchange(other.head_index_, 0)),
      cached_tail_(std::exchange(other.cached_tail_, 0)) {}

SampleRing::Producer& SampleRing::Producer::operator=(Producer&& other) noexcept {
  if (this != &other) {
    shared_ = std::move(other.shared_);
    samples_ = std::exchange(other.samples_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    head_ = std::exchange(other.head_, 0);
    head_index_ = std::exchange(other.head_index_, 0);
    cached_tail_ = std::exchange(other.cached_tail_, 0);
  }
  return *this;
}

std::size_t SampleRing::Producer::capacity() const noexcept { return capacity_; }

std::size_t SampleRing::Producer::refresh() noexcept {
  if (!shared_) return 0;
  cached_tail_ = shared_->tail.load(std::memory_order_acquire);
  return capacity_ - static_cast<std::size_t>(head_ - cached_tail_);
}

std::size_t SampleRing::Producer::free() noexcept { return refresh(); }

bool SampleRing::Producer::push(float sample) noexcept {
  if (head_ - cached_tail_ == capacity_ && refresh() == 0) [[unlikely]] {
    return false;
  }
  samples_[head_index_] = sample;
  head_index_ = head_index_ + 1 == capacity_ ? 0 : head_index_ + 1;
  ++head_;
  shared_->head.store(head_, std::memory_order_release);
  return true;
}

void SampleRing::Producer::push_stereo_block(const float* interleaved, std::size_t frames) noexcept {
  const std::size_t wanted = 2 * frames;
  std::size_t room = capacity_ - static_cast<std::size_t>(head_ - cached_tail_);
  if (room < wanted) room = refresh();
  // Whole frames only: an odd free sample stays free rather than take half a frame.
  const std::size_t count = std::min(wanted, room & ~std::size_t{1});
  if (count == 0) return;
  copy_in(samples_, capacity_, head_index_, interleaved, count);
  head_index_ = wrapped(head_index_, count, capacity_);
  head_ += count;
  shared_->head.store(head_, std::memory_order_release);
}

// ---- consumer: one thread at a time (the broadcast thread for bus rings, the
// process callback for slot rings)

SampleRing::Consumer::Consumer(std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)), samples_(shared_->samples.get()), capacity_(shared_->capacity) {}

SampleRing::Consumer::Consumer(Consumer&& other) noexcept
    : shared_(std::move(other.shared_)),
      samples_(std::exchange(other.samples_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      tail_(std::exchange(other.tail_, 0)),
      tail_index_(std::exchange(other.tail_index_, 0)),
      cached_head_(std::exchange(other.cached_head_, 0)) {}

SampleRing::Consumer& SampleRing::Consumer::operator=(Consumer&& other) noexcept {
  if (this != &other) {
    shared_ = std::move(other.shared_);
    samples_ = std::exchange(other.samples_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    tail_ = std::exchange(other.tail_, 0);
    tail_index_ = std::exchange(other.tail_index_, 0);
    cached_head_ = std::exchange(other.cached_head_, 0);
  }
  return *this;
}

std::size_t SampleRing::Consumer::capacity() const noexcept { return capacity_; }

std::size_t SampleRing::Consumer::refresh() noexcept {
  if (!shared_) return 0;
  cached_head_ = shared_->head.load(std::memory_order_acquire);
  return static_cast<std::size_t>(cached_head_ - tail_);
}

void SampleRing::Consumer::advance(std::size_t count) noexcept {
  tail_index_ = wrapped(tail_index_, count, capacity_);
  tail_ += count;
  // Release: our reads of these samples happen before the producer may overwrite them.
  shared_->tail.store(tail_, std::memory_order_release);
}

std::size_t SampleRing::Consumer::available() noexcept { return refresh(); }

bool SampleRing::Consumer::pop(float& sample) noexcept {
  if (cached_head_ == tail_ && refresh() == 0) [[unlikely]] {
    return false;
  }
  sample = samples_[tail_index_];
  tail_index_ = tail_index_ + 1 == capacity_ ? 0 : tail_index_ + 1;
  ++tail_;
  shared_->tail.store(tail_, std::memory_order_release);
  return true;
}

void SampleRing::Consumer::read_or_silence(float* out, std::size_t count) noexcept {
  std::size_t ready = static_cast<std::size_t>(cached_head_ - tail_);
  if (ready < count) ready = refresh();
  const std::size_t n = std::min(count, ready);
  if (n > 0) {
    copy_out(samples_, capacity_, tail_index_, out, n);
    advance(n);
  }
  std::fill(out + n, out + count, 0.0f);
}

bool SampleRing::Consumer::pop_block(float* out, std::size_t count) noexcept {
  std::size_t ready = static_cast<std::size_t>(cached_head_ - tail_);
  if (ready < count && (ready = refresh()) < count) return false;
  if (count == 0) return true;
  copy_out(samples_, capacity_, tail_index_, out, count);
  advance(count);
  return true;
}

void SampleRing::Consumer::drain() noexcept {
  const std::size_t ready = refresh();
  if (ready > 0) advance(ready);
}

}  // namespace vantle::broadcast

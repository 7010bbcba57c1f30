#include "engine/live_scene.hpp"

namespace vantle::engine {

std::uint32_t LiveScene::ramp_cycles_for(std::uint32_t sample_rate, std::uint32_t buffer_size,
                                         std::uint32_t ramp_ms) {
  if (buffer_size == 0) return 1;
  const auto samples = static_cast<std::uint32_t>(static_cast<std::uint64_t>(sample_rate) * ramp_ms / 1000);
  const std::uint32_t cycles = samples / buffer_size;
  return cycles == 0 ? 1 : cycles;
}

LiveScene::LiveScene(Scene initial, std::uint32_t ramp_cycles, std::uint32_t sample_rate)
    : ramp_cycles_(ramp_cycles), sample_rate_(sample_rate) {
  install(std::move(initial));
}

LiveScene::~LiveScene() {
  reclaim();
  delete pending_.exchange(nullptr);
}

std::unique_ptr<InstalledScene> LiveScene::prepare(Scene scene) const {
  auto installed = std::make_unique<InstalledScene>();
  installed->chains[0].chain = dsp::prepare_chain(scene.main_dsp_plugins, sample_rate_);
  installed->chains[1].chain = dsp::prepare_chain(scene.monitor_dsp_plugins, sample_rate_);
  installed->chains[2].chain = dsp::prepare_chain(scene.cue_dsp_plugins, sample_rate_);
  installed->scene = std::move(scene);
  return installed;
}

std::shared_ptr<const Scene> LiveScene::load() const {
  std::lock_guard lock(writers_);
  return latest_;
}

void LiveScene::install(Scene scene) {
  auto readers_copy = std::make_shared<const Scene>(scene);
  auto installed = prepare(std::move(scene));
  std::lock_guard lock(writers_);
  reclaim_locked();
  // A scene the process callback never took is ours to free.
  delete pending_.exchange(installed.release(), std::memory_order_acq_rel);
  latest_ = std::move(readers_copy);
}

void LiveScene::reclaim() {
  std::lock_guard lock(writers_);
  reclaim_locked();
}

void LiveScene::reclaim_locked() {
  for (auto tail = retire_tail_.load(std::memory_order_relaxed); tail != retire_head_.load(std::memory_order_acquire);
       ++tail) {
    delete retired_[tail % kRetireCapacity];
    retire_tail_.store(tail + 1, std::memory_order_release);
  }
}

InstalledScene* LiveScene::rt_take_new() noexcept {
  if (pending_.load(std::memory_order_relaxed) == nullptr) return nullptr;
  const auto head = retire_head_.load(std::memory_order_relaxed);
  if (head - retire_tail_.load(std::memory_order_acquire) >= kRetireCapacity) return nullptr;
  return pending_.exchange(nullptr, std::memory_order_acq_rel);
}

void LiveScene::rt_retire(InstalledScene* scene) noexcept {
  if (scene == nullptr) return;
  const auto head = retire_head_.load(std::memory_order_relaxed);
  retired_[head % kRetireCapacity] = scene;
  retire_head_.store(head + 1, std::memory_order_release);
}

}  // namespace vantle::engine

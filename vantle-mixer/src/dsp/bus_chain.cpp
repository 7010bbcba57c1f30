#include "dsp/bus_chain.hpp"

#include <bit>
#include <cstdint>
#include <utility>

namespace vantle::dsp {
namespace {

bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// Whether instances built from `a` are exactly those built from `b`: unlike ==, a NaN
// parameter matches itself here.
bool same_build(const std::vector<config::PluginConfig>& a,
                const std::vector<config::PluginConfig>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const config::PluginConfig& x = a[i];
    const config::PluginConfig& y = b[i];
    if (x.kind != y.kind || !same_bits(x.delay_ms, y.delay_ms) ||
        !same_bits(x.feedback, y.feedback) || !same_bits(x.mix, y.mix) ||
        !same_bits(x.wet_mix, y.wet_mix) || !same_bits(x.decay, y.decay) ||
        !same_bits(x.freq_hz, y.freq_hz) || !same_bits(x.q, y.q)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::unique_ptr<PreparedChain> prepare_chain(const std::vector<config::PluginConfig>& list,
                                             std::uint32_t sample_rate) {
  auto chain = std::make_unique<PreparedChain>();
  chain->list = list;
  chain->plugins.reserve(list.size());
  for (const config::PluginConfig& plugin : list) {
    chain->plugins.push_back(make_plugin(plugin, sample_rate));
  }
  return chain;
}

BusChain::BusChain(std::unique_ptr<PreparedChain> initial)
    : current_(initial ? std::move(initial) : std::make_unique<PreparedChain>()) {}

void BusChain::update(const std::vector<config::PluginConfig>& list, ChainSlot& slot) noexcept {
  if (list == current_->list) return;
  if (!slot.taken) {
    // Nothing prepared is a fault of whoever built the scene; keeping the running chain
    // is the only choice that neither allocates nor leaves the bus without a chain.
    if (!slot.chain) return;
    std::swap(current_, slot.chain);
    slot.taken = true;
    return;
  }
  // The slot's chain is already running, and the list still differs from itself (a NaN
  // parameter): a rebuild would give fresh instances, which a reset gives without
  // allocating. Only when the running chain was really built from this list, though: a
  // slot taken elsewhere (a scene carried over from another engine) must not make the
  // running chain pass for something it is not.
  if (!same_build(list, current_->list)) return;
  for (const std::unique_ptr<Plugin>& plugin : current_->plugins) plugin->reset();
}

void BusChain::process(float* left, float* right, std::size_t frames) noexcept {
  for (const std::unique_ptr<Plugin>& plugin : current_->plugins) {
    plugin->process(left, right, frames);
  }
}

}  // namespace vantle::dsp

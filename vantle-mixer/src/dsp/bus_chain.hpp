// The running plugin chain of one bus. New chains are built off the real-time thread
// (when a scene is installed) and swapped in by the process callback when the bus's
// plugin list changes, so the callback never allocates or frees.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "config/config.hpp"
#include "dsp/plugin.hpp"

namespace vantle::dsp {

// Instances built from one plugin list, in list order.
struct PreparedChain {
  std::vector<config::PluginConfig> list;
  std::vector<std::unique_ptr<Plugin>> plugins;
};

// Builds every instance of `list` at `sample_rate`. Any thread but the real-time one.
std::unique_ptr<PreparedChain> prepare_chain(const std::vector<config::PluginConfig>& list,
                                             std::uint32_t sample_rate);

// Where a scene keeps the chain prepared for one bus. Once the process callback has
// taken the prepared chain, the slot holds the chain it replaced, which is freed with
// the scene, off the real-time thread.
struct ChainSlot {
  std::unique_ptr<PreparedChain> chain;
  bool taken = false;
};

class BusChain {
 public:
  // A null `initial` gives an empty chain. Not on the real-time thread.
  explicit BusChain(std::unique_ptr<PreparedChain> initial);

  // Real-time thread. Brings the chain up to date with `list` (the list `slot` was
  // prepared from): nothing when `list` equals the running chain's list; otherwise
  // the prepared chain is swapped in, or, if it was already taken (a list that never
  // compares equal, such as one with a NaN parameter), the running instances are
  // reset, which is what a fresh build of the same list gives. A slot with no chain,
  // or one taken while a chain built from another list runs, leaves the running chain
  // as it is: nothing else is possible without allocating.
  void update(const std::vector<config::PluginConfig>& list, ChainSlot& slot) noexcept;

  // Real-time thread: every instance in list order, in place.
  void process(float* left, float* right, std::size_t frames) noexcept;

  const std::vector<config::PluginConfig>& list() const { return current_->list; }

 private:
  std::unique_ptr<PreparedChain> current_;
};

}  // namespace vantle::dsp

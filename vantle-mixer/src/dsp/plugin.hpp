// Bus effects: one running instance per entry of a bus's plugin list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "config/config.hpp"

namespace vantle::dsp {

class Plugin {
 public:
  virtual ~Plugin() = default;
  // Real-time thread: processes both sides in place.
  virtual void process(float* left, float* right, std::size_t frames) noexcept = 0;
  // Real-time thread: back to the state of a fresh instance (silent lines, zero
  // filter state), without allocating.
  virtual void reset() noexcept = 0;
};

// A fresh instance for `plugin` at `sample_rate`, parameters clamped as each effect
// does. Allocates its delay lines: never on the real-time thread. Throws on
// allocation failure.
std::unique_ptr<Plugin> make_plugin(const config::PluginConfig& plugin, std::uint32_t sample_rate);

}  // namespace vantle::dsp

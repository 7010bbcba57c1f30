// Test signals for the bus effects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantle::dsp::signals {

// Deterministic white noise in -1..1, the same on every platform.
inline std::vector<float> noise(std::size_t frames, std::uint32_t seed) {
  std::vector<float> out(frames);
  std::uint32_t x = seed;
  for (float& v : out) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<float>(x >> 8) / 8388608.0f - 1.0f;
  }
  return out;
}

struct Stereo {
  std::vector<float> left;
  std::vector<float> right;

  static Stereo silence(std::size_t frames) { return {std::vector<float>(frames), std::vector<float>(frames)}; }
  static Stereo noisy(std::size_t frames, std::uint32_t seed) {
    return {noise(frames, seed), noise(frames, seed + 7919)};
  }
  std::size_t frames() const { return left.size(); }
};

// Runs `effect` (anything with process(left, right, n)) over `signal` in place, in
// cycles of `cycle` frames.
template <class Effect>
void run_cycles(Effect& effect, Stereo& signal, std::size_t cycle) {
  for (std::size_t done = 0; done < signal.frames(); done += cycle) {
    const std::size_t n = std::min(cycle, signal.frames() - done);
    effect.process(signal.left.data() + done, signal.right.data() + done, n);
  }
}

}  // namespace vantle::dsp::signals

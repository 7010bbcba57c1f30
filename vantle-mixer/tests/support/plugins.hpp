// Plugin entries for tests and benchmarks, one maker per kind.
#pragma once

#include "config/config.hpp"

namespace vantle::test {

inline config::PluginConfig echo(float delay_ms, float feedback, float mix) {
  config::PluginConfig p;
  p.kind = config::PluginKind::kEcho;
  p.delay_ms = delay_ms;
  p.feedback = feedback;
  p.mix = mix;
  return p;
}

inline config::PluginConfig reverb(float wet, float decay) {
  config::PluginConfig p;
  p.kind = config::PluginKind::kReverb;
  p.wet_mix = wet;
  p.decay = decay;
  return p;
}

inline config::PluginConfig filter(config::PluginKind kind, float freq_hz, float q = 0.707f) {
  config::PluginConfig p;
  p.kind = kind;
  p.freq_hz = freq_hz;
  p.q = q;
  return p;
}

inline config::PluginConfig delay(float delay_ms) {
  config::PluginConfig p;
  p.kind = config::PluginKind::kDelay;
  p.delay_ms = delay_ms;
  return p;
}

}  // namespace vantle::test

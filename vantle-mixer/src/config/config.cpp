#include "config/config.hpp"

namespace vantle::config {

bool PluginConfig::operator==(const PluginConfig& other) const {
  if (kind != other.kind) return false;
  // Parameters that do not belong to the kind are leftovers of the defaults and
  // must not make two equal chains look different (that would rebuild them).
  switch (kind) {
    case PluginKind::kEcho:
      return delay_ms == other.delay_ms && feedback == other.feedback && mix == other.mix;
    case PluginKind::kReverb:
      return wet_mix == other.wet_mix && decay == other.decay;
    case PluginKind::kHighPass:
    case PluginKind::kLowPass:
    case PluginKind::kMidPass:
      return freq_hz == other.freq_hz && q == other.q;
    case PluginKind::kDelay:
      return delay_ms == other.delay_ms;
  }
  return false;
}

const char* plugin_type_name(PluginKind kind) {
  switch (kind) {
    case PluginKind::kEcho: return "echo";
    case PluginKind::kReverb: return "reverb";
    case PluginKind::kHighPass: return "high_pass";
    case PluginKind::kLowPass: return "low_pass";
    case PluginKind::kMidPass: return "mid_pass";
    case PluginKind::kDelay: return "delay";
  }
  return "unknown";
}

}  // namespace vantle::config

#include "dsp/plugin.hpp"

#include <stdexcept>
#include <utility>

#include "dsp/echo.hpp"
#include "dsp/filter.hpp"
#include "dsp/reverb.hpp"
#include "vantle/dsp/pure_delay.hpp"

namespace vantle::dsp {
namespace {

// One virtual call per plugin and cycle; the effects themselves are plain classes
// whose per-frame loops the compiler sees whole.
template <class Effect>
class EffectPlugin final : public Plugin {
 public:
  template <class... Args>
  explicit EffectPlugin(Args&&... args) : effect_(std::forward<Args>(args)...) {}

  void process(float* left, float* right, std::size_t frames) noexcept override {
    effect_.process(left, right, frames);
  }
  void reset() noexcept override { effect_.clear(); }

 private:
  Effect effect_;
};

std::unique_ptr<Plugin> make_filter(FilterShape shape, const config::PluginConfig& plugin,
                                    std::uint32_t sample_rate) {
  return std::make_unique<EffectPlugin<Biquad>>(filter_coefficients(
      shape, plugin.freq_hz, plugin.q, static_cast<float>(sample_rate)));
}

}  // namespace

std::unique_ptr<Plugin> make_plugin(const config::PluginConfig& plugin, std::uint32_t sample_rate) {
  const double rate = sample_rate;
  switch (plugin.kind) {
    case config::PluginKind::kEcho:
      return std::make_unique<EffectPlugin<Echo>>(rate, plugin.delay_ms, plugin.feedback,
                                                  plugin.mix);
    case config::PluginKind::kReverb:
      return std::make_unique<EffectPlugin<Reverb>>(rate, plugin.wet_mix, plugin.decay);
    case config::PluginKind::kHighPass:
      return make_filter(FilterShape::kHighPass, plugin, sample_rate);
    case config::PluginKind::kLowPass:
      return make_filter(FilterShape::kLowPass, plugin, sample_rate);
    case config::PluginKind::kMidPass:
      return make_filter(FilterShape::kBandPass, plugin, sample_rate);
    case config::PluginKind::kDelay:
      return std::make_unique<EffectPlugin<PureDelay>>(rate, static_cast<double>(plugin.delay_ms));
  }
  throw std::invalid_argument("unknown plugin kind");
}

}  // namespace vantle::dsp

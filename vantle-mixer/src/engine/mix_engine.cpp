#include "engine/mix_engine.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "util/error.hpp"
#include "util/realtime.hpp"

namespace vantle::engine {

namespace {

// The live scene holds its initial scene pending until the engine takes it.
InstalledScene* take_initial(LiveScene& scene) {
  InstalledScene* initial = scene.rt_take_new();
  if (initial == nullptr) throw Error("internal: live scene has no initial scene");
  return initial;
}

std::array<dsp::BusChain, 3> initial_chains(InstalledScene& scene) {
  for (auto& slot : scene.chains) slot.taken = true;
  return {dsp::BusChain(std::move(scene.chains[0].chain)), dsp::BusChain(std::move(scene.chains[1].chain)),
          dsp::BusChain(std::move(scene.chains[2].chain))};
}

std::array<float, 6> bus_values_of(const Scene& s) {
  return {s.main_gain, s.monitor_gain, s.cue_gain, s.main_relay_gain, s.monitor_relay_gain, s.cue_relay_gain};
}

std::array<bool, 3> relay_switches_of(const Scene& s) { return {s.main_relay_on, s.monitor_relay_on, s.cue_relay_on}; }

const std::vector<config::PluginConfig>& plugins_of(const Scene& s, std::size_t bus) {
  return bus == 0 ? s.main_dsp_plugins : bus == 1 ? s.monitor_dsp_plugins : s.cue_dsp_plugins;
}

// |x| as its bit pattern. For non-negative floats the order of the patterns is the
// order of the values, and an integer maximum vectorizes where a float one does not.
// (A NaN sample shows as NaN in the meters.)
inline std::uint32_t abs_bits(float x) noexcept { return std::bit_cast<std::uint32_t>(x) & 0x7fffffffu; }
inline float from_bits(std::uint32_t bits) noexcept { return std::bit_cast<float>(bits); }

// One channel's slice into the six bus sums, with its input peaks. Port buffers never
// overlap, which lets the compiler vectorize this loop.
void mix_slice(const float* __restrict left, const float* __restrict right, std::size_t n, float gl, float gr,
               float send_main, float send_monitor, float send_cue, float* __restrict main_l,
               float* __restrict main_r, float* __restrict monitor_l, float* __restrict monitor_r,
               float* __restrict cue_l, float* __restrict cue_r, std::uint32_t& peak_l_bits,
               std::uint32_t& peak_r_bits) noexcept {
  std::uint32_t peak_l = peak_l_bits, peak_r = peak_r_bits;
  for (std::size_t i = 0; i < n; ++i) {
    const float a = left[i] * gl;
    const float b = right[i] * gr;
    main_l[i] += send_main * a;
    main_r[i] += send_main * b;
    monitor_l[i] += send_monitor * a;
    monitor_r[i] += send_monitor * b;
    cue_l[i] += send_cue * a;
    cue_r[i] += send_cue * b;
    const std::uint32_t abs_a = abs_bits(a);
    const std::uint32_t abs_b = abs_bits(b);
    peak_l = abs_a > peak_l ? abs_a : peak_l;
    peak_r = abs_b > peak_r ? abs_b : peak_r;
  }
  peak_l_bits = peak_l;
  peak_r_bits = peak_r;
}

// v + (target - v) / k, in single precision.
inline void step_toward(float& v, float target, float k) noexcept { v = v + (target - v) / k; }

void step_faders(ChannelFaders& v, const ChannelFaders& t, float k) noexcept {
  step_toward(v.main, t.main, k);
  step_toward(v.monitor, t.monitor, k);
  step_toward(v.cue, t.cue, k);
  step_toward(v.main_muted, t.main_muted, k);
  step_toward(v.monitor_muted, t.monitor_muted, k);
  step_toward(v.cue_muted, t.cue_muted, k);
  step_toward(v.pan, t.pan, k);
}

// Gain, then the hard clip at full scale. NaN (a broken input or gain) becomes
// silence here, so it cannot reach the plugins and stay in their feedback loops.
// Returns the peak of the clipped samples.
float master_stage(float* samples, std::uint32_t frames, float gain) noexcept {
  float peak = 0.0f;
  for (std::uint32_t i = 0; i < frames; ++i) {
    float y = samples[i] * gain;
    y = y > 1.0f ? 1.0f : y;
    y = y < -1.0f ? -1.0f : y;
    y = y == y ? y : 0.0f;
    samples[i] = y;
    const float a = std::fabs(y);
    peak = a > peak ? a : peak;
  }
  return peak;
}

}  // namespace

MixEngine::MixEngine(const config::Config& config, Parts parts)
    : scene_(std::move(parts.scene)),
      stats_(std::move(parts.stats)),
      meters_(std::move(parts.meters)),
      bus_rings_(std::move(parts.bus_rings)),
      slot_rings_(std::move(parts.slot_rings)),
      sink_feeds_(std::move(parts.sink_feeds)),
      current_(take_initial(*scene_)),
      chains_(initial_chains(*current_)),
      ingest_left_(kSliceFrames),
      ingest_right_(kSliceFrames),
      interleave_(2 * kSliceFrames) {
  // Nothing glides at start: the working values are the initial scene's.
  const Scene& initial = current_->scene;
  ramp_.resize(config.channels.size());
  std::copy_n(initial.channels.begin(), std::min(ramp_.size(), initial.channels.size()), ramp_.begin());
  bus_values_ = bus_values_of(initial);
  relay_on_ = relay_switches_of(initial);

  for (std::size_t i = 0; i < config.channels.size(); ++i) {
    const auto& channel = config.channels[i];
    ChannelInput input;
    input.width = channel.kind == config::ChannelKind::kMono ? 1 : 2;
    if (channel.ingest_slot) {
      input.from_ingest = true;
      input.first = static_cast<std::size_t>(*channel.ingest_slot);
    } else {
      input.first = static_cast<std::size_t>(parts.channel_first_port.at(i));
    }
    channels_.push_back(input);
  }
  for (const auto& sink : config.local_relay_sink) {
    auto* cell = sink_feeds_ ? sink_feeds_->cell(sink.name) : nullptr;
    if (cell == nullptr) throw Error("internal: local sink '" + sink.name + "' has no atomic");
    sink_cells_.push_back(cell);
  }
}

MixEngine::~MixEngine() { delete current_; }

void MixEngine::take_new_scene() noexcept {
  InstalledScene* fresh = scene_->rt_take_new();
  if (fresh == nullptr) return;
  scene_->rt_retire(current_);
  current_ = fresh;
  steps_left_ = scene_->ramp_cycles();
}

void MixEngine::glide(const Scene& target) noexcept {
  const std::size_t shared = std::min(ramp_.size(), target.channels.size());
  const auto target_bus = bus_values_of(target);
  relay_on_ = relay_switches_of(target);
  if (steps_left_ > 0) {
    const auto k = static_cast<float>(steps_left_);
    for (std::size_t i = 0; i < shared; ++i) step_faders(ramp_[i], target.channels[i], k);
    for (std::size_t b = 0; b < bus_values_.size(); ++b) step_toward(bus_values_[b], target_bus[b], k);
    if (--steps_left_ > 0) return;
  }
  // The last step, and every cycle without a glide, lands exactly on the target.
  std::copy_n(target.channels.begin(), shared, ramp_.begin());
  bus_values_ = target_bus;
}

void MixEngine::mix_channel(std::size_t position, std::uint32_t frames, const CycleBuffers& io) noexcept {
  const ChannelInput& input = channels_[position];
  const ChannelFaders& f = ramp_[position];
  const float gl = f.pan <= 0.0f ? 1.0f : 1.0f - f.pan;
  const float gr = f.pan <= 0.0f ? 1.0f + f.pan : 1.0f;
  const float send_main = (1.0f - f.main_muted) * f.main;
  const float send_monitor = (1.0f - f.monitor_muted) * f.monitor;
  const float send_cue = (1.0f - f.cue_muted) * f.cue;
  float* main_l = io.outputs[0];
  float* main_r = io.outputs[1];
  float* monitor_l = io.outputs[2];
  float* monitor_r = io.outputs[3];
  float* cue_l = io.outputs[4];
  float* cue_r = io.outputs[5];

  std::uint32_t peak_l = 0, peak_r = 0;  // as bit patterns, see abs_bits
  for (std::uint32_t offset = 0; offset < frames; offset += kSliceFrames) {
    const std::uint32_t n = std::min<std::uint32_t>(kSliceFrames, frames - offset);
    const float* left;
    const float* right;
    if (input.from_ingest) {
      slot_rings_[input.first].read_or_silence(ingest_left_.data(), n);
      left = ingest_left_.data();
      if (input.width == 2) {
        slot_rings_[input.first + 1].read_or_silence(ingest_right_.data(), n);
        right = ingest_right_.data();
      } else {
        right = left;
      }
    } else {
      left = io.inputs[input.first] + offset;
      right = input.width == 2 ? io.inputs[input.first + 1] + offset : left;
    }
    mix_slice(left, right, n, gl, gr, send_main, send_monitor, send_cue, main_l + offset, main_r + offset,
              monitor_l + offset, monitor_r + offset, cue_l + offset, cue_r + offset, peak_l, peak_r);
  }

  if (position < meters::kMeteredChannels) {
    const float in_l = from_bits(peak_l);
    const float in_r = from_bits(peak_r);
    // A send's peak is the input peak times the send factor: rounding is monotonic,
    // so this is exactly the largest of the products.
    auto& frame = meters_->rt_frame();
    frame.channels[meters::kInput][position] = {in_l, in_r};
    frame.channels[meters::kMain][position] = {std::fabs(send_main) * in_l, std::fabs(send_main) * in_r};
    frame.channels[meters::kMonitor][position] = {std::fabs(send_monitor) * in_l, std::fabs(send_monitor) * in_r};
    frame.channels[meters::kCue][position] = {std::fabs(send_cue) * in_l, std::fabs(send_cue) * in_r};
  }
}

void MixEngine::process(std::uint32_t frames, const CycleBuffers& io) noexcept {
  rt::Scope realtime;
  take_new_scene();
  const Scene& target = current_->scene;
  glide(target);
  for (std::size_t b = 0; b < chains_.size(); ++b) chains_[b].update(plugins_of(target, b), current_->chains[b]);

  for (std::size_t k = 0; k < 6; ++k) std::memset(io.outputs[k], 0, sizeof(float) * frames);
  auto& frame = meters_->rt_frame();
  frame.channel_count = static_cast<std::uint32_t>(channels_.size());
  for (std::size_t p = 0; p < channels_.size(); ++p) mix_channel(p, frames, io);

  for (std::size_t b = 0; b < 3; ++b) {
    const float gain = bus_values_[kMainGain + b];
    const float left = master_stage(io.outputs[2 * b], frames, gain);
    const float right = master_stage(io.outputs[2 * b + 1], frames, gain);
    frame.bus_out[b] = std::max(left, right);
  }

  for (std::size_t b = 0; b < 3; ++b) chains_[b].process(io.outputs[2 * b], io.outputs[2 * b + 1], frames);

  for (std::size_t b = 0; b < 3; ++b) {
    const float gain = relay_on_[b] ? bus_values_[kMainRelayGain + b] : 0.0f;
    for (std::size_t side = 0; side < 2; ++side) {
      const float* bus = io.outputs[2 * b + side];
      float* relay = io.outputs[6 + 2 * b + side];
      for (std::uint32_t i = 0; i < frames; ++i) relay[i] = bus[i] * gain;
    }
  }

  for (std::size_t s = 0; s < sink_cells_.size(); ++s) {
    const std::uint8_t feed = sink_cells_[s]->load(std::memory_order_relaxed);
    for (std::size_t side = 0; side < 2; ++side) {
      float* out = io.sink_outputs[2 * s + side];
      if (feed == static_cast<std::uint8_t>(broadcast::Feed::kOff)) {
        std::memset(out, 0, sizeof(float) * frames);
      } else {
        const std::size_t bus = feed < 3 ? feed : 0;  // anything unknown carries main
        std::memcpy(out, io.outputs[6 + 2 * bus + side], sizeof(float) * frames);
      }
    }
  }

  for (std::size_t b = 0; b < 3; ++b) {
    if (!relay_on_[b] || !(bus_values_[kMainRelayGain + b] > 0.0f)) continue;
    const float* left = io.outputs[6 + 2 * b];
    const float* right = io.outputs[6 + 2 * b + 1];
    for (std::uint32_t offset = 0; offset < frames; offset += kSliceFrames) {
      const std::uint32_t n = std::min<std::uint32_t>(kSliceFrames, frames - offset);
      for (std::uint32_t i = 0; i < n; ++i) {
        interleave_[2 * i] = left[offset + i];
        interleave_[2 * i + 1] = right[offset + i];
      }
      // Frames that do not fit are dropped with every later frame of the cycle.
      const bool fits = bus_rings_[b].free() >= 2 * std::size_t{n};
      bus_rings_[b].push_stereo_block(interleave_.data(), n);
      if (!fits) break;
    }
  }

  meters_->rt_publish();
}

}  // namespace vantle::engine

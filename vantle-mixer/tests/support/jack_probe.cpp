#include "support/jack_probe.hpp"

#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace vantle::test {

JackProbe::JackProbe(const JackServer& server, const std::vector<std::string>& sources,
                     const std::vector<std::string>& captures)
    : levels_(std::make_unique<std::atomic<float>[]>(sources.size())),
      peaks_(std::make_unique<std::atomic<float>[]>(captures.size())),
      lasts_(std::make_unique<std::atomic<float>[]>(captures.size())) {
  jack_status_t status{};
  client_ = jack_client_open("probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                             server.name().c_str());
  if (client_ == nullptr) throw std::runtime_error("probe cannot open a JACK client");
  for (const auto& name : sources) {
    sources_.push_back(jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0));
  }
  for (const auto& name : captures) {
    captures_.push_back(jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
  }
  jack_set_process_callback(client_, on_process, this);
  if (jack_activate(client_) != 0) throw std::runtime_error("probe cannot activate");
}

JackProbe::~JackProbe() {
  jack_deactivate(client_);
  jack_client_close(client_);
}

int JackProbe::on_process(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackProbe*>(arg);
  for (std::size_t s = 0; s < self->sources_.size(); ++s) {
    auto* out = static_cast<float*>(jack_port_get_buffer(self->sources_[s], frames));
    const float level = self->levels_[s].load(std::memory_order_relaxed);
    for (jack_nframes_t i = 0; i < frames; ++i) out[i] = level;
  }
  for (std::size_t c = 0; c < self->captures_.size(); ++c) {
    const auto* in = static_cast<const float*>(jack_port_get_buffer(self->captures_[c], frames));
    float peak = 0.0f;
    for (jack_nframes_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(in[i]));
    self->peaks_[c].store(peak, std::memory_order_relaxed);
    self->lasts_[c].store(frames > 0 ? in[frames - 1] : 0.0f, std::memory_order_relaxed);
  }
  self->cycles_.fetch_add(1, std::memory_order_release);
  return 0;
}

void JackProbe::connect(const std::string& from, const std::string& to) {
  // The mixer's ports appear only once it has opened its client, which can take a
  // while on a loaded machine; keep trying until a generous deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const int rc = jack_connect(client_, from.c_str(), to.c_str());
    if (rc == 0 || rc == EEXIST) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("cannot connect " + from + " -> " + to);
}

std::string JackProbe::source_name(std::size_t source) const { return jack_port_name(sources_[source]); }
std::string JackProbe::capture_name(std::size_t capture) const { return jack_port_name(captures_[capture]); }

void JackProbe::wait_cycles(int cycles) {
  const long target = cycles_.load(std::memory_order_acquire) + cycles;
  for (int i = 0; i < 1000 && cycles_.load(std::memory_order_acquire) < target; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace vantle::test

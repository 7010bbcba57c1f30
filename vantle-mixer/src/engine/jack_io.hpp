// The JACK client of one `Mixer`: opening it, registering the channel inputs, the
// twelve bus and relay-line outputs and the local sink outputs, the callbacks, and
// closing it when the `Mixer` is dropped.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "engine/engine_stats.hpp"
#include "engine/mix_engine.hpp"

namespace vantle::engine {

// The body of the process callback (real-time thread): never locks, waits, allocates
// or makes system calls.
class ProcessHandler {
 public:
  virtual ~ProcessHandler() = default;
  virtual void process(jack_nframes_t frames) noexcept = 0;
};

// The twelve outputs, in registration order.
inline constexpr std::size_t kBusOutputCount = 12;

// JACK status bits by name ("NAME_NOT_UNIQUE|SERVER_STARTED"); "none" when no known
// bit is set.
std::string status_names(unsigned status);

class JackClient {
 public:
  // Opens the client named `config.jack_name` without starting a server and
  // registers every port. Throws Error ("opening JACK client", "registering input
  // port {}", ...). Main thread.
  static std::unique_ptr<JackClient> open(const config::Config& config);

  // Deactivates, clears the callbacks, releases the handler and closes the client.
  ~JackClient();
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;

  const std::string& name() const { return name_; }
  std::uint32_t sample_rate() const { return sample_rate_; }
  std::uint32_t buffer_size() const { return buffer_size_; }
  jack_client_t* handle() const { return client_; }

  // Channel input ports in registration order, and per configured channel the
  // position of its first port (-1 for a channel fed by an ingest slot).
  const std::vector<jack_port_t*>& input_ports() const { return input_ports_; }
  const std::vector<int>& channel_first_port() const { return channel_first_port_; }
  // main L, R, monitor L, R, cue L, R, main relay L, R, monitor relay L, R, cue relay L, R.
  const std::vector<jack_port_t*>& bus_outputs() const { return bus_outputs_; }
  // Two per local relay sink, left then right, in configuration order.
  const std::vector<jack_port_t*>& sink_outputs() const { return sink_outputs_; }

  // Registers the callbacks and activates the client; `handler` runs every cycle and
  // the cycle timing goes into `stats`. Throws Error "jack activate: {}". Main thread.
  void activate(std::unique_ptr<ProcessHandler> handler, std::shared_ptr<EngineStats> stats);

  // JACK's DSP load in percent. Any non-real-time thread.
  float cpu_load() const;

  // What the callbacks share; valid only between activation and deactivation.
  struct CallbackContext {
    std::unique_ptr<ProcessHandler> handler;
    std::shared_ptr<EngineStats> stats;
    std::atomic<bool> valid{false};
  };

 private:
  explicit JackClient(jack_client_t* client) : client_(client) {}

  jack_client_t* client_;
  std::string name_;
  std::uint32_t sample_rate_ = 0;
  std::uint32_t buffer_size_ = 0;
  std::vector<jack_port_t*> input_ports_;
  std::vector<int> channel_first_port_;
  std::vector<jack_port_t*> bus_outputs_;
  std::vector<jack_port_t*> sink_outputs_;
  CallbackContext context_;
  bool active_ = false;
};

// Runs the mix engine on the client's port buffers.
class JackMixHandler final : public ProcessHandler {
 public:
  JackMixHandler(std::unique_ptr<MixEngine> engine, const JackClient& client);
  void process(jack_nframes_t frames) noexcept override;

 private:
  std::unique_ptr<MixEngine> engine_;
  std::vector<jack_port_t*> inputs_, outputs_, sink_outputs_;
  // Filled every cycle; sized once here so the cycle never allocates.
  std::vector<const float*> input_buffers_;
  std::vector<float*> output_buffers_, sink_buffers_;
};

}  // namespace vantle::engine

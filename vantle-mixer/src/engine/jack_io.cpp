#include "engine/jack_io.hpp"

#include <unistd.h>

#include <cstring>
#include <mutex>

#include "util/error.hpp"
#include "util/files.hpp"
#include "util/log.hpp"

namespace vantle::engine {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::jack_io");
  return instance;
}

constexpr std::pair<unsigned, const char*> kStatusBits[] = {
    {JackFailure, "FAILURE"},           {JackInvalidOption, "INVALID_OPTION"},
    {JackNameNotUnique, "NAME_NOT_UNIQUE"}, {JackServerStarted, "SERVER_STARTED"},
    {JackServerFailed, "SERVER_FAILED"}, {JackServerError, "SERVER_ERROR"},
    {JackNoSuchClient, "NO_SUCH_CLIENT"}, {JackLoadFailure, "LOAD_FAILURE"},
    {JackInitFailure, "INIT_FAILURE"},   {JackShmFailure, "SHM_FAILURE"},
    {JackVersionError, "VERSION_ERROR"}, {JackBackendError, "BACKEND_ERROR"},
    {JackClientZombie, "CLIENT_ZOMBIE"},
};
constexpr unsigned kKnownStatusBits = 0x1FFF;

// JACK's own diagnostics go through our log, quietly: the mixer reports what matters.
void forward_jack_message(const char* message) { logger().debug("jack: {}", message ? message : ""); }
void install_jack_message_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    jack_set_error_function(forward_jack_message);
    jack_set_info_function(forward_jack_message);
  });
}

jack_port_t* register_port(jack_client_t* client, const std::string& name, unsigned long flags) {
  return jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
}

// Callbacks. Each returns at once unless the context is valid (after activation,
// before deactivation).
using Context = JackClient::CallbackContext;

int on_process(jack_nframes_t frames, void* arg) {
  auto* ctx = static_cast<Context*>(arg);
  if (!ctx->valid.load(std::memory_order_acquire)) return 0;
  timespec t0{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  ctx->handler->process(frames);
  ctx->stats->record_cycle(EngineStats::elapsed_us(t0));
  return 0;
}

int on_xrun(void* arg) {
  auto* ctx = static_cast<Context*>(arg);
  if (!ctx->valid.load(std::memory_order_acquire)) return 0;
  ctx->stats->xrun_count.fetch_add(1, std::memory_order_relaxed);
  logger().warn("JACK xrun");
  return 0;
}

void on_shutdown(jack_status_t code, const char* reason, void* arg) {
  auto* ctx = static_cast<Context*>(arg);
  if (!ctx->valid.load(std::memory_order_acquire)) return;
  unsigned bits = static_cast<unsigned>(code);
  std::string text = (reason != nullptr && files::is_valid_utf8(reason)) ? reason : "Failed to interpret error.";
  logger().warn("JACK shutdown: status={} reason={}", status_names(bits > kKnownStatusBits ? 0 : bits), text);
  log::flush();
  // No reconnect: the service manager restarts the process. Other threads are still
  // running, so skip the destructors of statics.
  ::_exit(1);
}

void on_thread_init(void*) {}
void on_freewheel(int, void*) {}
int on_buffer_size(jack_nframes_t, void*) { return 0; }
int on_sample_rate(jack_nframes_t, void*) { return 0; }
void on_client_registration(const char*, int, void*) {}
void on_port_registration(jack_port_id_t, int, void*) {}
void on_port_connect(jack_port_id_t, jack_port_id_t, int, void*) {}
int on_graph_order(void*) { return 0; }

}  // namespace

std::string status_names(unsigned status) {
  std::string names;
  if (status > kKnownStatusBits) return "none";
  for (auto [bit, name] : kStatusBits) {
    if ((status & bit) == 0) continue;
    if (!names.empty()) names += '|';
    names += name;
  }
  return names.empty() ? "none" : names;
}

std::unique_ptr<JackClient> JackClient::open(const config::Config& config) {
  install_jack_message_handlers();
  jack_status_t status{};
  jack_client_t* handle = jack_client_open(config.jack_name.c_str(), JackNoStartServer, &status);
  if (handle == nullptr) {
    throw Error("JACK refused the client (status " + status_names(static_cast<unsigned>(status)) + ")")
        .context("opening JACK client");
  }
  std::unique_ptr<JackClient> client(new JackClient(handle));
  client->name_ = jack_get_client_name(handle);
  client->sample_rate_ = jack_get_sample_rate(handle);
  client->buffer_size_ = jack_get_buffer_size(handle);
  logger().info("jack client '{}' opened (sample_rate={} buffer={} frames, status={})", client->name_,
                client->sample_rate_, client->buffer_size_, status_names(static_cast<unsigned>(status)));

  for (const auto& channel : config.channels) {
    if (channel.ingest_slot) {
      client->channel_first_port_.push_back(-1);
      continue;
    }
    client->channel_first_port_.push_back(static_cast<int>(client->input_ports_.size()));
    std::vector<std::string> names;
    if (channel.kind == config::ChannelKind::kMono) {
      names = {channel.id + "_in"};
    } else {
      names = {channel.id + "_in_1", channel.id + "_in_2"};
    }
    for (const auto& name : names) {
      jack_port_t* port = register_port(handle, name, JackPortIsInput);
      if (port == nullptr) throw Error("registering input port " + name);
      client->input_ports_.push_back(port);
    }
  }

  const auto& b = config.buses;
  for (const auto* pair : {&b.main, &b.monitor, &b.cue, &b.main_relay, &b.monitor_relay, &b.cue_relay}) {
    for (const auto& name : *pair) {
      jack_port_t* port = register_port(handle, name, JackPortIsOutput);
      if (port == nullptr) throw Error("registering output port " + name);
      client->bus_outputs_.push_back(port);
    }
  }

  for (const auto& sink : config.local_relay_sink) {
    for (const auto& name : sink.ports) {
      jack_port_t* port = register_port(handle, name, JackPortIsOutput);
      if (port == nullptr) throw Error("registering local sink port " + name);
      client->sink_outputs_.push_back(port);
    }
  }
  return client;
}

void JackClient::activate(std::unique_ptr<ProcessHandler> handler, std::shared_ptr<EngineStats> stats) {
  context_.handler = std::move(handler);
  context_.stats = std::move(stats);
  void* arg = &context_;
  jack_set_thread_init_callback(client_, on_thread_init, arg);
  jack_on_info_shutdown(client_, on_shutdown, arg);
  jack_set_process_callback(client_, on_process, arg);
  jack_set_freewheel_callback(client_, on_freewheel, arg);
  jack_set_buffer_size_callback(client_, on_buffer_size, arg);
  jack_set_sample_rate_callback(client_, on_sample_rate, arg);
  jack_set_client_registration_callback(client_, on_client_registration, arg);
  jack_set_port_registration_callback(client_, on_port_registration, arg);
  jack_set_port_connect_callback(client_, on_port_connect, arg);
  jack_set_graph_order_callback(client_, on_graph_order, arg);
  jack_set_xrun_callback(client_, on_xrun, arg);
  // Valid before the first cycle can run, so the outputs are written from the start.
  context_.valid.store(true, std::memory_order_release);
  if (int rc = jack_activate(client_); rc != 0) {
    context_.valid.store(false, std::memory_order_release);
    throw Error("jack activate: error code " + std::to_string(rc));
  }
  active_ = true;
}

float JackClient::cpu_load() const { return jack_cpu_load(client_); }

JackClient::~JackClient() {
  // Deactivation waits for a running cycle to end; only then is the handler let go.
  if (active_) jack_deactivate(client_);
  context_.valid.store(false, std::memory_order_release);
  jack_set_process_callback(client_, nullptr, nullptr);
  jack_set_thread_init_callback(client_, nullptr, nullptr);
  context_.handler.reset();
  jack_client_close(client_);
}

JackMixHandler::JackMixHandler(std::unique_ptr<MixEngine> engine, const JackClient& client)
    : engine_(std::move(engine)),
      inputs_(client.input_ports()),
      outputs_(client.bus_outputs()),
      sink_outputs_(client.sink_outputs()),
      input_buffers_(inputs_.size()),
      output_buffers_(outputs_.size()),
      sink_buffers_(sink_outputs_.size()) {}

void JackMixHandler::process(jack_nframes_t frames) noexcept {
  for (std::size_t i = 0; i < inputs_.size(); ++i) {
    input_buffers_[i] = static_cast<const float*>(jack_port_get_buffer(inputs_[i], frames));
  }
  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    output_buffers_[i] = static_cast<float*>(jack_port_get_buffer(outputs_[i], frames));
  }
  for (std::size_t i = 0; i < sink_outputs_.size(); ++i) {
    sink_buffers_[i] = static_cast<float*>(jack_port_get_buffer(sink_outputs_[i], frames));
  }
  engine_->process(frames, CycleBuffers{input_buffers_.data(), output_buffers_.data(), sink_buffers_.data()});
}

}  // namespace vantle::engine

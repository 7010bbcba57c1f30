#include "midi/surface.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>

#include "util/error.hpp"
#include "util/log.hpp"
#include "util/threads.hpp"
#include "util/udp.hpp"

namespace vantle::midi {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::midi");
  return instance;
}

constexpr int kReceiveTimeoutMs = 200;
constexpr std::size_t kDatagramBytes = 64;
constexpr float kMaxGain = 2.0f;

struct Command {
  const char* action;
  const char* address;
  bool on_navigation;  // every command is on the transport keys; some also on navigation
};

constexpr std::array<Command, 9> kCommands = {{
    {"play", "/transport_play", false},
    {"stop", "/transport_stop", false},
    {"record", "/rec_enable_toggle", false},
    {"play_stop", "/toggle_roll", false},
    {"goto_start", "/goto_start", true},
    {"goto_end", "/goto_end", true},
    {"add_marker", "/add_marker", true},
    {"prev_marker", "/prev_marker", true},
    {"next_marker", "/next_marker", true},
}};

// A fader step that lands outside 0..2, or on no number at all (a NaN fed back from
// the DAW), ends at the nearest sane gain.
float stepped_gain(float old_gain, float step) {
  const float gain = old_gain + step;
  if (std::isnan(gain)) return 0.0f;
  return std::clamp(gain, 0.0f, kMaxGain);
}

}  // namespace

const char* SurfaceMode::name() const {
  switch (kind) {
    case Kind::kIdle: return "idle";
    case Kind::kChannelSelect: return "channel_select";
    case Kind::kChannelControl: return "channel_control";
    case Kind::kTransport: return "transport";
    case Kind::kNavigation: return "navigation";
  }
  return "idle";
}

Surface::Surface(const config::MidiConfig& midi, std::vector<std::string> channel_ids,
                 std::shared_ptr<engine::LiveScene> scene, OscSend osc)
    : mode_keys_(KeyMap::compile(midi.mode_keys)),
      channel_keys_(KeyMap::compile(midi.channel_keys)),
      channel_action_keys_(KeyMap::compile(midi.channel_action_keys)),
      transport_keys_(KeyMap::compile(midi.transport_keys)),
      navigation_keys_(KeyMap::compile(midi.navigation_keys)),
      fader_step_(midi.fader_step),
      order_(std::move(channel_ids)),
      scene_(std::move(scene)),
      osc_(std::move(osc)) {
  for (std::size_t i = 0; i < order_.size(); ++i) positions_.emplace(order_[i], i);
}

bool Surface::handle_datagram(std::span<const std::uint8_t> bytes, std::uint64_t timestamp_ms) {
  if (bytes.size() < 3 || (bytes[0] & 0xF0) != 0x90 || bytes[2] == 0) return false;
  // A byte with its top bit set is a status byte, never a note or a velocity: such a
  // datagram is not a Note On, and taking it for one would publish notes and
  // velocities no keyboard can play.
  if (bytes[1] > 0x7F || bytes[2] > 0x7F) return false;
  press(bytes[1], bytes[2], timestamp_ms);
  return true;
}

void Surface::press(std::uint8_t note, std::uint8_t velocity, std::uint64_t timestamp_ms) {
  MidiKeyEvent event{note_display_name(note), velocity, timestamp_ms, action_text(note)};
  mode_ = apply(note);
  state_->update(mode_.name(),
                 mode_.kind == SurfaceMode::Kind::kChannelControl ? std::optional(mode_.channel) : std::nullopt,
                 std::move(event));
}

std::optional<std::string> Surface::action_text(std::uint8_t note) const {
  if (const auto* action = mode_keys_.find(note)) return "mode:" + *action;
  const std::string* action = nullptr;
  switch (mode_.kind) {
    case SurfaceMode::Kind::kIdle:
      return std::nullopt;
    case SurfaceMode::Kind::kChannelSelect:
      if ((action = channel_keys_.find(note))) return "select:" + *action;
      return std::nullopt;
    case SurfaceMode::Kind::kChannelControl:
      action = channel_action_keys_.find(note);
      break;
    case SurfaceMode::Kind::kTransport:
      action = transport_keys_.find(note);
      break;
    case SurfaceMode::Kind::kNavigation:
      action = navigation_keys_.find(note);
      break;
  }
  return action ? std::optional(*action) : std::nullopt;
}

SurfaceMode Surface::apply(std::uint8_t note) {
  if (const auto* action = mode_keys_.find(note)) return apply_mode_key(*action);
  switch (mode_.kind) {
    case SurfaceMode::Kind::kIdle:
      return mode_;
    case SurfaceMode::Kind::kChannelSelect:
      if (const auto* id = channel_keys_.find(note)) return select_channel(*id);
      return mode_;
    case SurfaceMode::Kind::kChannelControl:
      if (const auto* action = channel_action_keys_.find(note)) {
        if (*action == "channel_prev" || *action == "channel_next") return step_channel(*action);
        change_channel(*action);
      }
      return mode_;
    case SurfaceMode::Kind::kTransport:
      if (const auto* action = transport_keys_.find(note)) send_command(*action, false);
      return mode_;
    case SurfaceMode::Kind::kNavigation:
      if (const auto* action = navigation_keys_.find(note)) send_command(*action, true);
      return mode_;
  }
  return mode_;
}

SurfaceMode Surface::apply_mode_key(const std::string& action) {
  using Kind = SurfaceMode::Kind;
  switch (mode_.kind) {
    case Kind::kIdle:
      break;
    case Kind::kChannelControl:
      logger().info("[midi] ChannelControl({}) \u2192 mode key", mode_.channel);
      break;
    case Kind::kChannelSelect:
      logger().info("[midi] ChannelSelect \u2192 mode key");
      break;
    case Kind::kTransport:
      logger().info("[midi] Transport \u2192 mode key");
      break;
    case Kind::kNavigation:
      logger().info("[midi] Navigation \u2192 mode key");
      break;
  }
  // From rest or from a channel, the channel key goes straight to the first channel
  // rather than waiting for a second key.
  if (action == "channel_select" && (mode_.kind == Kind::kIdle || mode_.kind == Kind::kChannelControl)) {
    if (order_.empty()) return SurfaceMode::of(Kind::kIdle);
    logger().info("[midi] \u2192 ChannelControl {{ {} }} (first)", order_.front());
    return SurfaceMode::channel_control(order_.front());
  }
  return mode_from_action(action);
}

SurfaceMode Surface::mode_from_action(const std::string& action) const {
  using Kind = SurfaceMode::Kind;
  if (action == "idle") {
    logger().info("[midi] \u2192 Idle (reset)");
    return SurfaceMode::of(Kind::kIdle);
  }
  if (action == "channel_select") {
    logger().info("[midi] \u2192 ChannelSelect");
    return SurfaceMode::of(Kind::kChannelSelect);
  }
  if (action == "transport") {
    logger().info("[midi] \u2192 Transport");
    return SurfaceMode::of(Kind::kTransport);
  }
  if (action == "navigation") {
    logger().info("[midi] \u2192 Navigation");
    return SurfaceMode::of(Kind::kNavigation);
  }
  logger().warn("[midi] unknown mode {} \u2192 Idle", action);
  return SurfaceMode::of(Kind::kIdle);
}

SurfaceMode Surface::select_channel(const std::string& id) {
  if (!positions_.contains(id)) {
    logger().warn("[midi] unknown channel id {}", id);
    return mode_;
  }
  logger().info("[midi] \u2192 ChannelControl {{ {} }}", id);
  return SurfaceMode::channel_control(id);
}

SurfaceMode Surface::step_channel(const std::string& action) {
  if (order_.empty()) return mode_;
  const auto found = std::find(order_.begin(), order_.end(), mode_.channel);
  const std::size_t place = found == order_.end() ? 0 : static_cast<std::size_t>(found - order_.begin());
  const std::size_t count = order_.size();
  const std::size_t next = action == "channel_next" ? (place + 1) % count : (place + count - 1) % count;
  logger().info("[midi] channel {} \u2192 {}", mode_.channel, order_[next]);
  return SurfaceMode::channel_control(order_[next]);
}

void Surface::change_channel(const std::string& action) {
  const auto it = positions_.find(mode_.channel);
  if (it == positions_.end()) return;
  const std::size_t position = it->second;
  const int strip = static_cast<int>(position) + 1;

  engine::Scene scene = *scene_->load();
  // A scene with fewer channels than the configuration (installed through the
  // control plane) has no entry to change.
  if (position >= scene.channels.size()) {
    logger().warn("[midi] channel {} has no entry in the live scene", mode_.channel);
    return;
  }
  auto& faders = scene.channels[position];

  if (action == "fader_up" || action == "fader_down") {
    const float gain = stepped_gain(faders.main, action == "fader_up" ? fader_step_ : -fader_step_);
    const float db = gain_to_db(gain);
    faders.main = gain;
    scene_->install(std::move(scene));
    logger().info("[midi] {} fader \u2192 {:.3f} ({:.1f} dB \u2192 Ardour strip {})", mode_.channel, gain, db, strip);
    osc_("/strip/gain/" + std::to_string(strip), {OscArgument(db)});
    return;
  }
  if (action == "mute_toggle") {
    const bool muted = faders.main_muted < 0.5f;
    faders.main_muted = muted ? 1.0f : 0.0f;
    scene_->install(std::move(scene));
    logger().info("[midi] {} muted \u2192 {}", mode_.channel, muted);
    osc_("/strip/mute/" + std::to_string(strip), {OscArgument(std::int32_t{muted ? 1 : 0})});
    return;
  }
  logger().warn("[midi] unknown channel action {}", action);
  scene_->install(std::move(scene));
}

void Surface::send_command(const std::string& action, bool navigation) {
  if (navigation) {
    logger().info("[midi] navigation \u2192 {}", action);
  } else {
    logger().info("[midi] transport \u2192 {}", action);
  }
  for (const auto& command : kCommands) {
    if (action == command.action && (!navigation || command.on_navigation)) {
      osc_(command.address, {});
      return;
    }
  }
  if (navigation) {
    logger().warn("[midi] unknown nav action {}", action);
  } else {
    logger().warn("[midi] unknown transport action {}", action);
  }
}

namespace {

// Whole milliseconds since `start` on the wall clock; 0 when the clock went back.
std::uint64_t millis_since(std::chrono::system_clock::time_point start) {
  const auto elapsed = std::chrono::system_clock::now() - start;
  if (elapsed.count() < 0) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void run_surface(net::UdpSocket& socket, Surface& surface, const std::optional<std::string>& state_file,
                 const Lifeline& lifeline) {
  if (state_file) {
    try {
      start_midi_state_writer(*state_file, surface.state(), lifeline);
    } catch (const std::exception&) {
      // The surface works without its file; displays only see it stand still.
    }
  }

  const auto start = std::chrono::system_clock::now();
  std::array<std::uint8_t, kDatagramBytes> buffer{};
  while (lifeline.alive()) {
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    switch (socket.receive(buffer, length, from, error)) {
      case net::UdpSocket::Received::kNothing:
        continue;
      case net::UdpSocket::Received::kError:
        logger().warn("[midi] recv error: {}", os_error_text(error));
        continue;
      case net::UdpSocket::Received::kDatagram:
        break;
    }
    // A key that arrives after the Mixer was dropped belongs to its successor.
    if (!lifeline.alive()) break;
    try {
      surface.handle_datagram(std::span(buffer.data(), length), millis_since(start));
    } catch (const std::exception& e) {
      // Nothing a key press does may stop the surface.
      logger().warn("[midi] key press failed: {}", e.what());
    }
  }
  logger().info("midi thread exiting");
}

}  // namespace

void start_midi_surface(const config::MidiConfig& midi, std::vector<std::string> channel_ids,
                        std::shared_ptr<engine::LiveScene> scene, Lifeline lifeline) {
  const net::Endpoint local = net::Endpoint::any(midi.listen_port);
  auto socket = std::make_shared<net::UdpSocket>();
  with_context("binding MIDI listener on " + local.to_string(), [&] {
    *socket = net::UdpSocket::create();
    // The surface of a dropped Mixer holds the port until its next receive timeout;
    // the surface that replaces it at a reload must be able to bind it meanwhile.
    socket->set_reuse_address();
    socket->bind(local);
  });
  with_context("set midi socket read timeout", [&] { socket->set_receive_timeout(kReceiveTimeoutMs); });

  // Without a sender the surface could change faders Ardour never hears of.
  auto sender = std::make_shared<OscSender>(midi.ardour_osc);
  auto surface = std::make_shared<Surface>(
      midi, std::move(channel_ids), scene,
      [sender](const std::string& address, const std::vector<OscArgument>& arguments) {
        sender->send(address, arguments);
      });

  logger().info("midi listener on udp://{}", socket->local_endpoint().to_string());
  if (midi.osc_feedback_port) start_osc_feedback(*midi.osc_feedback_port, scene, lifeline);

  with_context("spawn midi thread", [&] {
    spawn_detached("midi", [socket, surface, state_file = midi.midi_state_file, lifeline]() mutable {
      run_surface(*socket, *surface, state_file, lifeline);
      // Closed here rather than whenever the last copy of this closure goes.
      *socket = net::UdpSocket();
    });
  });
}

}  // namespace vantle::midi

// The OSC link to the DAW: fader, mute and transport messages out to its OSC
// interface, and its strip and master changes back into the live scene.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/live_scene.hpp"
#include "util/lifeline.hpp"
#include "util/udp.hpp"

namespace vantle::midi {

// dB from a linear gain: 20 log10(gain) floored at -70; -70 for 0 (and below, and NaN).
float gain_to_db(float gain);
// Linear gain from dB: 0 at -80 and below (and for NaN), else 10^(dB/20) capped at 2.0.
float db_to_gain(float db);

using OscArgument = std::variant<float, std::int32_t>;

// Where the DAW's OSC interface listens: the "ardour_osc" literal ("a.b.c.d:port" or
// "[v6 address]:port", no host names), or 127.0.0.1:3819 when it does not parse.
// An IPv6 literal is a valid setting, but the sender socket is IPv4 and cannot reach
// it: `ipv4` is then empty, and every send fails and is logged with `text`.
struct OscTarget {
  std::optional<net::Endpoint> ipv4;
  std::string text;  // "127.0.0.1:3819", "[::1]:3819"
};
OscTarget osc_target(const std::string& ardour_osc);

// Sends OSC messages to the DAW. Used by the MIDI thread only.
class OscSender {
 public:
  // Binds 0.0.0.0:0 (IPv4). Throws Error "binding OSC sender socket on 0.0.0.0:0".
  explicit OscSender(const std::string& ardour_osc);

  // One OSC message in one datagram; a failure is logged at warn
  // "[midi] OSC send_to {}: {}" and not retried.
  void send(const std::string& address, const std::vector<OscArgument>& arguments);

  std::string target_text() const { return target_.text; }

 private:
  OscTarget target_;
  net::UdpSocket socket_;
};

// Starts the "osc-feedback" listener on 0.0.0.0:port. A bind failure is logged at
// warn "osc feedback bind failed: {}" and nothing runs. The thread serves while
// `lifeline` is alive, then logs "osc feedback loop exiting" and closes its socket.
// The socket allows a second bind of the port, so the next `Mixer` of a reload can
// listen while this one's thread is still finishing its last receive.
void start_osc_feedback(std::uint16_t port, std::shared_ptr<engine::LiveScene> scene, Lifeline lifeline);

// Nesting limit for bundles inside bundles (the outermost bundle is level 1).
inline constexpr int kMaxBundleDepth = 8;

// Applies one received OSC packet (message or bundle) to the live scene, the
// messages of bundles in order. The whole packet is checked before anything is
// applied: a malformed packet changes nothing and throws Error. Any non-real-time
// thread (the feedback thread; tests).
void apply_osc_packet(std::span<const std::uint8_t> packet, engine::LiveScene& scene);

}  // namespace vantle::midi

// The two ways of listening: as a registered relay of a mixer (unicast AUDIO,
// PING/PONG, BYE), or as a follower of one bus in a multicast group.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "listening.hpp"
#include "util/udp.hpp"

namespace vantle::relay {

struct Options {
  // Unicast: the mixer's broadcast socket.
  std::optional<net::Endpoint> mixer;
  std::string name;
  std::uint8_t version = 2;
  double register_timeout_s = 3.0;
  // Multicast: the group (or, for tests on one host, a local unicast address).
  std::optional<net::Endpoint> group;
  std::string bus;               // "main", "monitor" or "cue"
  std::uint32_t rate = 48000;    // multicast packets do not announce it
  // Both.
  std::optional<double> seconds;  // until a signal when absent
  std::string wav;
  bool progress = true;           // progress lines on standard error
};

// Blocks SIGINT and SIGTERM except while waiting for the network, so a stop
// request always interrupts the wait instead of slipping in just before it.
void install_stop_signals();

struct Outcome {
  bool accepted = true;  // false: REJECT, no answer, or stopped before an answer
  std::string why;       // the reason when not accepted
};

// Each throws Error for failures of the local system (sockets, the WAV file); a
// failed WAV write after listening started is recorded in the report instead.
Outcome listen_unicast(const Options& options, Report& report);
void listen_multicast(const Options& options, Report& report);

}  // namespace vantle::relay

// One conversation with a mixer's control port: requests go out from one fresh
// socket, and what comes back is taken from the mixer's address only.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.hpp"
#include "util/udp.hpp"

namespace vantle::ctl {

using Clock = std::chrono::steady_clock;

struct Reply {
  std::string text;  // the datagram as received
  json::Json value;  // parsed; null for an empty datagram
  std::string kind;  // its "kind", "" for an empty datagram
};

class Link {
 public:
  // Throws Error naming the step.
  explicit Link(const net::Endpoint& mixer);

  const net::Endpoint& mixer() const { return mixer_; }

  // Throws Error with the system's reason.
  void send(std::string_view bytes);

  // The next datagram from the mixer that is a JSON object whose "kind" is one of
  // `kinds` (any kind when empty), or an empty datagram when `accept_empty` (the
  // mixer's answer when a reply cannot be written). Nothing once `deadline` has
  // passed. Throws Error when the system reports that nobody listens there.
  std::optional<Reply> await(const std::vector<std::string>& kinds, Clock::time_point deadline,
                             bool accept_empty = false);

 private:
  net::Endpoint mixer_;
  net::UdpSocket socket_;
};

}  // namespace vantle::ctl

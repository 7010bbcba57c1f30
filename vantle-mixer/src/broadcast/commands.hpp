// Messages from the control thread to the broadcast thread.
#pragma once

#include <string>
#include <variant>

#include "broadcast/feed.hpp"
#include "util/channel.hpp"

namespace vantle::broadcast {

struct SetAssignment {
  std::string name;
  Feed feed;
};
struct SetDefaultAssignment {
  std::string name;
  Feed feed;
};
struct SetSessionDelayCommand {
  std::string name;
  float delay_ms;
};
struct RegisterMulticastRelay {
  std::string name;
};
struct MulticastRelayHeartbeat {
  std::string name;
};
struct RemoveMulticastRelay {
  std::string name;
};

using BroadcastCommand = std::variant<SetAssignment, SetDefaultAssignment, SetSessionDelayCommand,
                                      RegisterMulticastRelay, MulticastRelayHeartbeat, RemoveMulticastRelay>;
using CommandChannel = Channel<BroadcastCommand>;

}  // namespace vantle::broadcast

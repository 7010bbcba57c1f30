// A configuration reload handed from the control thread to the main thread.
#pragma once

#include <optional>
#include <string>

#include "config/config.hpp"
#include "util/channel.hpp"

namespace vantle::control {

// The candidate configuration, already validated, and the one answer: nothing on
// success, else the error text.
struct ReloadCommand {
  config::Config config;
  OneShot<std::optional<std::string>> reply;
};

using ReloadChannel = Channel<ReloadCommand>;

}  // namespace vantle::control

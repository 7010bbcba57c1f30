// The "autoconnect" worker: keeps the JACK connections the operator listed in the
// configuration in place, making each missing one as soon as both its ports exist.
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <cstddef>
#include <vector>

#include "config/config.hpp"
#include "util/lifeline.hpp"

namespace vantle::engine {

// The name the worker asks JACK for; JACK grants another while a dropped `Mixer`'s
// worker still holds this one.
inline constexpr const char* kAutoconnectClientName = "vantle-mixer-wire";
inline constexpr std::chrono::milliseconds kAutoconnectInterval = std::chrono::seconds(5);
// Lets end-to-end tests shorten the pass interval (milliseconds, a positive integer).
inline constexpr const char* kAutoconnectIntervalVariable = "VANTLE_AUTOCONNECT_INTERVAL_MS";

// The interval the product uses: `kAutoconnectInterval`, unless the variable above
// holds a positive whole number of milliseconds. Any thread.
std::chrono::milliseconds autoconnect_interval();

// Starts the "autoconnect" thread when `rules` is not empty. The thread opens its own
// JACK client (no ports, never activated), passes over the rules every `interval`,
// and closes the client and ends once `lifeline` says so. When the thread cannot be
// started the mixer runs without it and nothing is logged. Main thread.
void start_autoconnect(std::vector<config::AutoConnect> rules, Lifeline lifeline,
                       std::chrono::milliseconds interval = kAutoconnectInterval);

// One pass over `rules` in order with the open client `client`: makes each missing
// connection whose two ports exist and logs what it made or why JACK refused.
// `keep_going` is asked before each rule so a dropped `Mixer` stops mid-pass.
// Returns how many connections it made. Autoconnect thread (or a test).
std::size_t autoconnect_pass(jack_client_t* client, const std::vector<config::AutoConnect>& rules,
                             const Lifeline* keep_going = nullptr);

}  // namespace vantle::engine

// How vantle-ctl shows the mixer's replies to an operator: tables and lists, gains
// with their decibels. Replies of unexpected shape are shown as far as they go,
// never trusted to have every member.
#pragma once

#include <string>
#include <vector>

#include "util/json.hpp"

namespace vantle::ctl {

// "config": the buses, the channels with kind and label, the ramp time.
std::string render_config(const json::Json& reply);

// "state": one row per channel (named by `channel_ids` where it has an entry for
// the row, else "#1", "#2", ...), then the masters, relay lines and plugin chains.
std::string render_state(const json::Json& reply, const std::vector<std::string>& channel_ids);

// "available_ports": sources and destinations, grouped by client.
std::string render_available_ports(const json::Json& reply);

// "jack_graph": per client, each port with its direction and connections.
std::string render_jack_graph(const json::Json& reply);

// "midi_state": mode, selected channel, last and recent keys.
std::string render_midi_state(const json::Json& reply);

// "full_config": the configuration as pretty JSON without "kind", floats in their
// shortest 32-bit form, so the output can be edited and sent back with a reload.
std::string render_full_config(const json::Json& reply);

// "welcome": the bus and delay a relay name gets.
std::string render_welcome(const json::Json& reply);

// Any reply by its kind; kinds without a table are shown as pretty JSON.
std::string render_reply(const json::Json& reply);

// "0.500 (-6.0 dB)"; "?" for what is not a number.
std::string gain_text(const json::Json& gain);

}  // namespace vantle::ctl

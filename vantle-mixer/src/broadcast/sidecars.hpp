// The status files for dashboards: sessions.json (everything listening to or
// feeding the mixer) and diag.json (engine timing, traffic, ingest drops), written
// by the broadcast thread five times a second.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "broadcast/local_sinks.hpp"
#include "broadcast/server.hpp"
#include "config/config.hpp"
#include "engine/engine_stats.hpp"
#include "ingest/ingest.hpp"

namespace vantle::broadcast {

// What the sidecars show, as the broadcast thread holds it at one instant.
struct SidecarView {
  const std::map<std::uint32_t, RelaySession>& relays;
  const std::vector<config::LocalRelaySinkConfig>& sinks;
  LocalSinkFeeds& sink_feeds;
  const ingest::IngestState& ingest;
  const std::map<std::string, Clock::time_point>& multicast_relays;
  engine::EngineStats& stats;
  Clock::time_point now;
};

// Compact JSON, members in their fixed order.
std::string sessions_json(const SidecarView& view);
// Takes (and resets) the engine's longest cycle since the previous call.
std::string diag_json(const SidecarView& view);

// Writes both files into `dir` (created if missing), logging each failure at warn
// ("sessions sidecar write: {}", "diag sidecar write: {}").
void write_sidecars(const std::filesystem::path& dir, const SidecarView& view);

}  // namespace vantle::broadcast

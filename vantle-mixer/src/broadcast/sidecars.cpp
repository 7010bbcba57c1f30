#include "broadcast/sidecars.hpp"

#include <cmath>
#include <system_error>

#include "util/files.hpp"
#include "util/json.hpp"
#include "util/log.hpp"

namespace vantle::broadcast {

namespace {

using json::Json;

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::broadcast");
  return instance;
}

// Seconds from `since` to `now`, never negative.
double seconds_between(Clock::time_point since, Clock::time_point now) {
  const double s = std::chrono::duration<double>(now - since).count();
  return s > 0.0 ? s : 0.0;
}

Json f64(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

const char* cell_feed_name(std::uint8_t cell) {
  return cell < 4 ? feed_name(static_cast<Feed>(cell)) : "main";
}

std::string dump(const Json& doc) { return doc.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::string sessions_json(const SidecarView& view) {
  Json sessions = Json::array();
  for (const auto& [id, session] : view.relays) {
    sessions.push_back({{"kind", "udp"},
                        {"session_id", id},
                        {"name", session.name},
                        {"peer", session.peer.to_string()},
                        {"version", session.version},
                        {"bus", feed_name(session.bus)},
                        {"seconds_since_ping", f64(seconds_between(session.last_ping, view.now))},
                        {"delay_ms", json::f32(session.delay_ms)}});
  }
  for (const auto& sink : view.sinks) {
    Json entry = {{"kind", "local"}, {"session_id", 0}, {"name", sink.name}};
    if (!sink.label.empty()) entry["label"] = sink.label;
    auto* cell = view.sink_feeds.cell(sink.name);
    entry["peer"] = "local";
    entry["version"] = 2;
    entry["bus"] = cell_feed_name(cell ? cell->load(std::memory_order_relaxed) : 0);
    entry["seconds_since_ping"] = f64(0.0);
    entry["delay_ms"] = json::f32(0.0f);
    sessions.push_back(std::move(entry));
  }
  for (const auto& [id, sender] : view.ingest.sessions()) {
    const auto* channel = view.ingest.channel_of(sender.name);
    if (channel == nullptr) continue;
    sessions.push_back({{"kind", "broadcaster"},
                        {"session_id", id},
                        {"name", sender.name},
                        {"label", channel->label},
                        {"peer", sender.peer.to_string()},
                        {"version", sender.version},
                        {"bus", channel->id},
                        {"seconds_since_ping", f64(seconds_between(sender.last_packet, view.now))},
                        {"delay_ms", json::f32(0.0f)}});
  }
  for (const auto& [name, seen] : view.multicast_relays) {
    sessions.push_back({{"kind", "multicast_relay"},
                        {"session_id", 0},
                        {"name", name},
                        {"peer", ""},
                        {"version", 0},
                        {"bus", "main"},
                        {"seconds_since_ping", f64(seconds_between(seen, view.now))},
                        {"delay_ms", json::f32(0.0f)}});
  }
  return dump(Json{{"sessions", std::move(sessions)}});
}

std::string diag_json(const SidecarView& view) {
  auto& stats = view.stats;
  Json relays = Json::array();
  for (const auto& [id, session] : view.relays) {
    relays.push_back({{"name", session.name},
                      {"peer", session.peer.to_string()},
                      {"bus", feed_name(session.bus)},
                      {"total_bytes", session.total_bytes},
                      {"total_pkts", session.total_pkts},
                      {"last_ping_age_sec", f64(seconds_between(session.last_ping, view.now))},
                      {"uptime_sec", f64(seconds_between(session.created, view.now))}});
  }
  Json broadcasters = Json::array();
  for (const auto& [id, sender] : view.ingest.sessions()) {
    const auto* channel = view.ingest.channel_of(sender.name);
    broadcasters.push_back({{"name", sender.name},
                            {"peer", sender.peer.to_string()},
                            {"channel_id", channel ? channel->id : ""},
                            {"channel_label", channel ? channel->label : ""},
                            {"total_bytes", sender.total_bytes},
                            {"total_pkts", sender.total_pkts},
                            {"last_packet_age_sec", f64(seconds_between(sender.last_packet, view.now))},
                            {"uptime_sec", f64(seconds_between(sender.created, view.now))}});
  }
  Json ingest = Json::array();
  for (std::size_t slot = 0; slot < stats.slot_count(); ++slot) {
    ingest.push_back({{"slot", slot}, {"drops", stats.slot_drops(slot).load(std::memory_order_relaxed)}});
  }
  const double ewma_us = stats.ewma_us();
  Json doc = {
      {"uptime_sec", f64(seconds_between(stats.start, view.now))},
      {"jack",
       {{"sample_rate", stats.sample_rate},
        {"buffer_size", stats.buffer_size},
        {"cpu_load_percent", json::f32(static_cast<float>(stats.cpu_load.load(std::memory_order_relaxed)) / 10.0f)},
        {"xrun_count", stats.xrun_count.load(std::memory_order_relaxed)}}},
      {"process",
       {{"last_us", stats.last_us.load(std::memory_order_relaxed)},
        {"max_us_window", stats.take_max_us()},
        {"ewma_us", f64(ewma_us)},
        {"headroom_us", f64(stats.headroom_us())}}},
      {"relay_sessions", std::move(relays)},
      {"broadcasters", std::move(broadcasters)},
      {"ingest", std::move(ingest)}};
  return dump(doc);
}

void write_sidecars(const std::filesystem::path& dir, const SidecarView& view) {
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  struct File {
    const char* name;
    const char* what;
    files::StepTexts steps;
    std::string (*build)(const SidecarView&);
  };
  static constexpr File kFiles[] = {
      {"sessions.json", "sessions",
       {"create tmp sessions file", "write tmp sessions file", "rename tmp \u2192 sessions file"}, sessions_json},
      {"diag.json", "diag", {"create tmp diag file", "write tmp diag file", "rename tmp \u2192 diag file"}, diag_json},
  };
  for (const auto& file : kFiles) {
    std::string problem;
    try {
      problem = files::replace_reporting(dir / file.name, file.build(view), file.steps);
    } catch (const std::exception& e) {
      problem = std::string("serialize ") + file.what + ": " + e.what();
    }
    if (!problem.empty()) logger().warn("{} sidecar write: {}", file.what, problem);
  }
}

}  // namespace vantle::broadcast

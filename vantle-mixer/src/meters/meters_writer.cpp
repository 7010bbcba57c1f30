#include "meters/meters_writer.hpp"

#include <chrono>
#include <cstdio>

#include "util/error.hpp"
#include "util/files.hpp"
#include "util/json.hpp"
#include "util/log.hpp"
#include "util/threads.hpp"

namespace vantle::meters {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::meters");
  return instance;
}

constexpr auto kPeriod = std::chrono::milliseconds(100);

json::Json peak_list(const MeterFrame& frame, MeterList list, const std::vector<std::string>& ids) {
  json::Json out = json::Json::array();
  for (std::size_t i = 0; i < frame.channel_count && i < ids.size(); ++i) {
    PeakPair peak = i < kMeteredChannels ? frame.channels[list][i] : PeakPair{};
    out.push_back(json::Json::array({ids[i], json::f32(peak.left), json::f32(peak.right)}));
  }
  return out;
}

}  // namespace

std::string encode_meters(const MeterFrame& frame, const std::vector<std::string>& channel_ids) {
  json::Json doc = json::Json::object();
  doc["channels"] = peak_list(frame, kInput, channel_ids);
  doc["main_out"] = json::f32(frame.bus_out[0]);
  doc["monitor_out"] = json::f32(frame.bus_out[1]);
  doc["cue_out"] = json::f32(frame.bus_out[2]);
  json::Json main = peak_list(frame, kMain, channel_ids);
  if (!main.empty()) {
    doc["bus_levels"] = {{"main", std::move(main)},
                         {"monitor", peak_list(frame, kMonitor, channel_ids)},
                         {"cue", peak_list(frame, kCue, channel_ids)}};
  }
  return doc.dump(-1, ' ', false, json::Json::error_handler_t::replace);
}

std::string write_meters_file(const std::filesystem::path& path, const std::string& content) {
  static constexpr files::StepTexts kSteps{"create tmp meters file", "write tmp meters file",
                                           "rename tmp \u2192 meters file"};
  return files::replace_reporting(path, content, kSteps);
}

void start_meters_writer(std::filesystem::path path, std::shared_ptr<MeterSlot> slot,
                         std::vector<std::string> channel_ids, Lifeline lifeline) {
  with_context("spawn meters writer", [&] {
    spawn_detached("meters", [path = std::move(path), slot = std::move(slot), ids = std::move(channel_ids),
                              lifeline = std::move(lifeline)]() mutable {
      logger().info("meters writer \u2192 {}", path.string());
      while (lifeline.alive()) {
        std::string problem;
        try {
          problem = write_meters_file(path, encode_meters(slot->latest(), ids));
        } catch (const std::exception& e) {
          problem = std::string("serialize meters: ") + e.what();
        }
        if (!problem.empty()) logger().warn("meters write: {}", problem);
        if (!lifeline.sleep_for(kPeriod)) break;
      }
    });
  });
}

}  // namespace vantle::meters

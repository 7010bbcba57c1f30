// The "meters" thread: every 100 ms the latest meter frame goes to the meters file
// as compact JSON, replaced atomically so a display never reads half a file.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "meters/meter_slot.hpp"
#include "util/lifeline.hpp"

namespace vantle::meters {

// The file's content for `frame`, with the configured channel ids in order.
std::string encode_meters(const MeterFrame& frame, const std::vector<std::string>& channel_ids);

// Writes `content` to `path` through its temporary sibling. Returns the failed
// step's text ("create tmp meters file: ...") or an empty string.
std::string write_meters_file(const std::filesystem::path& path, const std::string& content);

// Starts the thread; it ends when `lifeline` says so. Throws Error with the
// context "spawn meters writer".
void start_meters_writer(std::filesystem::path path, std::shared_ptr<MeterSlot> slot,
                         std::vector<std::string> channel_ids, Lifeline lifeline);

}  // namespace vantle::meters

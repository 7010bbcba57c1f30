// The feed cells of the local relay sinks: one atomic byte per sink holding the Feed
// its JACK ports carry. The process callback reads them every cycle; the broadcast
// side changes them when an assignment changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "broadcast/feed.hpp"
#include "config/config.hpp"

namespace vantle::broadcast {

class LocalSinkFeeds {
 public:
  // One cell per sink, seeded with its default bus.
  explicit LocalSinkFeeds(const std::vector<config::LocalRelaySinkConfig>& sinks);

  // The cell of the sink named `name`, or null.
  std::atomic<std::uint8_t>* cell(std::string_view name);

  void set(std::string_view name, Feed feed);

 private:
  std::vector<std::string> names_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> cells_;
};

}  // namespace vantle::broadcast

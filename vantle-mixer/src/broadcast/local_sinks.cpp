#include "broadcast/local_sinks.hpp"

namespace vantle::broadcast {

LocalSinkFeeds::LocalSinkFeeds(const std::vector<config::LocalRelaySinkConfig>& sinks)
    : cells_(std::make_unique<std::atomic<std::uint8_t>[]>(sinks.size())) {
  for (std::size_t i = 0; i < sinks.size(); ++i) {
    names_.push_back(sinks[i].name);
    cells_[i].store(static_cast<std::uint8_t>(parse_feed(sinks[i].default_bus).value_or(Feed::kMain)));
  }
}

std::atomic<std::uint8_t>* LocalSinkFeeds::cell(std::string_view name) {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == name) return &cells_[i];
  }
  return nullptr;
}

void LocalSinkFeeds::set(std::string_view name, Feed feed) {
  if (auto* c = cell(name)) c->store(static_cast<std::uint8_t>(feed), std::memory_order_relaxed);
}

}  // namespace vantle::broadcast

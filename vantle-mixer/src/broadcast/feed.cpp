#include "broadcast/feed.hpp"

namespace vantle::broadcast {

const char* feed_name(Feed feed) {
  switch (feed) {
    case Feed::kMain: return "main";
    case Feed::kMonitor: return "monitor";
    case Feed::kCue: return "cue";
    case Feed::kOff: return "off";
  }
  return "main";
}

std::optional<Feed> parse_feed(std::string_view name) {
  if (name == "main") return Feed::kMain;
  if (name == "monitor") return Feed::kMonitor;
  if (name == "cue") return Feed::kCue;
  if (name == "off") return Feed::kOff;
  return std::nullopt;
}

}  // namespace vantle::broadcast

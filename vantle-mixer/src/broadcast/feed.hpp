// The bus a relay name or a local relay sink listens to.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantle::broadcast {

enum class Feed : std::uint8_t { kMain = 0, kMonitor = 1, kCue = 2, kOff = 3 };

// "main", "monitor", "cue", "off".
const char* feed_name(Feed feed);
// The feed of a name, exactly as written; nothing for any other text.
std::optional<Feed> parse_feed(std::string_view name);

}  // namespace vantle::broadcast

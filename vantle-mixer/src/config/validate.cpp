#include "config/validate.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <set>
#include <string_view>

namespace vantle::config {

namespace {

// End of a slot range. Slot numbers come straight from the file and may be as large
// as 2^64 - 1, so the sum is taken in 128 bits: wrapping around would let a range
// far beyond the configured slots pass as a small one.
__extension__ typedef unsigned __int128 Wide;

Wide range_end(std::uint64_t start, std::uint64_t width) { return static_cast<Wide>(start) + width; }

std::string to_text(Wide value) {
  if (value == 0) return "0";
  std::string digits;
  while (value != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  }
  return digits;
}

}  // namespace

std::optional<std::string> validate_config(const Config& config) {
  const std::uint64_t slot_count = config.ingest.slot_count;

  std::set<std::string_view> channel_ids;
  for (const auto& channel : config.channels) {
    if (!channel_ids.insert(channel.id).second) return fmt::format("duplicate channel id: {}", channel.id);
    if (channel.ingest_slot) {
      const std::uint64_t start = *channel.ingest_slot;
      const Wide end = range_end(start, channel.kind == ChannelKind::kStereo ? 2 : 1);
      if (end > slot_count) {
        return fmt::format("channel {} ingest_slot {}..{} exceeds ingest.slot_count {}", channel.id, start,
                           to_text(end), slot_count);
      }
    }
  }

  std::set<std::string_view> sender_names;
  for (const auto& sender : config.ingest.sender) {
    if (!sender_names.insert(sender.name).second) {
      return fmt::format("duplicate ingest sender name: {}", sender.name);
    }
    const Wide end = range_end(sender.start_slot, sender.channels);
    if (end > slot_count) {
      return fmt::format("sender {} slots {}..{} exceed ingest.slot_count {}", sender.name, sender.start_slot,
                         to_text(end), slot_count);
    }
  }

  std::set<std::string_view> sink_names;
  for (const auto& sink : config.local_relay_sink) {
    if (!sink_names.insert(sink.name).second) return fmt::format("duplicate local_relay_sink name: {}", sink.name);
    if (sink.default_bus != "main" && sink.default_bus != "monitor" && sink.default_bus != "cue") {
      return fmt::format("local_relay_sink {}: default_bus must be main|monitor|cue, got {}", sink.name,
                         sink.default_bus);
    }
  }

  return std::nullopt;
}

}  // namespace vantle::config

#include "config/validate.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace vantle::config {
namespace {

constexpr std::uint64_t kMaxU64 = 18446744073709551615u;

ChannelConfig channel(std::string id, ChannelKind kind = ChannelKind::kStereo,
                      std::optional<std::uint64_t> slot = std::nullopt) {
  ChannelConfig c;
  c.id = std::move(id);
  c.kind = kind;
  c.ingest_slot = slot;
  return c;
}

LocalRelaySinkConfig sink(std::string name, std::string bus = "main") {
  return {std::move(name), "", {"l", "r"}, std::move(bus)};
}

TEST(ValidateConfig, RulesAndMessages) {
  struct Case {
    const char* name;
    std::function<void(Config&)> build;
    std::optional<std::string> error;
  };
  const Case cases[] = {
      {"default", [](Config&) {}, std::nullopt},
      {"stereo slot range fits exactly",
       [](Config& c) {
         c.ingest.slot_count = 5;
         c.channels = {channel("mic", ChannelKind::kStereo, 3)};
       },
       std::nullopt},
      {"stereo slot range one past the end",
       [](Config& c) {
         c.ingest.slot_count = 4;
         c.channels = {channel("mic", ChannelKind::kStereo, 3)};
       },
       "channel mic ingest_slot 3..5 exceeds ingest.slot_count 4"},
      {"mono needs one slot",
       [](Config& c) {
         c.ingest.slot_count = 1;
         c.channels = {channel("m", ChannelKind::kMono, 0)};
       },
       std::nullopt},
      {"any slot without ingest slots", [](Config& c) { c.channels = {channel("m", ChannelKind::kMono, 0)}; },
       "channel m ingest_slot 0..1 exceeds ingest.slot_count 0"},
      {"slot near the top of the range does not wrap around",
       [](Config& c) {
         c.ingest.slot_count = 5;
         c.channels = {channel("far", ChannelKind::kStereo, kMaxU64)};
       },
       "channel far ingest_slot 18446744073709551615..18446744073709551617 exceeds ingest.slot_count 5"},
      {"overlapping channel and sender slots are accepted",
       [](Config& c) {
         c.ingest = {2, {{"desk", 2, 0}}};
         c.channels = {channel("a", ChannelKind::kStereo, 0), channel("b", ChannelKind::kMono, 1)};
       },
       std::nullopt},
      {"sender without channels at the end", [](Config& c) { c.ingest = {3, {{"s", 0, 3}}}; }, std::nullopt},
      {"sender without channels past the end", [](Config& c) { c.ingest = {3, {{"s", 0, 4}}}; },
       "sender s slots 4..4 exceed ingest.slot_count 3"},
      {"sender past the end", [](Config& c) { c.ingest = {4, {{"desk", 2, 3}}}; },
       "sender desk slots 3..5 exceed ingest.slot_count 4"},
      {"sender slot does not wrap around", [](Config& c) { c.ingest = {4, {{"x", 255, kMaxU64}}}; },
       "sender x slots 18446744073709551615..18446744073709551870 exceed ingest.slot_count 4"},
      {"duplicate channel ids, otherwise valid",
       [](Config& c) { c.channels = {channel("mic"), channel("aux"), channel("mic")}; },
       "duplicate channel id: mic"},
      {"ids differ in case", [](Config& c) { c.channels = {channel("mic"), channel("Mic")}; }, std::nullopt},
      {"duplicate sender names", [](Config& c) { c.ingest = {8, {{"a", 1, 0}, {"b", 1, 1}, {"a", 1, 2}}}; },
       "duplicate ingest sender name: a"},
      {"names shared across channels, senders and sinks",
       [](Config& c) {
         c.channels = {channel("x")};
         c.ingest = {1, {{"x", 1, 0}}};
         c.local_relay_sink = {sink("x")};
       },
       std::nullopt},
      {"duplicate sink names", [](Config& c) { c.local_relay_sink = {sink("booth"), sink("booth", "cue")}; },
       "duplicate local_relay_sink name: booth"},
      {"every sink bus name", [](Config& c) { c.local_relay_sink = {sink("a"), sink("b", "monitor"), sink("c", "cue")}; },
       std::nullopt},
      {"sink bus with a capital", [](Config& c) { c.local_relay_sink = {sink("booth", "Main")}; },
       "local_relay_sink booth: default_bus must be main|monitor|cue, got Main"},
      {"sink bus off is not a bus", [](Config& c) { c.local_relay_sink = {sink("booth", "off")}; },
       "local_relay_sink booth: default_bus must be main|monitor|cue, got off"},
      {"channels are checked before senders and sinks",
       [](Config& c) {
         c.channels = {channel("mic"), channel("mic")};
         c.ingest = {0, {{"s", 1, 0}}};
         c.local_relay_sink = {sink("b", "MAIN")};
       },
       "duplicate channel id: mic"},
      {"senders are checked before sinks",
       [](Config& c) {
         c.ingest = {0, {{"s", 1, 0}}};
         c.local_relay_sink = {sink("b", "MAIN")};
       },
       "sender s slots 0..1 exceed ingest.slot_count 0"},
      {"first failing channel wins",
       [](Config& c) { c.channels = {channel("a", ChannelKind::kMono, 9), channel("a")}; },
       "channel a ingest_slot 9..10 exceeds ingest.slot_count 0"},
  };
  for (const auto& tc : cases) {
    Config config;
    tc.build(config);
    const Config before = config;
    EXPECT_EQ(validate_config(config), tc.error) << tc.name;
    EXPECT_EQ(config, before) << tc.name;
  }
}

}  // namespace
}  // namespace vantle::config

// The mix through a real JACK server: a probe client plays constant levels into the
// mixer's channel inputs and measures its bus, relay and local sink outputs, and the
// meters file shows the same levels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "e2e/mixer_fixture.hpp"
#include "support/jack_probe.hpp"
#include "util/json.hpp"

namespace vantle::test {
namespace {

using namespace std::chrono_literals;

TEST(EngineOnJack, LevelsPansMutesAndMetersArriveAsConfigured) {
  TempDir home;
  JackServer jack;
  const auto meters = home.path() / "meters.json";
  write_file(home.path() / "mixer-state" / "runtime-config.json", "{" + private_state_paths(home.path()) + R"(,
    "jack_name": "desk",
    "channels": [
      {"id": "mic", "kind": "mono", "main_gain": 0.5, "monitor_gain": 1.0},
      {"id": "tape", "main_gain": 1.0, "main_muted": true, "monitor_gain": 0.25, "pan": -0.5}
    ],
    "buses": {"cue_relay_gain": 0.5},
    "local_relay_sink": [{"name": "booth", "ports": ["booth_l", "booth_r"], "default_bus": "monitor"}]
  })");
  auto options = mixer_options(home.path());
  use_jack(options, &jack);
  Process mixer(std::move(options));

  enum Capture { kMainL, kMainR, kMonitorL, kMonitorR, kCueL, kRelayL, kBoothL, kBoothR };
  JackProbe probe(jack, {"mic", "tape_l", "tape_r"},
                  {"main_l", "main_r", "monitor_l", "monitor_r", "cue_l", "relay_l", "booth_l", "booth_r"});
  probe.connect(probe.source_name(0), "desk:mic_in");
  probe.connect(probe.source_name(1), "desk:tape_in_1");
  probe.connect(probe.source_name(2), "desk:tape_in_2");
  const std::vector<std::string> outputs = {"desk:out_1",         "desk:out_2",         "desk:monitor_out_1",
                                            "desk:monitor_out_2", "desk:cue_out_1",     "desk:main_relay_line_1",
                                            "desk:booth_l",       "desk:booth_r"};
  for (std::size_t c = 0; c < outputs.size(); ++c) probe.connect(outputs[c], probe.capture_name(c));
  probe.set_level(0, 0.4f);
  probe.set_level(1, 0.2f);
  probe.set_level(2, 0.6f);
  probe.wait_cycles(10);

  // mic: 0.4 to both sides at 0.5 in main, 1.0 in monitor. tape: muted in main; panned
  // half left, so its right side is halved, at 0.25 in monitor.
  EXPECT_NEAR(probe.last(kMainL), 0.2f, 1e-6);
  EXPECT_NEAR(probe.last(kMainR), 0.2f, 1e-6);
  EXPECT_NEAR(probe.last(kMonitorL), 0.4f + 0.25f * 0.2f, 1e-6);
  EXPECT_NEAR(probe.last(kMonitorR), 0.4f + 0.25f * 0.3f, 1e-6);
  EXPECT_EQ(probe.peak(kCueL), 0.0f);
  EXPECT_NEAR(probe.last(kRelayL), 0.2f, 1e-6);
  EXPECT_NEAR(probe.last(kBoothL), 0.45f, 1e-6);
  EXPECT_NEAR(probe.last(kBoothR), 0.475f, 1e-6);

  // The meters file follows within a few hundred milliseconds.
  json::Json doc;
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(50ms);
    try {
      doc = json::parse(read_file(meters));
      if (doc["channels"].size() == 2) break;
    } catch (const std::exception&) {
      // not written yet
    }
  }
  ASSERT_EQ(doc["channels"].size(), 2u) << doc.dump();
  EXPECT_EQ(doc["channels"][0].dump(), R"(["mic",0.4,0.4])");
  EXPECT_EQ(doc["channels"][1].dump(), R"(["tape",0.2,0.3])");
  EXPECT_EQ(doc["main_out"].dump(), "0.2");
  EXPECT_NEAR(doc["monitor_out"].get<double>(), 0.475, 1e-6);
  EXPECT_EQ(doc["bus_levels"]["main"][1].dump(), R"(["tape",0.0,0.0])");
  EXPECT_EQ(doc["bus_levels"]["monitor"][1].dump(), R"(["tape",0.05,0.075])");

  mixer.signal(SIGINT);
  EXPECT_EQ(mixer.wait(5s), 0) << mixer.err();
}

}  // namespace
}  // namespace vantle::test

// The mixer against a private dummy JACK server: its ports, its start-up and
// shutdown reports, and the server going away under it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "e2e/mixer_fixture.hpp"

namespace vantle::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

class MixerOnJack : public ::testing::Test {
 protected:
  // Starts the mixer and waits until its client is active.
  std::unique_ptr<Process> start(std::vector<std::string> args) {
    auto options = mixer_options(home_.path(), std::move(args));
    use_jack(options, &jack_);
    auto mixer = std::make_unique<Process>(std::move(options));
    started_ = mixer->wait_for_err("jack client '", 10s);
    // The log line comes before the ports and activation; wait for the last output.
    wait_for_port(":cue_relay_line_2");
    return mixer;
  }

  bool wait_for_port(const std::string& suffix) {
    for (int i = 0; i < 100; ++i) {
      for (const auto& port : jack_.ports()) {
        if (port.size() >= suffix.size() && port.compare(port.size() - suffix.size(), suffix.size(), suffix) == 0) {
          return true;
        }
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  std::vector<std::string> ports_of(const std::string& client) {
    std::vector<std::string> result;
    for (const auto& port : jack_.ports()) {
      if (port.rfind(client + ":", 0) == 0) result.push_back(port.substr(client.size() + 1));
    }
    return result;
  }

  // Stores `json` (an object's members) with every state file kept in the test's home.
  void store_config(const std::string& members) {
    write_file(home_.path() / "mixer-state" / "runtime-config.json",
               "{" + private_state_paths(home_.path()) + ", " + members + "}");
  }

  TempDir home_;
  JackServer jack_;
  bool started_ = false;
};

TEST_F(MixerOnJack, RegistersChannelBusAndSinkPortsInOrder) {
  store_config(R"(
    "jack_name": "desk",
    "channels": [
      {"id": "mic", "kind": "mono"},
      {"id": "tape"},
      {"id": "remote", "ingest_slot": 0},
      {"id": "phone", "kind": "mono", "ingest_slot": 2}
    ],
    "buses": {"main": ["pgm_l", "pgm_r"]},
    "ingest": {"slot_count": 3},
    "local_relay_sink": [{"name": "booth", "ports": ["booth_l", "booth_r"]},
                         {"name": "lobby", "ports": ["lobby_l", "lobby_r"], "default_bus": "cue"}]
  )");
  auto mixer = start({});
  ASSERT_TRUE(started_) << mixer->err();
  EXPECT_THAT(ports_of("desk"),
              ElementsAreArray({"mic_in", "tape_in_1", "tape_in_2", "pgm_l", "pgm_r", "monitor_out_1",
                                "monitor_out_2", "cue_out_1", "cue_out_2", "main_relay_line_1", "main_relay_line_2",
                                "monitor_relay_line_1", "monitor_relay_line_2", "cue_relay_line_1",
                                "cue_relay_line_2", "booth_l", "booth_r", "lobby_l", "lobby_r"}));
  EXPECT_THAT(jack_.lsp({"-p", "desk:mic_in"}), ::testing::Contains(HasSubstr("input")));
  EXPECT_THAT(jack_.lsp({"-p", "desk:booth_l"}), ::testing::Contains(HasSubstr("output")));
  EXPECT_THAT(mixer->err(), HasSubstr("jack client 'desk' opened (sample_rate=48000 buffer=256 frames, status=none)"));
}

TEST_F(MixerOnJack, SigintEndsInAnOrderlyWay) {
  auto mixer = start({"--no-config"});
  ASSERT_TRUE(started_) << mixer->err();
  EXPECT_THAT(mixer->err(), HasSubstr("config (default): 0 channels, jack_name=vantle-mixer, "
                                      "control=127.0.0.1:19997, broadcast_port=5005"));
  mixer->signal(SIGINT);
  ASSERT_EQ(mixer->wait(5s), 0) << mixer->err();
  auto messages = log_messages(mixer->err());
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "shutdown requested"), 1);
  EXPECT_EQ(messages.back(), "bye");
  // The state directory is created, but no file is written with --no-config.
  EXPECT_TRUE(std::filesystem::is_directory(home_.path() / "mixer-state"));
  EXPECT_TRUE(std::filesystem::is_empty(home_.path() / "mixer-state"));
  EXPECT_TRUE(ports_of("vantle-mixer").empty());
}

TEST_F(MixerOnJack, TwoInterruptsLogTwiceAndSayByeOnce) {
  auto mixer = start({"--no-config"});
  ASSERT_TRUE(started_) << mixer->err();
  // Pending signals merge, so the second comes once the first was seen.
  mixer->signal(SIGINT);
  ASSERT_TRUE(mixer->wait_for_err("shutdown requested", 5s));
  mixer->signal(SIGINT);
  ASSERT_EQ(mixer->wait(5s), 0) << mixer->err();
  auto messages = log_messages(mixer->err());
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "shutdown requested"), 2);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "bye"), 1);
}

TEST_F(MixerOnJack, SigtermEndsWithoutBye) {
  auto mixer = start({"--no-config"});
  ASSERT_TRUE(started_) << mixer->err();
  mixer->signal(SIGTERM);
  EXPECT_EQ(mixer->wait(5s), 128 + SIGTERM);
  EXPECT_THAT(mixer->err(), Not(HasSubstr("bye")));
}

TEST_F(MixerOnJack, ServerGoingAwayEndsWithStatusOneAndOneWarning) {
  auto mixer = start({"--no-config"});
  ASSERT_TRUE(started_) << mixer->err();
  jack_.kill();
  ASSERT_EQ(mixer->wait(10s), 1) << mixer->err();
  // Apart from the one about the shutdown, the only warnings may be xruns of a loaded
  // machine and the meters writer's about its default directory.
  std::vector<std::string> warnings;
  for (const auto& line : lines_of(mixer->err())) {
    if (line.find(" WARN ") == std::string::npos) continue;
    if (line.find("vantle_mixer::meters") != std::string::npos || line.find("] JACK xrun") != std::string::npos) {
      continue;
    }
    warnings.push_back(line);
  }
  ASSERT_EQ(warnings.size(), 1u) << mixer->err();
  EXPECT_THAT(warnings[0], HasSubstr("vantle_mixer::jack_io] JACK shutdown: status="));
  EXPECT_THAT(mixer->err(), Not(HasSubstr("bye")));
}

TEST_F(MixerOnJack, CommandLineNameOverridesTheStoredOneWithoutSavingIt) {
  store_config(R"("jack_name": "stored-name", "channels": [{"id": "mic", "kind": "mono"}])");
  const std::string stored = read_file(home_.path() / "mixer-state" / "runtime-config.json");
  auto mixer = start({"--jack-name", "override"});
  ASSERT_TRUE(started_) << mixer->err();
  EXPECT_THAT(ports_of("override"), ::testing::Contains("mic_in"));
  EXPECT_TRUE(ports_of("stored-name").empty());
  EXPECT_EQ(read_file(home_.path() / "mixer-state" / "runtime-config.json"), stored);
}

TEST_F(MixerOnJack, TakenNameIsReplacedByTheOneJackGrants) {
  auto first = start({"--no-config"});
  ASSERT_TRUE(started_) << first->err();
  auto options = mixer_options(home_.path(), {"--no-config"});
  use_jack(options, &jack_);
  Process second(std::move(options));
  ASSERT_TRUE(second.wait_for_err("jack client '", 10s)) << second.err();
  EXPECT_THAT(second.err(), ::testing::ContainsRegex("jack client 'vantle-mixer-[0-9]+' opened .*NAME_NOT_UNIQUE"));
}

TEST_F(MixerOnJack, UncreatableStateDirectoryFailsAfterTheClientWasBuilt) {
  write_file(home_.path() / "blocker", "a file, not a directory");
  auto options = mixer_options(home_.path(), {"--no-config", "--state-dir", (home_.path() / "blocker" / "state").string()});
  use_jack(options, &jack_);
  auto result = Process::run(std::move(options), 20s);
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("jack client 'vantle-mixer' opened"));
  EXPECT_THAT(result.err, HasSubstr("Error: creating state dir " + (home_.path() / "blocker" / "state").string() +
                                    "\n\nCaused by:\n    "));
  EXPECT_TRUE(ports_of("vantle-mixer").empty());
}

}  // namespace
}  // namespace vantle::test

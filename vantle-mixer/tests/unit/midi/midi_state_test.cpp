#include "midi/midi_state.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "support/temp_dir.hpp"
#include "util/files.hpp"
#include "util/json.hpp"

namespace vantle::midi {
namespace {

using namespace std::chrono_literals;

MidiKeyEvent key(std::uint64_t at_ms, std::optional<std::string> action = std::nullopt) {
  return MidiKeyEvent{"C4", 100, at_ms, std::move(action)};
}

std::vector<std::uint64_t> recent_times(const MidiState& state) {
  std::vector<std::uint64_t> times;
  for (const auto& event : state.recent_keys) times.push_back(event.timestamp_ms);
  return times;
}

TEST(MidiStateFormat, BeforeAnyKeyPress) {
  EXPECT_EQ(encode_midi_state(MidiState{}), "{\"channel\":null,\"last_key\":null,\"mode\":\"idle\",\"recent_keys\":[]}\n");
}

TEST(MidiStateFormat, MembersInByteOrderWithNullActions) {
  MidiState state;
  apply_key_press(state, "channel_control", "mic", MidiKeyEvent{"C#4", 90, 1200, "select:mic"});
  apply_key_press(state, "channel_control", "mic", MidiKeyEvent{"D-1", 5, 1300, std::nullopt});
  EXPECT_EQ(encode_midi_state(state),
            R"({"channel":"mic","last_key":{"action":null,"note":"D-1","timestamp_ms":1300,"velocity":5},)"
            R"("mode":"channel_control","recent_keys":[)"
            R"({"action":"select:mic","note":"C#4","timestamp_ms":1200,"velocity":90},)"
            R"({"action":null,"note":"D-1","timestamp_ms":1300,"velocity":5}]})"
            "\n");
}

TEST(MidiStateUpdate, ModeAndChannelFollowTheSurface) {
  MidiState state;
  apply_key_press(state, "channel_control", "mic", key(10, "select:mic"));
  EXPECT_EQ(state.mode, "channel_control");
  EXPECT_EQ(state.channel, "mic");
  apply_key_press(state, "transport", std::nullopt, key(20, "mode:transport"));
  EXPECT_EQ(state.mode, "transport");
  EXPECT_EQ(state.channel, std::nullopt);
  EXPECT_EQ(state.last_key, key(20, "mode:transport"));
}

TEST(MidiStateUpdate, RecentKeysKeepThreeSecondsAndAtMostEight) {
  struct Case {
    const char* what;
    std::vector<std::uint64_t> presses;
    std::vector<std::uint64_t> recent;
  };
  const Case cases[] = {
      {"ten presses in one second keep the eight newest",
       {0, 100, 200, 300, 400, 500, 600, 700, 800, 900},
       {200, 300, 400, 500, 600, 700, 800, 900}},
      {"a press 3 s after the previous stands alone", {1000, 4000}, {4000}},
      {"just under 3 s stays", {1000, 3999}, {1000, 3999}},
      {"the window slides", {0, 1500, 2999, 3000, 4600}, {2999, 3000, 4600}},
      // The wall clock went back: an event from the "future" has age 0 and stays.
      {"a clock that went back", {5000, 100}, {5000, 100}},
  };
  for (const auto& c : cases) {
    MidiState state;
    for (auto at : c.presses) apply_key_press(state, "idle", std::nullopt, key(at));
    EXPECT_EQ(recent_times(state), c.recent) << c.what;
    EXPECT_EQ(state.last_key->timestamp_ms, c.presses.back()) << c.what;
  }
}

TEST(MidiStateFile, WrittenWholeAndQuietWhenItCannotBe) {
  test::TempDir dir;
  const auto path = dir.path() / "midi-state.json";
  ASSERT_TRUE(write_midi_state_file(path, "{}\n"));
  EXPECT_EQ(files::read_text(path), "{}\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "midi-state.json.tmp"));
  EXPECT_FALSE(write_midi_state_file(dir.path() / "missing" / "midi-state.json", "{}\n"));
  std::filesystem::create_directory(dir.path() / "taken.json");
  EXPECT_FALSE(write_midi_state_file(dir.path() / "taken.json", "{}\n"));
}

// Waits until `path` holds `content` (the writer rewrites it every 100 ms).
bool wait_for_content(const std::filesystem::path& path, const std::string& content) {
  for (int i = 0; i < 100; ++i) {
    try {
      if (files::read_text(path) == content) return true;
    } catch (const std::exception&) {
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

TEST(MidiStateWriter, FollowsTheStateAndEndsWithItsLifeline) {
  test::TempDir dir;
  const auto path = dir.path() / "state";  // no extension: the sibling is "state.json.tmp"
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto stop = std::make_shared<StopSignal>();
  auto state = std::make_shared<SharedMidiState>();
  start_midi_state_writer(path, state, Lifeline(running, stop));

  EXPECT_TRUE(wait_for_content(path, encode_midi_state(MidiState{})));
  state->update("transport", std::nullopt, key(7, "mode:transport"));
  EXPECT_TRUE(wait_for_content(path, encode_midi_state(state->snapshot())));
  EXPECT_NE(files::read_text(path).find("\"mode\":\"transport\""), std::string::npos);

  stop->request_stop();
  std::this_thread::sleep_for(300ms);
  std::filesystem::remove(path);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(std::filesystem::exists(path)) << "a stopped writer writes no more";
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "state.json.tmp"));
}

TEST(MidiStateWriter, AnUnwritableDirectoryIsRetriedQuietly) {
  test::TempDir dir;
  const auto sub = dir.path() / "later";
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto state = std::make_shared<SharedMidiState>();
  start_midi_state_writer(sub / "midi-state.json", state, Lifeline(running, std::make_shared<StopSignal>()));
  std::this_thread::sleep_for(250ms);
  // The directory appears: the next pass succeeds.
  std::filesystem::create_directory(sub);
  EXPECT_TRUE(wait_for_content(sub / "midi-state.json", encode_midi_state(MidiState{})));
  running->store(false);
  std::this_thread::sleep_for(250ms);  // the thread ends before the directory goes
}

}  // namespace
}  // namespace vantle::midi

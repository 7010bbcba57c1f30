#include "meters/meters_writer.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <thread>

#include "support/temp_dir.hpp"
#include "util/files.hpp"
#include "util/json.hpp"

namespace vantle::meters {
namespace {

using namespace std::chrono_literals;

TEST(MetersFormat, EmptyFrameHasNoBusLevels) {
  EXPECT_EQ(encode_meters(MeterFrame{}, {}), R"({"channels":[],"main_out":0.0,"monitor_out":0.0,"cue_out":0.0})");
  // Before the first cycle even a configured mixer shows no channel entries.
  EXPECT_EQ(encode_meters(MeterFrame{}, {"mic"}), R"({"channels":[],"main_out":0.0,"monitor_out":0.0,"cue_out":0.0})");
}

TEST(MetersFormat, OneChannelAtHalfScale) {
  MeterFrame frame;
  frame.channel_count = 1;
  frame.channels[kInput][0] = {0.5f, 0.5f};
  frame.channels[kMain][0] = {0.5f, 0.5f};
  frame.bus_out = {0.5f, 0.0f, 0.0f};
  EXPECT_EQ(encode_meters(frame, {"mic"}),
            R"({"channels":[["mic",0.5,0.5]],"main_out":0.5,"monitor_out":0.0,"cue_out":0.0,)"
            R"("bus_levels":{"main":[["mic",0.5,0.5]],"monitor":[["mic",0.0,0.0]],"cue":[["mic",0.0,0.0]]}})");
}

TEST(MetersFormat, NumbersAreShortestFloatsOrNull) {
  MeterFrame frame;
  frame.channel_count = 34;
  std::vector<std::string> ids;
  for (int i = 0; i < 34; ++i) ids.push_back("c" + std::to_string(i));
  frame.channels[kInput][0] = {0.1f, std::numeric_limits<float>::quiet_NaN()};
  frame.bus_out = {1.0f, std::numeric_limits<float>::infinity(), 0.25f};
  auto doc = json::parse(encode_meters(frame, ids));
  EXPECT_EQ(doc["channels"][0].dump(), R"(["c0",0.1,null])");
  EXPECT_TRUE(doc["monitor_out"].is_null());
  EXPECT_EQ(doc["cue_out"].dump(), "0.25");
  ASSERT_EQ(doc["channels"].size(), 34u);
  EXPECT_EQ(doc["bus_levels"]["cue"][33].dump(), R"(["c33",0.0,0.0])");
}

TEST(MetersFile, ReplacedWholeAndFailuresNameTheStep) {
  test::TempDir dir;
  const auto path = dir.path() / "meters.json";
  EXPECT_EQ(write_meters_file(path, "{\"a\":1}"), "");
  EXPECT_EQ(files::read_text(path), "{\"a\":1}");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "meters.json.tmp"));
  EXPECT_EQ(write_meters_file(dir.path() / "missing" / "meters.json", "{}").rfind("create tmp meters file: ", 0), 0u);
  std::filesystem::create_directory(dir.path() / "taken.json");
  EXPECT_EQ(write_meters_file(dir.path() / "taken.json", "{}").rfind("rename tmp \u2192 meters file: ", 0), 0u);
}

TEST(MetersWriter, WritesEveryTenthOfASecondAndEndsWithItsMixer) {
  test::TempDir dir;
  const auto path = dir.path() / "meters.json";
  auto slot = std::make_shared<MeterSlot>();
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto stop = std::make_shared<StopSignal>();
  start_meters_writer(path, slot, {"mic"}, Lifeline(running, stop));

  auto read_when = [&](auto predicate) {
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(20ms);
      std::ifstream in(path);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      if (predicate(text)) return text;
    }
    return std::string();
  };
  EXPECT_NE(read_when([](const std::string& t) { return t.find("\"channels\":[]") != std::string::npos; }), "");

  auto& frame = slot->rt_frame();
  frame.channel_count = 1;
  frame.channels[kInput][0] = {0.75f, 0.25f};
  slot->rt_publish();
  EXPECT_NE(read_when([](const std::string& t) { return t.find("[\"mic\",0.75,0.25]") != std::string::npos; }), "");

  stop->request_stop();
  std::this_thread::sleep_for(150ms);  // a write in progress finishes
  std::filesystem::remove(path);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace vantle::meters

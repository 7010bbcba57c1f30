// The live scene under concurrent writers, readers and one real-time consumer.
#include "engine/live_scene.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vantle::engine {
namespace {

// A scene whose every value carries `marker`, so a torn or mixed scene shows.
Scene marked(int marker) {
  Scene s;
  s.name = "scene-" + std::to_string(marker);
  const auto value = static_cast<float>(marker);
  s.channels.assign(8, ChannelFaders{value, value, value, 0, 0, 0, 0});
  s.main_gain = value;
  if (marker % 3 == 0) {
    config::PluginConfig echo;
    echo.delay_ms = 10.0f + static_cast<float>(marker % 50);
    s.main_dsp_plugins = {echo};
  }
  return s;
}

bool consistent(const Scene& s) {
  const float value = s.main_gain;
  if (s.name != "scene-" + std::to_string(static_cast<int>(value))) return false;
  for (const auto& c : s.channels) {
    if (c.main != value || c.cue != value) return false;
  }
  return true;
}

TEST(LiveScene, InitialSceneIsPendingForTheEngineAndLoadable) {
  LiveScene live(marked(1), 4, 48000);
  EXPECT_EQ(live.load()->name, "scene-1");
  InstalledScene* first = live.rt_take_new();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->scene.name, "scene-1");
  EXPECT_EQ(live.rt_take_new(), nullptr);
  delete first;
}

TEST(LiveScene, AnUntakenSceneIsReplacedByTheNextInstall) {
  LiveScene live(marked(1), 4, 48000);
  delete live.rt_take_new();
  live.install(marked(2));
  live.install(marked(3));
  InstalledScene* taken = live.rt_take_new();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->scene.name, "scene-3");
  EXPECT_NE(taken->chains[0].chain, nullptr);
  live.rt_retire(taken);
  live.reclaim();
}

TEST(LiveScene, ConcurrentWritersReadersAndOneRealtimeConsumer) {
  auto live = std::make_shared<LiveScene>(marked(0), 4, 48000);
  InstalledScene* current = live->rt_take_new();
  std::atomic<bool> writing{true};
  std::atomic<int> torn{0};
  std::atomic<long> taken{0};

  std::thread consumer([&] {
    // Like the process callback: take, use, retire; never wait.
    while (writing.load() || taken.load() == 0) {
      if (InstalledScene* fresh = live->rt_take_new()) {
        live->rt_retire(current);
        current = fresh;
        taken.fetch_add(1);
      }
      if (!consistent(current->scene)) torn.fetch_add(1);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 1; i <= 300; ++i) live->install(marked(w * 1000 + i));
    });
  }
  std::thread reader([&] {
    while (writing.load()) {
      if (!consistent(*live->load())) torn.fetch_add(1);
    }
  });
  for (auto& t : writers) t.join();
  writing = false;
  reader.join();
  consumer.join();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(taken.load(), 0);
  // Whatever was still pending is the last installed scene.
  if (InstalledScene* last = live->rt_take_new()) {
    live->rt_retire(current);
    current = last;
  }
  EXPECT_EQ(current->scene, *live->load());
  live->rt_retire(current);
  live->reclaim();
}

TEST(LiveScene, AFullRetireRingDefersTheNextSceneInsteadOfLosingIt) {
  LiveScene live(marked(0), 4, 48000);
  InstalledScene* current = live.rt_take_new();
  live.install(marked(7));
  // Nobody reclaims while the process callback retires 64 scenes.
  for (int i = 0; i < 64; ++i) live.rt_retire(new InstalledScene{marked(i), {}});
  EXPECT_EQ(live.rt_take_new(), nullptr);  // no room to retire `current`: try again later
  live.reclaim();
  InstalledScene* fresh = live.rt_take_new();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->scene.name, "scene-7");
  live.rt_retire(current);
  live.rt_retire(fresh);
  live.reclaim();
}

}  // namespace
}  // namespace vantle::engine

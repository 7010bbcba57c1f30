// The control plane of the real binary on a real JACK server: live changes, reloads
// that keep the operators' faders or bring the previous configuration back, worker
// threads that end with their `Mixer`, and the JACK graph through JACK's own tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "e2e/control_client.hpp"
#include "e2e/mixer_fixture.hpp"
#include "util/json.hpp"

namespace vantle::test {
namespace {

using namespace std::chrono_literals;
using json::Json;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::StartsWith;

Json channel(const std::string& id, double main_gain = 1.0) {
  return Json{{"id", id}, {"kind", "mono"}, {"main_gain", main_gain}};
}

class ControlOnJack : public ::testing::Test {
 protected:
  void SetUp() override {
    control_port_ = free_udp_port();
    broadcast_port_ = free_udp_port();
  }

  void TearDown() override {
    if (!mixer_) return;
    mixer_->signal(SIGINT);
    EXPECT_EQ(mixer_->wait(10s), 0) << mixer_->err();
  }

  // A configuration whose state files stay in the test's directory.
  Json config(const std::string& jack_name, Json channels) const {
    Json c = json::parse("{" + private_state_paths(home_.path()) + "}");
    c["jack_name"] = jack_name;
    c["control_port"] = control_port_;
    c["broadcast_port"] = broadcast_port_;
    c["channels"] = std::move(channels);
    return c;
  }

  std::filesystem::path runtime_file() const { return home_.path() / "mixer-state" / "runtime-config.json"; }

  void start(const Json& initial) {
    write_file(runtime_file(), initial.dump(2));
    auto options = mixer_options(home_.path());
    use_jack(options, &jack_);
    mixer_ = std::make_unique<Process>(std::move(options));
    // Thrown rather than asserted: a test must not go on without its mixer.
    if (!mixer_->wait_for_err("control plane listening", 20s)) throw std::runtime_error("no mixer: " + mixer_->err());
    client_ = std::make_unique<ControlClient>(control_port_);
    if (client_->request_until_answered({{"op", "get_config"}}).is_null()) {
      throw std::runtime_error("the mixer does not answer: " + mixer_->err());
    }
  }

  Json reload(const Json& candidate) {
    return client_->request({{"op", "reload_config"}, {"config", candidate}}, 15s);
  }
  Json state() { return client_->request_until_answered({{"op", "get_state"}}); }

  // Names of the mixer's threads, sorted, and how many sockets it holds.
  std::pair<std::vector<std::string>, int> census() const {
    const auto proc = std::filesystem::path("/proc") / std::to_string(mixer_->pid());
    std::vector<std::string> threads;
    for (const auto& task : std::filesystem::directory_iterator(proc / "task")) {
      auto name = read_file(task.path() / "comm");
      threads.push_back(name.substr(0, name.find('\n')));
    }
    std::sort(threads.begin(), threads.end());
    int sockets = 0;
    for (const auto& fd : std::filesystem::directory_iterator(proc / "fd")) {
      std::error_code error;
      auto target = std::filesystem::read_symlink(fd.path(), error);
      sockets += !error && target.string().rfind("socket:", 0) == 0;
    }
    return {threads, sockets};
  }

  TempDir home_;
  JackServer jack_;
  std::uint16_t control_port_ = 0, broadcast_port_ = 0;
  std::unique_ptr<Process> mixer_;
  std::unique_ptr<ControlClient> client_;
};

TEST_F(ControlOnJack, AReloadKeepsTheLiveFadersOfTheChannelsThatStay) {
  const Json initial = config("desk", {channel("mic", 0.5), channel("tape"), channel("guest")});
  start(initial);

  // Garbage first: the control plane goes on serving.
  client_->send(std::string("{\"op\":"));
  client_->send(std::string(3000, '['));
  client_->send(std::string("\x00\xff\x10", 3));
  client_->send(Json{{"op", "set_fader"}, {"channel", "mic"}, {"bus", "main"}, {"gain", 0.3}});
  client_->send(Json{{"op", "set_fader"}, {"channel", "tape"}, {"bus", "cue"}, {"gain", 0.6}});
  client_->send(Json{{"op", "set_master"}, {"bus", "monitor"}, {"gain", 0.4}});
  client_->send(Json{{"op", "set_relay_on"}, {"feed", "cue"}, {"on", false}});
  client_->send(json::parse(R"({"op":"set_bus_dsp","bus":"main","plugins":[{"type":"low_pass","freq_hz":800}]})"));
  Json live = state();
  ASSERT_EQ(live["channels"][0]["main"], 0.3) << live.dump();
  EXPECT_EQ(live["main_dsp_plugins"].size(), 1u);

  // The same configuration again: faders and masters stay, the chains are the file's.
  EXPECT_EQ(reload(initial), Json::parse(R"({"kind":"reload_result","success":true,"error":null})"));
  live = state();
  EXPECT_EQ(live["channels"][0]["main"], 0.3);
  EXPECT_EQ(live["channels"][1]["cue"], 0.6);
  EXPECT_EQ(live["monitor_gain"], 0.4);
  EXPECT_EQ(live["cue_relay_on"], false);
  EXPECT_TRUE(live["main_dsp_plugins"].empty());
  EXPECT_TRUE(mixer_->wait_for_err("saved config to " + runtime_file().string(), 5s)) << mixer_->err();

  // Channels move, one is renamed, one is new, one goes.
  const Json next = config("desk", {channel("tape"), channel("voice", 0.75), channel("phone", 0.25)});
  EXPECT_EQ(reload(next)["success"], true);
  live = state();
  ASSERT_EQ(live["channels"].size(), 3u);
  EXPECT_EQ(live["channels"][0]["cue"], 0.6);    // tape kept its live cue send at its new place
  EXPECT_EQ(live["channels"][1]["main"], 0.75);  // voice: as configured
  EXPECT_EQ(live["channels"][2]["main"], 0.25);
  EXPECT_EQ(client_->request({{"op", "get_config"}})["channels"][1]["id"], "voice");
  EXPECT_EQ(json::parse(read_file(runtime_file()))["channels"][1]["id"], "voice");
  // Two reloads so far, each with its three lines. The log is read through a pipe, so
  // the last of them may still be on its way.
  auto count = [&](const std::string& line) {
    auto messages = log_messages(mixer_->err());
    return std::count(messages.begin(), messages.end(), line);
  };
  for (int i = 0; i < 100 && count("reload complete: 3 channels") < 2; ++i) std::this_thread::sleep_for(50ms);
  for (const char* line : {"reload requested: 3 channels", "mixer dropped, rebuilding...", "reload complete: 3 channels"}) {
    EXPECT_EQ(count(line), 2) << line;
  }
}

TEST_F(ControlOnJack, AFailedReloadBringsBackThePreviousConfigurationAndScene) {
  const Json a = config("desk-a", {channel("mic")});
  start(a);
  const Json b = config("desk-b", {channel("mic"), channel("tape")});
  const Json c = config("desk-c", {channel("tape"), channel("mic")});
  ASSERT_EQ(reload(b)["success"], true);
  ASSERT_EQ(reload(c)["success"], true);
  const std::string stored = read_file(runtime_file());

  client_->send(Json{{"op", "set_fader"}, {"channel", "mic"}, {"bus", "monitor"}, {"gain", 0.45}});
  client_->send(json::parse(R"({"op":"set_bus_dsp","bus":"cue","plugins":[{"type":"echo","delay_ms":250,"feedback":0.5,"mix":0.4}]})"));
  const Json before = state();
  ASSERT_EQ(before["cue_dsp_plugins"].size(), 1u);

  Json d = config("desk-d", {channel("mic")});
  d["control_bind"] = "not-an-address";
  Json answer = reload(d);
  EXPECT_EQ(answer["success"], false);
  EXPECT_THAT(answer["error"].get<std::string>(), HasSubstr("parsing control_bind not-an-address"));

  EXPECT_EQ(state(), before);
  EXPECT_EQ(client_->request({{"op", "get_full_config"}})["jack_name"], "desk-c");
  EXPECT_EQ(read_file(runtime_file()), stored);
  EXPECT_TRUE(mixer_->wait_for_err("restored previous config after failed reload", 5s)) << mixer_->err();
  EXPECT_THAT(jack_.ports(), Contains("desk-c:mic_in"));
}

TEST_F(ControlOnJack, AReloadThatCannotBeSavedStillRuns) {
  const Json initial = config("desk", {channel("mic")});
  start(initial);
  const std::string stored = read_file(runtime_file());
  // Something in the way of the temporary file makes the write fail, even for root.
  std::filesystem::create_directories(home_.path() / "mixer-state" / "runtime-config.json.tmp");

  EXPECT_EQ(reload(config("desk", {channel("mic"), channel("tape")}))["success"], true);
  EXPECT_EQ(state()["channels"].size(), 2u);
  EXPECT_EQ(read_file(runtime_file()), stored);
  EXPECT_TRUE(mixer_->wait_for_err("failed to save config: writing " + runtime_file().string() + ".tmp", 5s))
      << mixer_->err();
}

TEST_F(ControlOnJack, AfterManyReloadsOnlyTheCurrentMixerRuns) {
  Json with_meters = config("desk", {channel("mic"), channel("tape")});
  start(with_meters);
  const auto meters_a = home_.path() / "meters-a.json";
  const auto meters_b = home_.path() / "meters-b.json";
  with_meters["meters_file"] = meters_a.string();
  ASSERT_EQ(reload(with_meters)["success"], true);
  std::this_thread::sleep_for(1500ms);  // the dropped Mixer's threads finish their last pass
  const auto after_one = census();

  for (int i = 0; i < 19; ++i) {
    with_meters["meters_file"] = (i == 18 ? meters_b : meters_a).string();
    ASSERT_EQ(reload(with_meters)["success"], true) << i << "\n" << mixer_->err();
  }
  std::this_thread::sleep_for(1500ms);
  const auto after_twenty = census();
  EXPECT_EQ(after_twenty.first, after_one.first);
  EXPECT_EQ(after_twenty.second, after_one.second);
  EXPECT_THAT(after_twenty.first, Contains("control"));
  EXPECT_THAT(after_twenty.first, Contains("broadcast"));

  // Only the current Mixer writes meters, to its own file.
  std::filesystem::remove(meters_a);
  std::filesystem::remove(meters_b);
  std::this_thread::sleep_for(600ms);
  EXPECT_TRUE(std::filesystem::exists(meters_b));
  EXPECT_FALSE(std::filesystem::exists(meters_a));
}

TEST_F(ControlOnJack, TheJackGraphIsReadAndRewiredThroughJacksTools) {
  start(config("desk", {channel("mic")}));
  Json ports = client_->request({{"op", "get_available_ports"}}, 15s);
  ASSERT_TRUE(ports.is_object()) << mixer_->err();
  ASSERT_EQ(ports["kind"], "available_ports") << ports.dump();
  EXPECT_THAT(ports.dump(), HasSubstr(R"({"client":"system","ports":["system:capture_1")"));

  client_->send(Json{{"op", "jack_connect"}, {"src", "system:capture_1"}, {"dst", "desk:mic_in"}});
  EXPECT_EQ(client_->receive(1500ms), std::nullopt) << "a connection that succeeds is not answered";
  Json graph = client_->request({{"op", "get_jack_graph"}}, 15s);
  EXPECT_THAT(graph.dump(), HasSubstr(R"({"name":"desk:mic_in","direction":"input","connections":["system:capture_1"]})"));

  Json refused = client_->request({{"op", "jack_connect"}, {"src", "system:capture_1"}, {"dst", "desk:nothing"}}, 15s);
  ASSERT_TRUE(refused.is_object()) << mixer_->err();
  EXPECT_EQ(refused["kind"], "error");
  EXPECT_THAT(refused["message"].get<std::string>(), StartsWith("jack_connect: "));

  client_->send(Json{{"op", "jack_disconnect"}, {"src", "system:capture_1"}, {"dst", "desk:mic_in"}});
  EXPECT_EQ(client_->receive(1500ms), std::nullopt);
  EXPECT_THAT(client_->request({{"op", "get_jack_graph"}}, 15s).dump(),
              HasSubstr(R"({"name":"desk:mic_in","direction":"input","connections":[]})"));
}

}  // namespace
}  // namespace vantle::test

// The operator's JACK connections with the real binary: kept in place while their
// rules are configured, left alone once a reload removes them, and no helper client
// at all without rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "e2e/control_client.hpp"
#include "e2e/mixer_fixture.hpp"
#include "support/jack_probe.hpp"
#include "util/json.hpp"

namespace vantle::test {
namespace {

using namespace std::chrono_literals;
using json::Json;
using ::testing::Contains;

constexpr auto kInterval = 200ms;

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class MixerAutoconnect : public ::testing::Test {
 protected:
  void SetUp() override {
    control_port_ = free_udp_port();
    broadcast_port_ = free_udp_port();
    jack_status_t status{};
    observer_ = jack_client_open("observer", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                                 jack_.name().c_str());
    ASSERT_NE(observer_, nullptr);
  }

  void TearDown() override {
    if (mixer_) {
      mixer_->signal(SIGINT);
      EXPECT_EQ(mixer_->wait(10s), 0) << mixer_->err();
    }
    if (observer_ != nullptr) jack_client_close(observer_);
  }

  Json config(Json autoconnect) const {
    Json c = json::parse("{" + private_state_paths(home_.path()) + "}");
    c["jack_name"] = "desk";
    c["control_port"] = control_port_;
    c["broadcast_port"] = broadcast_port_;
    c["channels"] = Json::array({Json{{"id", "mic"}, {"kind", "mono"}}});
    c["autoconnect"] = std::move(autoconnect);
    return c;
  }

  void start(const Json& initial) {
    write_file(home_.path() / "mixer-state" / "runtime-config.json", initial.dump(2));
    auto options = mixer_options(home_.path());
    use_jack(options, &jack_);
    options.env["VANTLE_AUTOCONNECT_INTERVAL_MS"] = std::to_string(kInterval.count());
    mixer_ = std::make_unique<Process>(std::move(options));
    // Thrown rather than asserted: a test must not go on without its mixer.
    if (!mixer_->wait_for_err("control plane listening", 20s)) throw std::runtime_error("no mixer: " + mixer_->err());
    client_ = std::make_unique<ControlClient>(control_port_);
    if (client_->request_until_answered({{"op", "get_config"}}).is_null()) {
      throw std::runtime_error("the mixer does not answer: " + mixer_->err());
    }
  }

  void reload(const Json& candidate) {
    Json answer = client_->request({{"op", "reload_config"}, {"config", candidate}}, 15s);
    ASSERT_EQ(answer["success"], true) << answer.dump() << "\n" << mixer_->err();
  }

  bool connected(const std::string& src, const std::string& dst) const {
    jack_port_t* port = jack_port_by_name(observer_, src.c_str());
    return port != nullptr && jack_port_connected_to(port, dst.c_str()) > 0;
  }

  // Any helper client, whatever name JACK granted it.
  bool helper_present() const {
    for (const char* name : {"vantle-mixer-wire", "vantle-mixer-wire-01", "vantle-mixer-wire-02"}) {
      if (char* uuid = jack_get_uuid_for_client_name(observer_, name)) {
        jack_free(uuid);
        return true;
      }
    }
    return false;
  }

  int autoconnect_threads() const {
    int count = 0;
    const auto tasks = std::filesystem::path("/proc") / std::to_string(mixer_->pid()) / "task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      count += read_file(task.path() / "comm") == "autoconnect\n";
    }
    return count;
  }

  long made(const std::string& src, const std::string& dst) const {
    const auto messages = log_messages(mixer_->err());
    return std::count(messages.begin(), messages.end(), "autoconnect: " + src + " \u2192 " + dst);
  }

  TempDir home_;
  JackServer jack_;
  jack_client_t* observer_ = nullptr;
  std::uint16_t control_port_ = 0, broadcast_port_ = 0;
  std::unique_ptr<Process> mixer_;
  std::unique_ptr<ControlClient> client_;
};

TEST_F(MixerAutoconnect, ARuleRemovedByAReloadIsNoLongerEnforced) {
  const Json into_mixer = {{"src", "system:capture_1"}, {"dst", "desk:mic_in"}};
  const Json around_mixer = {{"src", "system:capture_2"}, {"dst", "system:playback_2"}};
  start(config(Json::array({into_mixer, around_mixer})));
  ASSERT_TRUE(eventually([&] { return connected("system:capture_1", "desk:mic_in"); })) << mixer_->err();
  ASSERT_TRUE(eventually([&] { return connected("system:capture_2", "system:playback_2"); })) << mixer_->err();
  // The log comes through a pipe and may trail the connection.
  EXPECT_TRUE(eventually([&] { return made("system:capture_1", "desk:mic_in") == 1; })) << mixer_->err();
  const int one_worker = autoconnect_threads();  // with JACK's thread of its client, which inherits the name

  reload(config(Json::array({into_mixer})));
  // The new Mixer's ports are new: the rule that stays connects them again.
  EXPECT_TRUE(eventually([&] { return connected("system:capture_1", "desk:mic_in"); })) << mixer_->err();
  EXPECT_TRUE(eventually([&] { return autoconnect_threads() == one_worker; })) << "the dropped Mixer's worker runs on";

  ASSERT_EQ(jack_disconnect(observer_, "system:capture_2", "system:playback_2"), 0);
  ASSERT_EQ(jack_disconnect(observer_, "system:capture_1", "desk:mic_in"), 0);
  EXPECT_TRUE(eventually([&] { return connected("system:capture_1", "desk:mic_in"); })) << mixer_->err();
  std::this_thread::sleep_for(4 * kInterval);
  EXPECT_FALSE(connected("system:capture_2", "system:playback_2")) << mixer_->err();
  EXPECT_EQ(made("system:capture_2", "system:playback_2"), 1);
  EXPECT_TRUE(eventually([&] { return made("system:capture_1", "desk:mic_in") == 3; })) << mixer_->err();
}

TEST_F(MixerAutoconnect, OnlyAMixerWithRulesHasAHelperClient) {
  start(config(Json::array()));
  // Connecting to the mixer's outputs succeeds only once its build is complete.
  JackProbe probe(jack_, {}, {"in"});
  probe.connect("desk:out_1", probe.capture_name(0));
  std::this_thread::sleep_for(3 * kInterval);
  EXPECT_FALSE(helper_present());
  EXPECT_EQ(autoconnect_threads(), 0);

  reload(config(Json::array({Json{{"src", "system:capture_1"}, {"dst", "desk:mic_in"}}})));
  EXPECT_TRUE(eventually([&] { return helper_present(); })) << mixer_->err();
  EXPECT_GE(autoconnect_threads(), 1);
  // Its first pass, before the next reload drops it.
  EXPECT_TRUE(mixer_->wait_for_err("autoconnect: system:capture_1 \u2192 desk:mic_in", 10s)) << mixer_->err();

  reload(config(Json::array()));
  EXPECT_TRUE(eventually([&] { return !helper_present(); })) << mixer_->err();
  EXPECT_TRUE(eventually([&] { return autoconnect_threads() == 0; }));
}

}  // namespace
}  // namespace vantle::test

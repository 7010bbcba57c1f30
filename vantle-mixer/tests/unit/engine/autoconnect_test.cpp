#include "engine/autoconnect.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/jack_probe.hpp"
#include "support/log_capture.hpp"
#include "support/jack_server.hpp"
#include "util/log.hpp"

namespace vantle::engine {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// What the worker logged, level and message.
test::LogCapture& captured() { return test::LogCapture::of("vantle_mixer::jack_io"); }
using test::eventually;

int threads_named(const std::string& name) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    count += comm == name;
  }
  return count;
}

constexpr auto kInterval = 100ms;

class AutoconnectOnJack : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [key, value] : jack_.client_env()) {
      if (value) {
        ::setenv(key.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(key.c_str());
      }
    }
    jack_status_t status{};
    observer_ = jack_client_open("observer", JackNoStartServer, &status);
    ASSERT_NE(observer_, nullptr);
    captured().clear();
  }

  void TearDown() override {
    stop_->request_stop();
    // The worker closes its client as it ends; a later test must not meet it.
    EXPECT_TRUE(eventually([&] { return !helper_present(); })) << "the helper client outlived its Mixer";
    if (helper_ != nullptr) jack_client_close(helper_);
    if (observer_ != nullptr) jack_client_close(observer_);
  }

  Lifeline lifeline() const { return Lifeline(running_, stop_); }

  bool helper_present() const {
    if (observer_ == nullptr) return false;
    char* uuid = jack_get_uuid_for_client_name(observer_, kAutoconnectClientName);
    if (uuid == nullptr) return false;
    jack_free(uuid);
    return true;
  }

  bool connected(const std::string& src, const std::string& dst) const {
    jack_port_t* port = jack_port_by_name(observer_, src.c_str());
    return port != nullptr && jack_port_connected_to(port, dst.c_str()) > 0;
  }

  // A client of the test's own for driving passes by hand.
  jack_client_t* helper() {
    if (helper_ == nullptr) {
      jack_status_t status{};
      helper_ = jack_client_open("wire-by-hand", JackNoStartServer, &status);
    }
    return helper_;
  }

  test::JackServer jack_;
  jack_client_t* observer_ = nullptr;
  jack_client_t* helper_ = nullptr;
  RunningFlag running_ = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<StopSignal> stop_ = std::make_shared<StopSignal>();
};

TEST_F(AutoconnectOnJack, ConnectsASourceThatAppearsLaterAndRestoresItAfterADisconnect) {
  const std::string src = "probe:late_out", dst = "system:playback_1";
  start_autoconnect({{src, dst}}, lifeline(), kInterval);
  ASSERT_TRUE(eventually([&] { return helper_present(); }));
  std::this_thread::sleep_for(3 * kInterval);
  EXPECT_THAT(captured().lines(), IsEmpty()) << "a rule without its ports waits silently";

  test::JackProbe probe(jack_, {"late_out"}, {});
  ASSERT_EQ(probe.source_name(0), src);
  EXPECT_TRUE(eventually([&] { return connected(src, dst); }));
  const std::string made = "info autoconnect: probe:late_out \u2192 system:playback_1";
  // The worker logs just after JACK has made the connection.
  EXPECT_TRUE(eventually([&] { return !captured().lines().empty(); }));
  EXPECT_THAT(captured().lines(), ElementsAre(made));

  // Passes over an existing connection say nothing.
  std::this_thread::sleep_for(4 * kInterval);
  EXPECT_THAT(captured().lines(), ElementsAre(made));

  ASSERT_EQ(jack_disconnect(observer_, src.c_str(), dst.c_str()), 0);
  EXPECT_TRUE(eventually([&] { return connected(src, dst); }));
  EXPECT_TRUE(eventually([&] { return captured().lines().size() >= 2; }));
  std::this_thread::sleep_for(2 * kInterval);
  EXPECT_THAT(captured().lines(), ElementsAre(made, made));
}

TEST_F(AutoconnectOnJack, EndsWithItsMixerAndClosesItsClient) {
  start_autoconnect({{"system:capture_1", "system:playback_1"}}, lifeline(), kInterval);
  ASSERT_TRUE(eventually([&] { return connected("system:capture_1", "system:playback_1"); }));
  EXPECT_GE(threads_named("autoconnect"), 1);  // JACK's own client thread inherits the name

  stop_->request_stop();
  EXPECT_TRUE(eventually([&] { return !helper_present(); }));
  EXPECT_TRUE(eventually([&] { return threads_named("autoconnect") == 0; }));
  ASSERT_EQ(jack_disconnect(observer_, "system:capture_1", "system:playback_1"), 0);
  std::this_thread::sleep_for(3 * kInterval);
  EXPECT_FALSE(connected("system:capture_1", "system:playback_1"));
  EXPECT_EQ(captured().lines().size(), 1u);
}

TEST_F(AutoconnectOnJack, WithoutAServerWarnsOnceAndEnds) {
  ::setenv("JACK_DEFAULT_SERVER", "vantle-no-such-server", 1);
  start_autoconnect({{"system:capture_1", "system:playback_1"}}, lifeline(), kInterval);
  EXPECT_TRUE(eventually([&] { return !captured().lines().empty(); }, 10s));
  EXPECT_TRUE(eventually([&] { return threads_named("autoconnect") == 0; }, 10s));
  EXPECT_THAT(captured().lines(), ElementsAre(StartsWith("warning autoconnect helper client failed to open: ")));
  EXPECT_FALSE(connected("system:capture_1", "system:playback_1"));
}

TEST_F(AutoconnectOnJack, APassMakesEachMissingConnectionOnceInOrder) {
  const std::vector<config::AutoConnect> rules = {
      {"system:capture_2", "system:playback_2"},
      {"nobody:out", "system:playback_1"},
      {"system:capture_1", "system:playback_1"},
  };
  EXPECT_EQ(autoconnect_pass(helper(), rules), 2u);
  EXPECT_THAT(captured().lines(), ElementsAre("info autoconnect: system:capture_2 \u2192 system:playback_2",
                                              "info autoconnect: system:capture_1 \u2192 system:playback_1"));
  EXPECT_TRUE(connected("system:capture_2", "system:playback_2"));
  EXPECT_TRUE(connected("system:capture_1", "system:playback_1"));

  captured().clear();
  EXPECT_EQ(autoconnect_pass(helper(), rules), 0u);
  EXPECT_THAT(captured().lines(), IsEmpty());

  // A dropped Mixer stops in the middle of a pass.
  ASSERT_EQ(jack_disconnect(observer_, "system:capture_2", "system:playback_2"), 0);
  stop_->request_stop();
  const Lifeline ended = lifeline();
  EXPECT_EQ(autoconnect_pass(helper(), rules, &ended), 0u);
  EXPECT_FALSE(connected("system:capture_2", "system:playback_2"));
}

TEST_F(AutoconnectOnJack, RulesThatCannotBeLookedUpAreSkippedSilently) {
  using namespace std::string_literals;
  const struct {
    const char* what;
    config::AutoConnect rule;
  } cases[] = {
      {"missing source", {"nobody:out", "system:playback_1"}},
      {"missing destination", {"system:capture_1", "nobody:in"}},
      // JACK matches an empty name against ports without an alias, the first of which
      // is system:capture_1.
      {"empty source", {"", "system:playback_1"}},
      {"empty destination", {"system:capture_1", ""}},
      // Cut at the NUL these would name real ports.
      {"NUL in the source", {"system:capture_1\0:gone"s, "system:playback_1"}},
      {"NUL in the destination", {"system:capture_1", "system:playback_1\0:gone"s}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    captured().clear();
    EXPECT_EQ(autoconnect_pass(helper(), {c.rule}), 0u);
    EXPECT_THAT(captured().lines(), IsEmpty());
    EXPECT_FALSE(connected("system:capture_1", "system:playback_1"));
  }
}

TEST_F(AutoconnectOnJack, ARefusedConnectionIsReportedEveryPass) {
  // Ports of a client that is not active cannot be connected.
  jack_status_t status{};
  jack_client_t* idle = jack_client_open("idle", JackNoStartServer, &status);
  ASSERT_NE(idle, nullptr);
  ASSERT_NE(jack_port_register(idle, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0), nullptr);

  const struct {
    config::AutoConnect rule;
    const char* reason;
  } cases[] = {
      {{"system:playback_1", "system:playback_2"}, "source is not an output port"},
      {{"system:capture_1", "system:capture_2"}, "destination is not an input port"},
      {{"system:playback_1", "system:capture_1"},
       "source is not an output port and destination is not an input port"},
      {{"idle:out", "system:playback_1"}, "JACK error code -1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    captured().clear();
    const std::string warning = "warning autoconnect " + c.rule.src + " \u2192 " + c.rule.dst + ": " + c.reason;
    EXPECT_EQ(autoconnect_pass(helper(), {c.rule}), 0u);
    EXPECT_EQ(autoconnect_pass(helper(), {c.rule}), 0u);
    EXPECT_THAT(captured().lines(), ElementsAre(warning, warning));
  }
  jack_client_close(idle);
}

TEST(AutoconnectInterval, FiveSecondsUnlessAPositiveNumberOfMillisecondsIsGiven) {
  const struct {
    const char* value;  // nullptr: unset
    std::chrono::milliseconds expected;
  } cases[] = {
      {nullptr, 5000ms}, {"250", 250ms}, {"1", 1ms}, {"0", 5000ms},
      {"-20", 5000ms},   {"", 5000ms},   {"1.5", 5000ms}, {"20ms", 5000ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    if (c.value) {
      ::setenv(kAutoconnectIntervalVariable, c.value, 1);
    } else {
      ::unsetenv(kAutoconnectIntervalVariable);
    }
    EXPECT_EQ(autoconnect_interval(), c.expected);
  }
  ::unsetenv(kAutoconnectIntervalVariable);
}

}  // namespace
}  // namespace vantle::engine

// The vantle-ctl tool against a scripted mixer: a loopback socket records each
// request datagram and answers it as the mixer would (or stays silent), and the
// tool's requests, output and exit status are checked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/config.hpp"
#include "config/config_json.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "util/json.hpp"
#include "util/udp.hpp"

namespace vantle::ctl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
// Compared without regard to member order: the mixer reads members in any order.
using Plain = nlohmann::json;

constexpr const char* kConfigReply =
    R"({"kind":"config","buses":[{"id":"main","label":"Main"},{"id":"monitor","label":"Monitor"},)"
    R"({"id":"cue","label":"Cue"},{"id":"main_relay","label":"Main Relay"},)"
    R"({"id":"monitor_relay","label":"Monitor Relay"},{"id":"cue_relay","label":"Cue Relay"}],)"
    R"("channels":[{"id":"mic","kind":"mono","label":"Microphone"},{"id":"music","kind":"stereo","label":"music"}],)"
    R"("ramp_ms":150})";

constexpr const char* kStateReply =
    R"({"kind":"state","name":"default","channels":[)"
    R"({"main":0.5,"monitor":1.0,"cue":0.0,"main_muted":0.0,"monitor_muted":1.0,"cue_muted":0.0,"pan":-0.25},)"
    R"({"main":1.0,"monitor":0.0,"cue":0.0,"main_muted":0.0,"monitor_muted":0.0,"cue_muted":0.0,"pan":0.0}],)"
    R"("main_gain":1.0,"monitor_gain":0.8,"cue_gain":1.0,"main_relay_gain":1.0,"main_relay_on":true,)"
    R"("monitor_relay_gain":1.0,"monitor_relay_on":false,"cue_relay_gain":2.0,"cue_relay_on":true,)"
    R"("main_dsp_plugins":[{"type":"echo","delay_ms":250.0,"feedback":0.3,"mix":0.25}],)"
    R"("monitor_dsp_plugins":[],"cue_dsp_plugins":[]})";

constexpr const char* kPortsReply =
    R"({"kind":"available_ports","capture":[{"client":"system","ports":["system:capture_1","system:capture_2"]}],)"
    R"("playback":[{"client":"rec","ports":["rec:in_1"]},{"client":"system","ports":["system:playback_1"]}]})";

constexpr const char* kGraphReply =
    R"({"kind":"jack_graph","clients":[{"name":"system","ports":[)"
    R"({"name":"system:capture_1","direction":"output","connections":["vantle-mixer:mic_in","rec:in_1"]},)"
    R"({"name":"system:playback_1","direction":"input","connections":[]}]}]})";

constexpr const char* kMidiReply =
    R"({"kind":"midi_state","channel":"mic","last_key":{"action":"select:mic","note":"C4","timestamp_ms":1200,)"
    R"("velocity":100},"mode":"channel_control","recent_keys":[{"action":null,"note":"D4","timestamp_ms":900,)"
    R"("velocity":64},{"action":"select:mic","note":"C4","timestamp_ms":1200,"velocity":100}]})";

constexpr const char* kWelcomeReply = R"({"kind":"welcome","bus":"cue","delay_ms":120.0})";
constexpr const char* kReloadOk = R"({"kind":"reload_result","success":true,"error":null})";

// The running configuration as the mixer sends it: "kind" first, then the members
// in ascending order, floats widened.
std::string full_config_reply() {
  config::Config c;
  config::ChannelConfig mic;
  mic.id = "mic";
  mic.main_gain = 0.8f;
  c.channels.push_back(mic);
  json::Json reply = {{"kind", "full_config"}};
  const Plain sorted = Plain::parse(config::config_to_json(c, config::FloatForm::kWidened).dump());
  for (const auto& [name, value] : sorted.items()) reply[name] = json::parse(value.dump());
  return reply.dump();
}

// What the mixer answers to each op when all goes well; nothing for the others.
std::vector<std::string> answer_like_a_mixer(const Plain& request) {
  const std::string op = request.value("op", "");
  if (op == "get_config") return {kConfigReply};
  if (op == "get_state") return {kStateReply};
  if (op == "get_full_config") return {full_config_reply()};
  if (op == "get_available_ports") return {kPortsReply};
  if (op == "get_jack_graph") return {kGraphReply};
  if (op == "get_midi_state") return {kMidiReply};
  if (op == "register_relay") return {kWelcomeReply};
  if (op == "reload_config") return {kReloadOk};
  return {};
}

struct Request {
  std::string text;
  Plain value;  // null when the text is not JSON
  net::Endpoint from;
};

// The mixer's control socket on a free loopback port. A thread answers each request
// with what `answer` gives for it, sent back to the request's source.
class FakeMixer {
 public:
  using Answer = std::function<std::vector<std::string>(const Plain&)>;

  explicit FakeMixer(Answer answer = answer_like_a_mixer)
      : socket_(net::UdpSocket::create()), answer_(std::move(answer)) {
    socket_.bind(net::Endpoint::loopback(0));
    socket_.set_receive_timeout(20);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeMixer() {
    stop_ = true;
    thread_.join();
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(socket_.local_endpoint().port()); }

  // The requests so far, once there are `count` of them or `within` has passed.
  std::vector<Request> requests(std::size_t count = 0, std::chrono::milliseconds within = 2s) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, within, [&] { return requests_.size() >= count; });
    return requests_;
  }

  // Sent before each answer, from a socket at another address.
  void set_impostor(std::string text) { impostor_ = std::move(text); }

 private:
  void serve() {
    std::vector<std::uint8_t> buffer(65536);
    while (!stop_) {
      std::size_t length = 0;
      net::Endpoint from;
      int error = 0;
      if (socket_.receive(buffer, length, from, error) != net::UdpSocket::Received::kDatagram) continue;
      Request r{std::string(reinterpret_cast<const char*>(buffer.data()), length), Plain(), from};
      r.value = Plain::parse(r.text, nullptr, false);
      if (r.value.is_discarded()) r.value = Plain();
      const auto replies = answer_(r.value);
      if (!impostor_.empty() && !replies.empty()) {
        auto other = net::UdpSocket::create();
        other.send_to(bytes(impostor_), from);
      }
      for (const auto& reply : replies) socket_.send_to(bytes(reply), from);
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(r));
      arrived_.notify_all();
    }
  }

  static std::span<const std::uint8_t> bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
  }

  net::UdpSocket socket_;
  Answer answer_;
  std::string impostor_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Request> requests_;
  std::thread thread_;
};

struct Outcome {
  int status = -1;
  std::string out, err;
  std::chrono::milliseconds took{};
};

Outcome ctl(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env = {}) {
  args.insert(args.begin(), VANTLE_CTL_BIN);
  env.emplace("VANTLE_CTL_TO", std::nullopt);
  const auto start = Clock::now();
  auto result = test::Process::run({std::move(args), std::move(env), {}}, 30s);
  return {result.status, result.out, result.err,
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)};
}

Outcome ctl_to(const FakeMixer& mixer, std::vector<std::string> args) {
  args.insert(args.begin(), {"--to", mixer.address()});
  return ctl(std::move(args));
}

std::string write(const test::TempDir& dir, const std::string& name, const std::string& text) {
  const auto path = dir.path() / name;
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

bool has_line(const std::string& text, const std::string& line) {
  for (const auto& l : test::lines_of(text)) {
    if (l == line) return true;
  }
  return false;
}

// The line of a table that begins with `first` followed by a space.
std::string row(const std::string& text, const std::string& first) {
  for (const auto& l : test::lines_of(text)) {
    if (l.rfind(first + " ", 0) == 0) return l;
  }
  return "";
}

// Each of `parts` in `line`, in this order.
::testing::AssertionResult in_order(const std::string& line, const std::vector<std::string>& parts) {
  std::size_t at = 0;
  for (const auto& p : parts) {
    auto found = line.find(p, at);
    if (found == std::string::npos) return ::testing::AssertionFailure() << "'" << p << "' not found in order in '" << line << "'";
    at = found + p.size();
  }
  return ::testing::AssertionSuccess();
}

constexpr const char* kScene =
    R"({"name":"live","channels":[{"main":1,"monitor":0,"cue":0,"main_muted":0,"monitor_muted":0,"cue_muted":0}],)"
    R"("main_gain":1,"monitor_gain":1,"cue_gain":1,"main_relay_gain":1,"main_relay_on":true,)"
    R"("monitor_relay_gain":1,"monitor_relay_on":true,"cue_relay_gain":1,"cue_relay_on":false})";

// --- requests -----------------------------------------------------------------

TEST(CtlRequests, EachCommandSendsItsOperation) {
  test::TempDir dir("vantle-ctl");
  const std::string scene = write(dir, "scene.json", kScene);
  const std::string config = write(dir, "config.json", R"({"channels": [{"id": "mic", "kind": "mono"}]})");
  const std::string chain = write(dir, "chain.json", R"([{"type": "high_pass", "freq_hz": 80}])");
  const std::string fence = R"({"op":"get_config"})";

  struct Case {
    std::vector<std::string> args;
    std::string request;
    bool fenced;  // followed by get_config, whose answer shows it was handled
  };
  const std::vector<Case> cases = {
      {{"get-config"}, R"({"op":"get_config"})", false},
      {{"get-full-config"}, R"({"op":"get_full_config"})", false},
      {{"get-available-ports"}, R"({"op":"get_available_ports"})", false},
      {{"--json", "get-state"}, R"({"op":"get_state"})", false},
      {{"set-scene", scene}, std::string(R"({"op":"set_scene","scene":)") + kScene + "}", false},
      {{"set-fader", "mic", "main", "0.5"}, R"({"op":"set_fader","channel":"mic","bus":"main","gain":0.5})", false},
      {{"set-fader", "mic", "cue", "-6dB"}, R"({"op":"set_fader","channel":"mic","bus":"cue","gain":0.5011872})",
       false},
      {{"set-fader", "mic", "monitor", "+6 dB"},
       R"({"op":"set_fader","channel":"mic","bus":"monitor","gain":1.9952623})", false},
      {{"set-fader", "mic", "main", "0"}, R"({"op":"set_fader","channel":"mic","bus":"main","gain":0.0})", false},
      {{"set-pan", "mic", "-0.25"}, R"({"op":"set_pan","channel":"mic","pan":-0.25})", false},
      {{"set-mute", "mic", "monitor", "on"}, R"({"op":"set_mute","channel":"mic","bus":"monitor","muted":true})",
       false},
      {{"set-mute", "mic", "main", "False"}, R"({"op":"set_mute","channel":"mic","bus":"main","muted":false})", false},
      {{"set-master", "cue_relay", "2"}, R"({"op":"set_master","bus":"cue_relay","gain":2.0})", false},
      {{"set-relay-on", "monitor", "off"}, R"({"op":"set_relay_on","feed":"monitor","on":false})", false},
      {{"set-relay-assignment", "booth", "off"}, R"({"op":"set_relay_assignment","name":"booth","feed":"off"})",
       false},
      {{"set-relay-assignment-default", "booth", "cue"},
       R"({"op":"set_relay_assignment_default","name":"booth","feed":"cue"})", false},
      {{"get-midi-state"}, R"({"op":"get_midi_state"})", false},
      {{"reload-config", config}, R"({"op":"reload_config","config":{"channels":[{"id":"mic","kind":"mono"}]}})",
       false},
      {{"set-bus-dsp", "cue", R"([{"type":"echo","delay_ms":250}])"},
       R"({"op":"set_bus_dsp","bus":"cue","plugins":[{"type":"echo","delay_ms":250}]})", true},
      {{"set-bus-dsp", "main", chain},
       R"({"op":"set_bus_dsp","bus":"main","plugins":[{"type":"high_pass","freq_hz":80}]})", true},
      {{"set-bus-dsp", "monitor", "[]"}, R"({"op":"set_bus_dsp","bus":"monitor","plugins":[]})", true},
      {{"set-session-delay", "booth", "120"}, R"({"op":"set_session_delay","name":"booth","delay_ms":120.0})", true},
      {{"get-jack-graph"}, R"({"op":"get_jack_graph"})", false},
      {{"jack-connect", "a:out", "b:in"}, R"({"op":"jack_connect","src":"a:out","dst":"b:in"})", true},
      {{"jack-disconnect", "a:out", "b:in"}, R"({"op":"jack_disconnect","src":"a:out","dst":"b:in"})", true},
      {{"register-relay", "booth"}, R"({"op":"register_relay","name":"booth"})", false},
      {{"relay-heartbeat", "booth"}, R"({"op":"relay_heartbeat","name":"booth"})", false},
      {{"relay-bye", "booth"}, R"({"op":"relay_bye","name":"booth"})", false},
      {{"set-fader", "mic", "main", "1", "--confirm"}, R"({"op":"set_fader","channel":"mic","bus":"main","gain":1.0})",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
    FakeMixer mixer;
    const Outcome run = ctl_to(mixer, c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    const auto requests = mixer.requests(c.fenced ? 2 : 1);
    ASSERT_GE(requests.size(), 1u);
    EXPECT_EQ(requests[0].value, Plain::parse(c.request)) << requests[0].text;
    if (c.fenced) {
      ASSERT_EQ(requests.size(), 2u);
      EXPECT_EQ(requests[1].text, fence);
      EXPECT_EQ(requests[1].from, requests[0].from);
    } else {
      EXPECT_EQ(mixer.requests(2, 100ms).size(), 1u);
    }
  }
}

TEST(CtlRequests, RawSendsTheTextAsItStandsAndWaitsOnlyForOpsWithAReply) {
  FakeMixer mixer;
  // Sent byte for byte, so the mixer's own reading can be tried out.
  const std::string pan = R"( {"channel":"mic","pan":-1,"op":"set_pan"})";
  Outcome run = ctl_to(mixer, {"raw", pan});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(mixer.requests(1)[0].text, pan);

  run = ctl_to(mixer, {"raw", R"({"op":"get_midi_state","extra":1})", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, std::string(kMidiReply) + "\n");

  // A member given twice is the mixer's to refuse; the tool sends it.
  run = ctl_to(mixer, {"raw", R"({"op":"get_state","op":"get_state"})"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(mixer.requests(3).size(), 3u);

  // --wait takes whatever the mixer sends back.
  FakeMixer talkative([](const Plain&) { return std::vector<std::string>{R"({"kind":"error","message":"odd"})"}; });
  run = ctl_to(talkative, {"raw", R"({"op":"future_op"})", "--wait", "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "{\"kind\":\"error\",\"message\":\"odd\"}\n");
}

TEST(CtlRequests, TheAddressComesFromTheEnvironmentWhenNotGiven) {
  FakeMixer mixer;
  const Outcome run = ctl({"set-relay-on", "cue", "on"}, {{"VANTLE_CTL_TO", mixer.address()}});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(mixer.requests(1).size(), 1u);
  EXPECT_EQ(mixer.requests()[0].value["op"], "set_relay_on");
}

// --- mistakes on the command line -------------------------------------------------

TEST(CtlArguments, MistakesAreRefusedBeforeAnythingIsSent) {
  test::TempDir dir("vantle-ctl");
  const std::string missing = (dir.path() / "missing.json").string();
  const std::string broken = write(dir, "broken.json", R"({"name": "x",)");
  std::string incomplete_scene = kScene;
  incomplete_scene.replace(incomplete_scene.find(R"("cue_gain":1,)"), 13, "");
  const std::string incomplete = write(dir, "incomplete.json", incomplete_scene);
  const std::string array = write(dir, "array.json", "[1]");
  std::string long_chain = "[";
  for (int i = 0; i < 600; ++i) long_chain += std::string(i ? "," : "") + R"({"type":"echo"})";
  long_chain += "]";

  struct Case {
    std::vector<std::string> args;
    std::string complaint;
  };
  const std::vector<Case> cases = {
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"set_fader", "mic", "main", "1"}, "unknown command 'set_fader' (did you mean set-fader?)"},
      {{}, "no command given"},
      {{"set-fader", "mic", "main"}, "GAIN is required"},
      {{"set-fader", "mic", "main", "1", "2"}, "unexpected argument '2'"},
      {{"set-fader", "mic", "aux", "1"}, "BUS: expected one of main, monitor, cue, got 'aux'"},
      {{"set-fader", "", "main", "1"}, "CHANNEL must not be empty"},
      {{"set-fader", "mic", "main", "loud"}, "GAIN: expected a number, got 'loud'"},
      {{"set-fader", "mic", "main", "6 dBFS"}, "GAIN: expected a number"},
      {{"set-fader", "mic", "main", "loud dB"}, "GAIN: expected a gain such as 0.5 or -6dB"},
      {{"set-fader", "mic", "main", "1000dB"}, "out of range"},
      {{"set-pan", "mic", "nan"}, "PAN: expected a number, got 'nan'"},
      {{"set-pan", "mic", "0x10"}, "PAN: expected a number"},
      {{"set-pan", "mic", "1e39"}, "PAN: '1e39' is out of range"},
      {{"set-mute", "mic", "main", "yes"}, "MUTED: expected on, off, true or false, got 'yes'"},
      {{"set-master", "relay", "1"}, "BUS: expected one of main, monitor, cue, main_relay, monitor_relay, cue_relay"},
      {{"set-relay-on", "off", "on"}, "FEED: expected one of main, monitor, cue, got 'off'"},
      {{"set-relay-assignment", "booth", "aux"}, "FEED: expected one of main, monitor, cue, off"},
      {{"set-session-delay", "booth", "soon"}, "MS: expected a number"},
      {{"set-scene", missing}, "cannot read " + missing},
      {{"set-scene", broken}, broken + ": invalid JSON"},
      {{"set-scene", incomplete}, incomplete + ": not a scene: missing field `cue_gain`"},
      {{"set-bus-dsp", "cue", R"([{"type":"chorus"}])"}, "PLUGINS: plugin 1:"},
      {{"set-bus-dsp", "cue", R"([{"type":"echo"},{"type":"low_pass"}])"}, "plugin 2: missing field `freq_hz`"},
      {{"set-bus-dsp", "cue", R"({"type":"echo"})"}, "expected a JSON array of plugins"},
      {{"set-bus-dsp", "cue", long_chain}, "the mixer reads at most 8192 bytes"},
      {{"reload-config", array}, array + ": a configuration is a JSON object"},
      {{"reload-config", missing}, "cannot read " + missing},
      {{"raw", R"({"op":)"}, "JSON:"},
      {{"--timeout", "0", "get-state"}, "--timeout"},
      {{"--timeout", "soon", "get-state"}, "--timeout"},
  };
  FakeMixer mixer;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.front() + (c.args.size() > 1 ? " " + c.args.back() : ""));
    const Outcome run = ctl_to(mixer, c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.complaint), std::string::npos) << run.err;
  }
  const Outcome bad_address = ctl({"--to", "localhost", "get-state"});
  EXPECT_EQ(bad_address.status, 2);
  EXPECT_NE(bad_address.err.find("--to: expected HOST:PORT"), std::string::npos) << bad_address.err;
  EXPECT_TRUE(mixer.requests(1, 200ms).empty());
}

// --- what the mixer says back ---------------------------------------------------

TEST(CtlReplies, StateIsATableOfChannelsNamedByTheConfiguration) {
  FakeMixer mixer;
  const Outcome run = ctl_to(mixer, {"get-state"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(has_line(run.out, "scene: default")) << run.out;
  EXPECT_TRUE(in_order(row(run.out, "mic"), {"0.500 (-6.0 dB)", "1.000 (0.0 dB) muted", "0.000 (-inf dB)", "-0.25"}));
  EXPECT_TRUE(in_order(row(run.out, "music"), {"1.000 (0.0 dB)", "0.000 (-inf dB)", "0.000 (-inf dB)", "0.00"}));
  EXPECT_TRUE(in_order(row(run.out, "monitor"), {"0.800 (-1.9 dB)", "1.000 (0.0 dB)", "off"}));
  EXPECT_TRUE(in_order(row(run.out, "cue"), {"1.000 (0.0 dB)", "2.000 (6.0 dB)", "on"}));
  EXPECT_TRUE(in_order(row(run.out, "  main"), {"echo delay_ms=250.0 feedback=0.3 mix=0.25"})) << run.out;
  EXPECT_TRUE(in_order(row(run.out, "  cue"), {"(none)"}));

  // Without the configuration's answer the rows are numbered.
  FakeMixer forgetful([](const Plain& r) {
    return r["op"] == "get_state" ? std::vector<std::string>{kStateReply} : std::vector<std::string>{};
  });
  const Outcome numbered = ctl_to(forgetful, {"--timeout", "300", "get-state"});
  ASSERT_EQ(numbered.status, 0) << numbered.err;
  EXPECT_TRUE(in_order(row(numbered.out, "#2"), {"1.000 (0.0 dB)"})) << numbered.out;
}

TEST(CtlReplies, QueriesAreShownForOperators) {
  FakeMixer mixer;
  Outcome run = ctl_to(mixer, {"get-config"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(in_order(row(run.out, "monitor_relay"), {"Monitor Relay"}));
  EXPECT_TRUE(in_order(row(run.out, "mic"), {"mono", "Microphone"}));
  EXPECT_TRUE(has_line(run.out, "ramp: 150 ms"));

  run = ctl_to(mixer, {"get-available-ports"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "capture (sources):\n"
            "  system\n"
            "    system:capture_1\n"
            "    system:capture_2\n"
            "playback (destinations):\n"
            "  rec\n"
            "    rec:in_1\n"
            "  system\n"
            "    system:playback_1\n");

  run = ctl_to(mixer, {"get-jack-graph"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "system\n"
            "  system:capture_1 (output) -> vantle-mixer:mic_in, rec:in_1\n"
            "  system:playback_1 (input)\n");

  run = ctl_to(mixer, {"get-midi-state"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(has_line(run.out, "mode: channel_control")) << run.out;
  EXPECT_TRUE(has_line(run.out, "channel: mic"));
  EXPECT_TRUE(has_line(run.out, "last key: C4 velocity 100 at 1200 ms: select:mic"));
  EXPECT_TRUE(has_line(run.out, "  D4 velocity 64 at 900 ms (no action)"));

  run = ctl_to(mixer, {"register-relay", "booth"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "bus: cue\ndelay: 120.0 ms\n");

}

TEST(CtlReplies, FullConfigPrintsWhatAReloadTakesBack) {
  FakeMixer mixer;
  const Outcome run = ctl_to(mixer, {"get-full-config"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(Plain::parse(run.out).contains("kind"));
  EXPECT_EQ(run.out.find("0.800000011920929"), std::string::npos);
  const config::Config shown = config::config_from_json_text(run.out);
  ASSERT_EQ(shown.channels.size(), 1u);
  EXPECT_EQ(shown.channels[0].main_gain, 0.8f);
  EXPECT_EQ(shown, config::config_from_json(json::parse(full_config_reply())));

  test::TempDir dir("vantle-ctl");
  const std::string file = write(dir, "mixer.json", run.out);
  EXPECT_EQ(ctl_to(mixer, {"reload-config", file}).status, 0);
  const auto requests = mixer.requests(2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(config::config_from_json(json::parse(requests[1].value["config"].dump())), shown);
}

TEST(CtlReplies, JsonPrintsTheReplyAsReceived) {
  FakeMixer mixer;
  Outcome run = ctl_to(mixer, {"--json", "get-full-config"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, full_config_reply() + "\n");

  run = ctl_to(mixer, {"get-state", "--json", "--pretty"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, json::parse(kStateReply).dump(2) + "\n");
  EXPECT_EQ(mixer.requests(2).size(), 2u);  // no get_config to name the channels
}

TEST(CtlReplies, RefusalsAndFailuresEndWithStatusOne) {
  test::TempDir dir("vantle-ctl");
  const std::string config = write(dir, "config.json", R"({"channels": []})");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> replies;  // to the request; a fence is answered with the configuration
    std::string complaint;
  };
  const std::vector<Case> cases = {
      {{"set-bus-dsp", "cue", R"([{"type":"echo","feedback":0.96}])"},
       {R"({"kind":"error","message":"echo feedback 0..0.95"})"},
       "the mixer refused: echo feedback 0..0.95"},
      {{"set-session-delay", "booth", "500.5"},
       {R"({"kind":"error","message":"delay_ms must be 0..500"})"},
       "the mixer refused: delay_ms must be 0..500"},
      {{"jack-connect", "a:out", "nowhere:in"},
       {R"({"kind":"error","message":"jack_connect: ERROR nowhere:in not a valid port"})"},
       "the mixer refused: jack_connect: ERROR nowhere:in not a valid port"},
      {{"reload-config", config},
       {R"({"kind":"reload_result","success":false,"error":"config validation failed: duplicate channel id mic"})"},
       "reload failed: config validation failed: duplicate channel id mic"},
      {{"reload-config", config}, {R"({"kind":"reload_result","success":false,"error":"reload timeout"})"},
       "reload failed: reload timeout"},
      {{"get-full-config"}, {R"({"kind":"full_config"})"}, "could not convert its configuration"},
      {{"get-midi-state"}, {""}, "the mixer's reply was empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    FakeMixer mixer([&](const Plain& r) {
      return r["op"] == "get_config" ? std::vector<std::string>{kConfigReply} : c.replies;
    });
    const Outcome run = ctl_to(mixer, c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.complaint), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }

  // With --json the refusal itself is the output.
  FakeMixer refusing([](const Plain& r) {
    return r["op"] == "get_config" ? std::vector<std::string>{kConfigReply}
                                   : std::vector<std::string>{R"({"kind":"error","message":"invalid bus"})"};
  });
  const Outcome run = ctl_to(refusing, {"--json", "set-bus-dsp", "cue", "[]"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "{\"kind\":\"error\",\"message\":\"invalid bus\"}\n");
}

TEST(CtlReplies, ReloadSuccessIsReported) {
  test::TempDir dir("vantle-ctl");
  FakeMixer mixer;
  const Outcome run = ctl_to(mixer, {"reload-config", write(dir, "c.json", R"({"channels": []})")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "reload succeeded\n");
}

TEST(CtlReplies, SilenceIsNoSuccess) {
  test::TempDir dir("vantle-ctl");
  const std::string config = write(dir, "config.json", R"({"channels": []})");
  FakeMixer silent([](const Plain&) { return std::vector<std::string>{}; });
  const std::string no_reply = "no reply from " + silent.address() + " within 300 ms";
  // The four answered only on refusal count as well: silence does not tell that the
  // mixer handled them.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"get-state"}, {"reload-config", config}, {"set-bus-dsp", "cue", "[]"},
        {"set-session-delay", "booth", "0"}, {"jack-disconnect", "a:out", "b:in"}, {"set-pan", "mic", "0", "--confirm"}}) {
    SCOPED_TRACE(args.front());
    auto with_timeout = args;
    with_timeout.insert(with_timeout.begin(), {"--timeout", "300"});
    const Outcome run = ctl_to(silent, with_timeout);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(no_reply), std::string::npos) << run.err;
    EXPECT_GE(run.took, 300ms);
  }
  // Requests without a reply are sent and done.
  const Outcome fire = ctl_to(silent, {"--timeout", "5000", "set-fader", "mic", "main", "1"});
  EXPECT_EQ(fire.status, 0) << fire.err;
  EXPECT_LT(fire.took, 5000ms);
}

TEST(CtlReplies, OnlyTheMixersAddressIsListenedTo) {
  FakeMixer mixer;
  mixer.set_impostor(R"({"kind":"state","name":"impostor","channels":[]})");
  const Outcome run = ctl_to(mixer, {"--json", "get-state"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, std::string(kStateReply) + "\n");
}

TEST(CtlReplies, APortNobodyListensOnIsReportedAtOnce) {
  std::string address;
  {
    auto probe = net::UdpSocket::create();
    probe.bind(net::Endpoint::loopback(0));
    address = "127.0.0.1:" + std::to_string(probe.local_endpoint().port());
  }
  const Outcome run = ctl({"--to", address, "--timeout", "20000", "get-config"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no reply from " + address + ": Connection refused"), std::string::npos) << run.err;
  EXPECT_LT(run.took, 10s);
}

}  // namespace
}  // namespace vantle::ctl

// The OSC link to the DAW: the level conversions, the bytes that leave for the DAW
// (checked byte for byte and caught by liblo's oscdump), and feedback from liblo's
// oscsend and from hand-built packets, good and broken, moving a live scene.
#include "midi/osc.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <random>
#include <thread>
#include <variant>

#include "support/log_capture.hpp"
#include "support/process.hpp"
#include "util/error.hpp"
#include "util/log.hpp"

namespace vantle::midi {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

// ---- What the bridge logs ----------------------------------------------------------

// Every line of the "vantle_mixer::midi" target. Installed before any test runs, so
// the sink list never changes while a bridge thread logs.
test::LogCapture& captured() { return test::LogCapture::of("vantle_mixer::midi"); }
[[maybe_unused]] test::LogCapture& installed_at_start = captured();
using test::eventually;

// ---- OSC written by hand, independent of the bridge's encoder ------------------------

void put_be32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put_string(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
  do out.push_back(0);
  while (out.size() % 4 != 0);
}

using Arg = std::variant<std::int32_t, float, std::string>;

Bytes message(std::string_view address, const std::vector<Arg>& args = {}) {
  Bytes out;
  put_string(out, address);
  std::string tags = ",";
  for (const auto& arg : args) tags += "ifs"[arg.index()];
  put_string(out, tags);
  for (const auto& arg : args) {
    if (auto* i = std::get_if<std::int32_t>(&arg)) put_be32(out, static_cast<std::uint32_t>(*i));
    if (auto* f = std::get_if<float>(&arg)) {
      std::uint32_t bits;
      std::memcpy(&bits, f, 4);
      put_be32(out, bits);
    }
    if (auto* s = std::get_if<std::string>(&arg)) put_string(out, *s);
  }
  return out;
}

Bytes bundle(const std::vector<Bytes>& elements) {
  Bytes out = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};  // time tag "immediately"
  for (const auto& element : elements) {
    put_be32(out, static_cast<std::uint32_t>(element.size()));
    out.insert(out.end(), element.begin(), element.end());
  }
  return out;
}

Bytes nested(int depth, const Bytes& inner) {
  Bytes out = inner;
  for (int i = 0; i < depth; ++i) out = bundle({out});
  return out;
}

// Bytes spelled in a string literal (with its zeros), then big-endian words.
Bytes raw(std::string_view text, std::initializer_list<std::uint32_t> words = {}) {
  Bytes out(text.begin(), text.end());
  for (auto w : words) put_be32(out, w);
  return out;
}

// ---- The scene the feedback moves -----------------------------------------------------

engine::Scene two_channels() {
  engine::Scene scene;
  scene.name = "test";
  scene.channels = {engine::ChannelFaders{0.8f, 0.7f, 0.6f, 1.0f, 0.0f, 0.0f, -0.5f},
                    engine::ChannelFaders{1.0f, 1.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.5f}};
  scene.main_gain = 0.9f;
  return scene;
}

std::shared_ptr<engine::LiveScene> live(const engine::Scene& scene = two_channels()) {
  return std::make_shared<engine::LiveScene>(scene, 1, 48000);
}

void expect_scene_near(const engine::Scene& actual, const engine::Scene& expected) {
  auto near = [](float a, float b) { return std::fabs(a - b) <= 1e-3f; };
  ASSERT_EQ(actual.channels.size(), expected.channels.size());
  for (std::size_t i = 0; i < actual.channels.size(); ++i) {
    const auto& a = actual.channels[i];
    const auto& e = expected.channels[i];
    EXPECT_TRUE(near(a.main, e.main) && near(a.main_muted, e.main_muted) && a.monitor == e.monitor && a.cue == e.cue &&
                a.monitor_muted == e.monitor_muted && a.cue_muted == e.cue_muted && a.pan == e.pan)
        << "channel " << i << ": main " << a.main << " (expected " << e.main << "), main_muted " << a.main_muted
        << " (expected " << e.main_muted << ")";
  }
  EXPECT_TRUE(near(actual.main_gain, expected.main_gain)) << actual.main_gain << " vs " << expected.main_gain;
  EXPECT_EQ(actual.monitor_gain, expected.monitor_gain);
  EXPECT_EQ(actual.name, expected.name);
}

// ---- Conversions -------------------------------------------------------------------

TEST(OscLevels, GainToDecibelsAndBack) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    float gain;
    float db;
  };
  for (const Case& c : std::initializer_list<Case>{{1.0f, 0.0f},
                                                   {0.0f, -70.0f},
                                                   {2.0f, 6.0206f},
                                                   {0.5f, -6.0206f},
                                                   {0.001f, -60.0f},
                                                   {0.0001f, -70.0f},  // -80 floored
                                                   {-0.5f, -70.0f},
                                                   {kNan, -70.0f}}) {
    EXPECT_NEAR(gain_to_db(c.gain), c.db, 1e-3f) << "gain " << c.gain;
  }
  for (const Case& c : std::initializer_list<Case>{{0.501187f, -6.0f},
                                                   {1.0f, 0.0f},
                                                   {0.0f, -80.0f},
                                                   {0.0f, -200.0f},
                                                   {0.0f, -kInf},
                                                   {0.000101f, -79.9f},
                                                   {2.0f, 12.0f},  // capped
                                                   {2.0f, kInf},
                                                   {0.0f, kNan}}) {
    EXPECT_NEAR(db_to_gain(c.db), c.gain, 1e-6f) << "dB " << c.db;
  }
}

TEST(OscTarget, LiteralsAndTheFallBack) {
  struct Case {
    const char* setting;
    const char* text;
    bool ipv4;
  };
  for (const Case& c : std::initializer_list<Case>{{"127.0.0.1:3819", "127.0.0.1:3819", true},
                                                   {"10.1.2.3:9000", "10.1.2.3:9000", true},
                                                   {"[::1]:3819", "[::1]:3819", false},
                                                   {"[0:0::1]:7000", "[::1]:7000", false},
                                                   {"localhost:3819", "127.0.0.1:3819", true},
                                                   {"127.0.0.1", "127.0.0.1:3819", true},
                                                   {"127.0.0.1:65536", "127.0.0.1:3819", true},
                                                   {"::1:3819", "127.0.0.1:3819", true},
                                                   {"[::1]", "127.0.0.1:3819", true},
                                                   {"[nonsense]:3819", "127.0.0.1:3819", true},
                                                   {"", "127.0.0.1:3819", true}}) {
    const OscTarget target = osc_target(c.setting);
    EXPECT_EQ(target.text, c.text) << c.setting;
    EXPECT_EQ(target.ipv4.has_value(), c.ipv4) << c.setting;
    if (target.ipv4) {
      EXPECT_EQ(target.ipv4->to_string(), c.text) << c.setting;
    }
  }
  EXPECT_EQ(OscSender("not an address").target_text(), "127.0.0.1:3819");
}

// ---- Outgoing ----------------------------------------------------------------------

// A listener on loopback standing in for the DAW.
class Listener {
 public:
  Listener() : socket_(net::UdpSocket::create()) {
    socket_.bind(net::Endpoint::loopback(0));
    socket_.set_receive_timeout(2000);
  }
  std::string address() const { return socket_.local_endpoint().to_string(); }
  std::optional<Bytes> receive() {
    Bytes buffer(65536);
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    if (socket_.receive(buffer, length, from, error) != net::UdpSocket::Received::kDatagram) return std::nullopt;
    buffer.resize(length);
    return buffer;
  }

 private:
  net::UdpSocket socket_;
};

TEST(OscSender, SendsOneOscMessagePerDatagram) {
  Listener daw;
  OscSender sender(daw.address());
  EXPECT_EQ(sender.target_text(), daw.address());

  struct Case {
    std::string address;
    std::vector<OscArgument> arguments;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"/strip/gain/1", {OscArgument(0.0f)}, message("/strip/gain/1", {0.0f})},
      {"/strip/gain/12", {OscArgument(-70.0f)}, message("/strip/gain/12", {-70.0f})},
      {"/strip/mute/3", {OscArgument(std::int32_t{1})}, message("/strip/mute/3", {std::int32_t{1}})},
      {"/strip/mute/3", {OscArgument(std::int32_t{0})}, message("/strip/mute/3", {std::int32_t{0}})},
      // No arguments: the type tag string is a lone comma.
      {"/transport_play", {}, raw(std::string_view("/transport_play\0,\0\0\0", 20))},
      {"/goto_start", {}, raw(std::string_view("/goto_start\0,\0\0\0", 16))},
  };
  for (const auto& c : cases) {
    sender.send(c.address, c.arguments);
    const auto received = daw.receive();
    ASSERT_TRUE(received) << c.address;
    EXPECT_THAT(*received, ElementsAreArray(c.expected)) << c.address;
  }
}

TEST(OscSender, OscdumpReadsWhatTheSurfaceSends) {
  std::uint16_t port;
  {
    auto probe = net::UdpSocket::create();
    probe.bind(net::Endpoint::loopback(0));
    port = probe.local_endpoint().port();
  }
  test::Process oscdump({{"oscdump", "-L", std::to_string(port)}, {}, ""});
  OscSender sender("127.0.0.1:" + std::to_string(port));
  // oscdump listens some time after it starts; until then datagrams are lost.
  ASSERT_TRUE(eventually([&] {
    sender.send("/ready", {});
    return oscdump.out().find("/ready") != std::string::npos;
  }, 5s)) << oscdump.err();

  sender.send("/strip/gain/3", {gain_to_db(0.5f)});
  sender.send("/strip/gain/1", {gain_to_db(0.0f)});
  sender.send("/strip/mute/2", {std::int32_t{1}});
  sender.send("/toggle_roll", {});
  ASSERT_TRUE(eventually([&] { return oscdump.out().find("/toggle_roll") != std::string::npos; })) << oscdump.out();

  std::vector<std::string> seen;
  for (const auto& line : test::lines_of(oscdump.out())) {
    // Each line begins with the time tag of its arrival.
    const auto space = line.find(' ');
    if (line.find("/ready") == std::string::npos) seen.push_back(line.substr(space + 1));
  }
  EXPECT_THAT(seen, ElementsAre("/strip/gain/3 f -6.020600", "/strip/gain/1 f -70.000000", "/strip/mute/2 i 1",
                                "/toggle_roll "));
}

TEST(OscSender, AnIpv6TargetIsReportedAtEverySend) {
  OscSender sender("[::1]:9000");
  EXPECT_EQ(sender.target_text(), "[::1]:9000");
  captured().clear();
  sender.send("/strip/mute/1", {std::int32_t{1}});
  EXPECT_THAT(captured().matching("OSC send_to"),
              ElementsAre("warning [midi] OSC send_to [::1]:9000: Address family not supported by protocol (os error 97)"));
}

// ---- Feedback packets --------------------------------------------------------------

class OscFeedback : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_level_ = log::get("vantle_mixer::midi").level();
    log::get("vantle_mixer::midi").set_level(spdlog::level::debug);
    captured().clear();
  }
  void TearDown() override { log::get("vantle_mixer::midi").set_level(logger_level_); }

  std::vector<std::string> osc_lines() { return captured().matching("[osc]"); }

  spdlog::level::level_enum logger_level_ = spdlog::level::info;
};

TEST_F(OscFeedback, MessagesChangeTheLiveScene) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  using Change = std::function<void(engine::Scene&)>;
  struct Case {
    const char* name;
    Bytes packet;
    Change change;     // empty: the scene stays as it was
    std::string line;  // the one "[osc]" line logged, or none
  };
  const std::vector<Case> cases = {
      {"gain in dB", message("/strip/gain", {1, -6.0f}), [](auto& s) { s.channels[0].main = 0.501f; },
       "info [osc] strip 1 gain -6.0dB \u2192 0.501"},
      {"gain at -80 dB", message("/strip/gain", {2, -80.0f}), [](auto& s) { s.channels[1].main = 0.0f; },
       "info [osc] strip 2 gain -80.0dB \u2192 0.000"},
      {"gain below -80 dB", message("/strip/gain", {2, -200.0f}), [](auto& s) { s.channels[1].main = 0.0f; },
       "info [osc] strip 2 gain -200.0dB \u2192 0.000"},
      {"gain at -inf dB", message("/strip/gain", {1, -kInf}), [](auto& s) { s.channels[0].main = 0.0f; },
       "info [osc] strip 1 gain -infdB \u2192 0.000"},
      {"gain capped", message("/strip/gain", {1, 12.0f}), [](auto& s) { s.channels[0].main = 2.0f; },
       "info [osc] strip 1 gain 12.0dB \u2192 2.000"},
      {"gain, extra arguments", message("/strip/gain", {1, 0.0f, std::string("x")}),
       [](auto& s) { s.channels[0].main = 1.0f; }, "info [osc] strip 1 gain 0.0dB \u2192 1.000"},
      {"gain in dB as int32", message("/strip/gain", {1, -6}), {}, ""},
      {"gain, strip as float", message("/strip/gain", {1.0f, -6.0f}), {}, ""},
      {"gain without dB", message("/strip/gain", {1}), {}, ""},
      {"gain NaN", message("/strip/gain", {1, kNan}), {},
       "warning [osc] /strip/gain [i 1, f nan] ignored: the level is not a finite number"},
      {"fader unconverted", message("/strip/fader", {2, 0.25f}), [](auto& s) { s.channels[1].main = 0.25f; },
       "info [osc] strip 2 fader \u2192 0.250"},
      {"fader, strip 0 is the first", message("/strip/fader", {0, 0.3f}), [](auto& s) { s.channels[0].main = 0.3f; },
       "info [osc] strip 0 fader \u2192 0.300"},
      {"fader, negative strip", message("/strip/fader", {-1, 0.3f}), {}, ""},
      {"fader, strip beyond the channels", message("/strip/fader", {3, 0.3f}), {}, ""},
      {"fader infinite", message("/strip/fader", {1, kInf}), {},
       "warning [osc] /strip/fader [i 1, f inf] ignored: the level is not a finite number"},
      {"unmute", message("/strip/mute", {1, 0}), [](auto& s) { s.channels[0].main_muted = 0.0f; },
       "info [osc] strip 1 mute \u2192 false"},
      {"mute by any non-zero", message("/strip/mute", {2, 7}), [](auto& s) { s.channels[1].main_muted = 1.0f; },
       "info [osc] strip 2 mute \u2192 true"},
      {"mute, strip 3 of two", message("/strip/mute", {3, 1}), {}, ""},
      {"mute state as float", message("/strip/mute", {2, 1.0f}), {}, ""},
      {"master gain", message("/master/gain", {0.5f}), [](auto& s) { s.main_gain = 0.5f; },
       "info [osc] master fader \u2192 0.500"},
      {"master fader", message("/master/fader", {0.75f}), [](auto& s) { s.main_gain = 0.75f; },
       "info [osc] master fader \u2192 0.750"},
      {"master fader as int32", message("/master/fader", {1}), {}, ""},
      {"master fader NaN", message("/master/fader", {kNan}), {},
       "warning [osc] /master/fader [f nan] ignored: the level is not a finite number"},
      {"other address", message("/transport_play"), {}, "debug [osc] unhandled: /transport_play []"},
      {"other address, text made printable", message("/x\n", {1, std::string("a\"b\x01")}), {},
       "debug [osc] unhandled: /x\\x0a [i 1, s \"a\\x22b\\x01\"]"},
      {"no type tags at all", raw(std::string_view("/master/gain\0\0\0\0", 16)), {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    captured().clear();
    auto scene = live();
    apply_osc_packet(c.packet, *scene);
    engine::Scene expected = two_channels();
    if (c.change) c.change(expected);
    expect_scene_near(*scene->load(), expected);
    if (c.line.empty()) {
      EXPECT_THAT(osc_lines(), ElementsAre());
    } else {
      EXPECT_THAT(osc_lines(), ElementsAre(c.line));
    }
  }
}

TEST_F(OscFeedback, BundlesApplyEveryMessageInOrder) {
  auto scene = live();
  apply_osc_packet(bundle({message("/strip/fader", {1, 0.3f}), bundle({message("/strip/mute", {1, 0})}),
                           message("/strip/fader", {1, 0.6f}), bundle({})}),
                   *scene);
  engine::Scene expected = two_channels();
  expected.channels[0].main = 0.6f;
  expected.channels[0].main_muted = 0.0f;
  expect_scene_near(*scene->load(), expected);
  EXPECT_THAT(osc_lines(), ElementsAre("info [osc] strip 1 fader \u2192 0.300", "info [osc] strip 1 mute \u2192 false",
                                       "info [osc] strip 1 fader \u2192 0.600"));

  // As deep as bundles may go.
  apply_osc_packet(nested(kMaxBundleDepth, message("/master/gain", {0.25f})), *scene);
  EXPECT_EQ(scene->load()->main_gain, 0.25f);
}

TEST_F(OscFeedback, MalformedPacketsChangeNothing) {
  struct Case {
    const char* name;
    Bytes packet;
  };
  using std::string_view;
  const std::vector<Case> cases = {
      {"empty", {}},
      {"size not a multiple of four", raw(string_view("/a\0", 3))},
      {"unterminated address", raw("/abc")},
      {"address padded with other than zeros", raw(string_view("/a\0x,f\0\0", 8), {0})},
      {"type tags without a comma", raw(string_view("/a\0\0if\0\0", 8), {1, 0})},
      {"unterminated type tags", raw(string_view("/a\0\0,fff", 8))},
      {"float missing", raw(string_view("/a\0\0,f\0\0", 8))},
      {"int64 cut short", raw(string_view("/a\0\0,h\0\0", 8), {0})},
      {"string argument missing", raw(string_view("/a\0\0,s\0\0", 8))},
      {"string argument unterminated", raw(string_view("/a\0\0,s\0\0abcd", 12))},
      {"blob size missing", raw(string_view("/a\0\0,b\0\0", 8))},
      {"blob longer than the message", raw(string_view("/a\0\0,b\0\0", 8), {8, 0})},
      {"blob size near 4 GiB", raw(string_view("/a\0\0,b\0\0", 8), {0xfffffffd, 0})},
      {"blob then a cut argument", raw(string_view("/a\0\0,bi\0", 8), {4, 0})},
      {"unknown type tag", raw(string_view("/a\0\0,x\0\0", 8), {0})},
      {"array not closed", raw(string_view("/a\0\0,[i\0", 8), {0})},
      {"array closed before opened", raw(string_view("/a\0\0,]\0\0", 8))},
      {"bundle too short", raw(string_view("#bundle\0", 8), {0})},
      {"bad bundle header", raw(string_view("#bundlX\0", 8), {0, 1})},
      {"element longer than the bundle", raw(string_view("#bundle\0", 8), {0, 1, 64, 0, 0})},
      {"element size not a multiple of four", raw(string_view("#bundle\0", 8), {0, 1, 6, 0x2f610000, 0})},
      {"element size negative", raw(string_view("#bundle\0", 8), {0, 1, 0x80000000, 0})},
      {"empty element", raw(string_view("#bundle\0", 8), {0, 1, 0})},
      {"good message, then a broken one", bundle({message("/master/gain", {0.5f}), raw("/abc")})},
      {"broken message deep inside", nested(3, bundle({message("/master/gain", {0.5f}), raw("/abc")}))},
      {"nested too deeply", nested(kMaxBundleDepth + 1, message("/master/gain", {0.5f}))},
      {"nested far too deeply", nested(200, message("/master/gain", {0.5f}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto scene = live();
    EXPECT_THROW(apply_osc_packet(c.packet, *scene), Error);
    EXPECT_EQ(*scene->load(), two_channels());
  }
  EXPECT_THAT(osc_lines(), ElementsAre());
}

// Holds a packet flush against an unreadable page, so reading one byte past its end
// faults at once, whatever code does the reading.
class GuardedBytes {
 public:
  explicit GuardedBytes(std::size_t capacity) {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    usable_ = (capacity + page_ - 1) / page_ * page_;
    void* map = ::mmap(nullptr, usable_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) throw std::runtime_error("mmap");
    base_ = static_cast<std::uint8_t*>(map);
    if (::mprotect(base_ + usable_, page_, PROT_NONE) != 0) throw std::runtime_error("mprotect");
  }
  ~GuardedBytes() { ::munmap(base_, usable_ + page_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  std::span<const std::uint8_t> place(const Bytes& bytes) {
    std::uint8_t* start = base_ + usable_ - bytes.size();
    std::copy(bytes.begin(), bytes.end(), start);
    return {start, bytes.size()};
  }

 private:
  std::size_t page_ = 0;
  std::size_t usable_ = 0;
  std::uint8_t* base_ = nullptr;
};

TEST_F(OscFeedback, RandomAndMangledPacketsStayWithinTheirBytes) {
  log::get("vantle_mixer::midi").set_level(spdlog::level::off);
  const std::vector<Bytes> seeds = {
      message("/strip/gain", {1, -6.0f}),
      message("/strip/mute", {2, 1}),
      message("/x", {std::string("text"), 3, 0.5f}),
      raw(std::string_view("/b\0\0,bsi\0\0\0\0", 12), {5, 0x01020304, 0x05000000, 0x61620000, 7}),
      raw(std::string_view("/h\0\0,hdt[iTFNI]", 16), {1, 2, 3, 4, 5, 6, 7}),
      bundle({message("/strip/fader", {1, 0.3f}), bundle({message("/master/gain", {0.5f})})}),
      nested(kMaxBundleDepth, message("/strip/mute", {1, 0})),
  };
  GuardedBytes guarded(1024);
  std::mt19937 random(20240611);
  auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  auto scene = live();
  for (int round = 0; round < 40000; ++round) {
    Bytes packet;
    if (round % 4 == 0) {
      packet.resize(below(129));
      for (auto& b : packet) b = static_cast<std::uint8_t>(below(256));
      if (!packet.empty() && below(2) == 0) packet[0] = below(2) ? '#' : '/';
    } else {
      packet = seeds[below(seeds.size())];
      for (std::size_t edits = 1 + below(4); edits > 0; --edits) {
        switch (below(4)) {
          case 0:  // a byte changed
            packet[below(packet.size())] = static_cast<std::uint8_t>(below(256));
            break;
          case 1: {  // a length-like word written at an aligned place
            if (packet.size() < 4) break;
            const std::size_t at = below(packet.size() / 4) * 4;
            const std::uint32_t words[] = {0, 4, 8, 0x7ffffffc, 0x80000000, 0xfffffffc,
                                           static_cast<std::uint32_t>(packet.size() - at)};
            Bytes word;
            put_be32(word, words[below(std::size(words))]);
            std::copy(word.begin(), word.end(), packet.begin() + static_cast<std::ptrdiff_t>(at));
            break;
          }
          case 2:  // cut short
            packet.resize(below(packet.size()) + 1);
            break;
          default:  // a zero dropped into a string
            packet[below(packet.size())] = 0;
            break;
        }
        if (packet.empty()) break;
      }
    }
    try {
      apply_osc_packet(guarded.place(packet), *scene);
    } catch (const Error&) {
      // refused: fine
    }
  }
  EXPECT_EQ(scene->load()->channels.size(), 2u);
}

// ---- The feedback thread -------------------------------------------------------------

std::uint16_t free_port() {
  auto probe = net::UdpSocket::create();
  probe.bind(net::Endpoint::any(0));
  return probe.local_endpoint().port();
}

// Whether a socket without address reuse can take the port: only when no listener
// holds it any more.
bool port_released(std::uint16_t port) {
  try {
    auto probe = net::UdpSocket::create();
    probe.bind(net::Endpoint::any(port));
    return true;
  } catch (const Error&) {
    return false;
  }
}

void send_to_port(std::uint16_t port, const Bytes& bytes) {
  auto socket = net::UdpSocket::create();
  socket.send_to(bytes, net::Endpoint::loopback(port));
}

struct Owner {
  RunningFlag running = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<StopSignal> stop = std::make_shared<StopSignal>();
  Lifeline lifeline() const { return Lifeline(running, stop); }
};

TEST_F(OscFeedback, ListenerTakesOscsendAndBundlesAndSurvivesGarbage) {
  const std::uint16_t port = free_port();
  Owner owner;
  auto scene = live();
  start_osc_feedback(port, scene, owner.lifeline());
  EXPECT_THAT(captured().matching("listener"),
              ElementsAre("info osc feedback listener on udp://0.0.0.0:" + std::to_string(port)));

  const auto result = test::Process::run({{"oscsend", "127.0.0.1", std::to_string(port), "/strip/gain", "if", "1", "-6.0"}, {}, ""});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(eventually([&] { return std::fabs(scene->load()->channels[0].main - 0.501f) < 1e-3f; }));

  // Anything at all on the port: the listener logs and goes on.
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    Bytes junk(std::uniform_int_distribution<std::size_t>(0, 1500)(random));
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    send_to_port(port, junk);
  }
  send_to_port(port, nested(300, message("/master/gain", {0.1f})));  // cut at 1024 bytes as well
  send_to_port(port, raw(std::string_view("/a\0\0,b\0\0", 8), {0x7ffffff0}));
  // The burst may overflow the socket's queue; what is lost is lost, so send again.
  ASSERT_TRUE(eventually([&] {
    send_to_port(port, bundle({message("/strip/fader", {2, 0.25f}), message("/strip/mute", {2, 1})}));
    return scene->load()->channels[1].main_muted == 1.0f;
  }));
  EXPECT_EQ(scene->load()->channels[1].main, 0.25f);
  EXPECT_EQ(scene->load()->main_gain, 0.9f);
  EXPECT_FALSE(captured().matching("warning [osc] decode error: ").empty());

  owner.stop->request_stop();
  EXPECT_TRUE(eventually([&] { return port_released(port); }));
  EXPECT_THAT(captured().matching("exiting"), ElementsAre("info osc feedback loop exiting"));
}

TEST_F(OscFeedback, EachListenerEndsWithItsOwnerAndTheNextTakesThePort) {
  const std::uint16_t port = free_port();
  Owner first, second;
  auto first_scene = live();
  auto second_scene = live();

  // A reload: the first owner is dropped and the next starts at once, while the
  // first listener may still be waiting in its receive.
  start_osc_feedback(port, first_scene, first.lifeline());
  std::this_thread::sleep_for(100ms);  // the first listener is in its receive by now
  first.stop->request_stop();
  start_osc_feedback(port, second_scene, second.lifeline());
  EXPECT_THAT(captured().matching("bind failed"), ElementsAre());
  EXPECT_EQ(captured().matching("listener on").size(), 2u);
  ASSERT_TRUE(eventually([&] { return captured().matching("exiting").size() == 1; }));
  ASSERT_TRUE(eventually([&] {
    send_to_port(port, message("/master/gain", {0.25f}));
    return second_scene->load()->main_gain == 0.25f;
  }));
  EXPECT_FALSE(port_released(port));

  // The end of the process: the running flag.
  second.running->store(false);
  EXPECT_TRUE(eventually([&] { return port_released(port); }));
  EXPECT_EQ(captured().matching("exiting").size(), 2u);
}

TEST_F(OscFeedback, APortTakenElsewhereMeansNoListener) {
  auto holder = net::UdpSocket::create();
  holder.bind(net::Endpoint::any(0));
  const std::uint16_t port = holder.local_endpoint().port();
  Owner owner;
  start_osc_feedback(port, live(), owner.lifeline());
  EXPECT_THAT(captured().lines(),
              ElementsAre("warning osc feedback bind failed: Address already in use (os error 98)"));
}

}  // namespace
}  // namespace vantle::midi

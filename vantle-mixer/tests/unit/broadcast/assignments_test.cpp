#include "broadcast/assignments.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace vantle::broadcast {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What `body` wrote to the log.
template <class Body>
std::string logged(Body&& body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// --- behaviour both files share ----------------------------------------------------

// The two stores differ in what they hold and in their texts; the rules for reading
// and writing their files are the same.
template <class Store>
struct Traits;

template <>
struct Traits<RelayAssignments> {
  static constexpr const char* kMember = "assignments";
  static constexpr const char* kSteps[] = {"create assignments dir", "serialize assignments",
                                           "create tmp assignments file", "write tmp assignments file",
                                           "rename tmp \u2192 assignments file"};
  static constexpr const char* kWarnTail = " \u2014 starting with empty assignments\n";
  static std::string loaded_line(std::size_t n, const fs::path& path) {
    return "INFO  vantle_mixer::broadcast] loaded " + std::to_string(n) + " relay assignment(s) from " +
           path.string() + "\n";
  }
  static RelayAssignments make(const fs::path& path) { return RelayAssignments(path); }
  static void fill(RelayAssignments& store, const std::string& name) { store.put(name, Feed::kCue); }
  static bool holds(const RelayAssignments& store, const std::string& name) {
    return store.find(name) == Feed::kCue;
  }
  static std::string entry(const std::string& name) { return "\"" + name + "\": \"cue\""; }
};

template <>
struct Traits<SessionDelays> {
  static constexpr const char* kMember = "delays";
  static constexpr const char* kSteps[] = {"create session-delays dir", "serialize session delays",
                                           "create tmp session-delays file", "write tmp session-delays file",
                                           "rename tmp \u2192 session-delays file"};
  static constexpr const char* kWarnTail = "\n";
  static std::string loaded_line(std::size_t n, const fs::path& path) {
    return "INFO  vantle_mixer::broadcast] loaded " + std::to_string(n) + " session delay(s) from " +
           path.string() + "\n";
  }
  static SessionDelays make(const fs::path& path) { return SessionDelays(path, 48000); }
  static void fill(SessionDelays& store, const std::string& name) { store.set(name, 20.0f); }
  static bool holds(const SessionDelays& store, const std::string& name) { return store.delay_ms(name) == 20.0f; }
  static std::string entry(const std::string& name) { return "\"" + name + "\": 20"; }
};

template <class Store>
class StateFile : public testing::Test {
 protected:
  using T = Traits<Store>;
  test::TempDir dir_{"vantle-assignments"};
  fs::path path_ = dir_.path() / "state.json";

  // Loads `path` into a store that held a stale name before, so a load that keeps old
  // entries or half a file shows.
  std::pair<Store, std::string> load_over_stale(const fs::path& path) {
    Store store = T::make(path);
    T::fill(store, "stale");
    std::string log = logged([&] { store.load(); });
    return {std::move(store), std::move(log)};
  }
};

using Stores = testing::Types<RelayAssignments, SessionDelays>;
TYPED_TEST_SUITE(StateFile, Stores);

TYPED_TEST(StateFile, OddNamesSurviveASaveAndLoadIntoMissingDirectories) {
  using T = typename TestFixture::T;
  const fs::path path = this->dir_.path() / "not" / "yet" / "there.json";
  const std::vector<std::string> names = {"studio-a",
                                          "",
                                          "quote \" and back\\slash",
                                          "tab\tnew\nline\x01",
                                          "\xc3\xbcn\xc3\xaf \xf0\x9f\x8e\xa7",
                                          "{\"assignments\": {}}"};
  TypeParam saved = T::make(path);
  for (const auto& name : names) T::fill(saved, name);
  ASSERT_EQ(saved.save(), "");
  EXPECT_FALSE(fs::exists(path.string() + ".tmp"));

  TypeParam loaded = T::make(path);
  const std::string log = logged([&] { loaded.load(); });
  EXPECT_TRUE(ends_with(log, T::loaded_line(names.size(), path))) << log;
  EXPECT_EQ(loaded.size(), names.size());
  for (const auto& name : names) EXPECT_TRUE(T::holds(loaded, name)) << name;
}

TYPED_TEST(StateFile, MissingFileStartsEmptyWithoutALogLine) {
  using T = typename TestFixture::T;
  for (const fs::path& path : {this->path_, this->dir_.path() / "no-dir" / "state.json"}) {
    auto [store, log] = this->load_over_stale(path);
    EXPECT_EQ(log, "") << path;
    EXPECT_EQ(store.size(), 0u) << path;
    EXPECT_FALSE(T::holds(store, "stale"));
  }
}

TYPED_TEST(StateFile, UnreadableFileStartsEmptyWithAWarning) {
  using T = typename TestFixture::T;
  struct Case {
    const char* what;
    std::function<fs::path(const fs::path& dir)> make;
    const char* cause;
  };
  const std::vector<Case> cases = {
      {"a directory",
       [](const fs::path& dir) {
         fs::create_directory(dir / "state.json");
         return dir / "state.json";
       },
       "not a regular file"},
      // Opening a FIFO for reading would wait for a writer forever.
      {"a FIFO",
       [](const fs::path& dir) {
         EXPECT_EQ(::mkfifo((dir / "state.json").c_str(), 0600), 0);
         return dir / "state.json";
       },
       "not a regular file"},
      {"bytes that are not UTF-8",
       [](const fs::path& dir) {
         write_file(dir / "state.json", std::string("{\"") + T::kMember + "\": {\"\xff\": 1}}");
         return dir / "state.json";
       },
       "stream did not contain valid UTF-8"},
      {"a file far larger than any state file",
       [](const fs::path& dir) {
         write_file(dir / "state.json", "{}");
         fs::resize_file(dir / "state.json", 17u << 20);
         return dir / "state.json";
       },
       "too large: 17825792 bytes"},
      {"a path below a regular file",
       [](const fs::path& dir) {
         write_file(dir / "plain", "x");
         return dir / "plain" / "state.json";
       },
       "Not a directory (os error 20)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir{"vantle-assignments"};
    const fs::path path = c.make(dir.path());
    auto [store, log] = this->load_over_stale(path);
    EXPECT_NE(log.find("WARN  vantle_mixer::broadcast] read " + path.string() + ": " + c.cause), std::string::npos)
        << log;
    EXPECT_TRUE(ends_with(log, T::kWarnTail)) << log;
    EXPECT_EQ(store.size(), 0u);
  }
}

TYPED_TEST(StateFile, InvalidFileIsRejectedWhole) {
  using T = typename TestFixture::T;
  const std::string m = T::kMember;
  const std::string a = T::entry("a");
  struct Case {
    const char* what;
    std::string text;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {"a name given twice", "{\"" + m + "\": {" + a + ", " + a + "}}", "duplicate field `a`"},
      {"the member given twice", "{\"" + m + "\": {" + a + "}, \"" + m + "\": {" + a + "}}",
       "duplicate field `" + m + "`"},
      {"no member", "{\"other\": {" + a + "}}", "missing field `" + m + "`"},
      {"a top level that is not an object", "[{\"" + m + "\": {" + a + "}}]", "missing field `" + m + "`"},
      {"a member that is not an object", "{\"" + m + "\": [" + a.substr(0, 3) + "]}",
       "invalid type for `" + m + "`: expected an object, got an array"},
      {"a null member", "{\"" + m + "\": null}", "invalid type for `" + m + "`: expected an object, got null"},
      {"runaway nesting", "{\"x\": " + std::string(70, '[') + std::string(70, ']') + ", \"" + m + "\": {" + a + "}}",
       "nesting deeper than 64 levels"},
      {"text cut short", "{\"" + m + "\": {" + a + ", ", "syntax error"},
      {"text after the value", "{\"" + m + "\": {" + a + "}} {}", "syntax error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(this->path_, c.text);
    auto [store, log] = this->load_over_stale(this->path_);
    EXPECT_NE(log.find("WARN  vantle_mixer::broadcast] parse " + this->path_.string() + ": "), std::string::npos)
        << log;
    EXPECT_NE(log.find(c.cause), std::string::npos) << log;
    EXPECT_TRUE(ends_with(log, T::kWarnTail)) << log;
    EXPECT_EQ(store.size(), 0u);
  }
}

TYPED_TEST(StateFile, OtherMembersAreIgnored) {
  using T = typename TestFixture::T;
  write_file(this->path_, std::string("{\"version\": 2, \"") + T::kMember + "\": {" + T::entry("a") +
                              "}, \"notes\": [{\"a\": 1}]}");
  auto [store, log] = this->load_over_stale(this->path_);
  EXPECT_TRUE(ends_with(log, T::loaded_line(1, this->path_))) << log;
  EXPECT_EQ(store.size(), 1u);
  EXPECT_TRUE(T::holds(store, "a"));
}

TYPED_TEST(StateFile, FailedSaveNamesItsStepAndTheNextSaveWritesEverything) {
  using T = typename TestFixture::T;
  struct Case {
    const char* what;
    fs::path path;
    std::function<void()> block, unblock;
    const char* step;
  };
  const fs::path& dir = this->dir_.path();
  const fs::path blocked_dir = dir / "plain" / "sub" / "state.json";
  const fs::path target = dir / "state.json";
  const fs::path tmp = dir / "state.json.tmp";
  const std::vector<Case> cases = {
      {"a regular file where a directory must be", blocked_dir, [&] { write_file(dir / "plain", "x"); },
       [&] { fs::remove(dir / "plain"); }, T::kSteps[0]},
      {"a directory in place of the temporary file", target, [&] { fs::create_directory(tmp); },
       [&] { fs::remove(tmp); }, T::kSteps[2]},
      {"a temporary file that cannot take the bytes", target, [&] { fs::create_symlink("/dev/full", tmp); },
       [&] { fs::remove(tmp); }, T::kSteps[3]},
      {"a directory in place of the file", target,
       [&] {
         fs::remove(target);
         fs::create_directory(target);
       },
       [&] { fs::remove(target); }, T::kSteps[4]},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TypeParam store = T::make(c.path);
    T::fill(store, "a");
    c.block();
    const std::string failed = store.save();
    EXPECT_EQ(failed.rfind(std::string(c.step) + ": ", 0), 0u) << failed;
    EXPECT_TRUE(T::holds(store, "a"));

    c.unblock();
    T::fill(store, "b");
    ASSERT_EQ(store.save(), "");
    TypeParam reloaded = T::make(c.path);
    logged([&] { reloaded.load(); });
    EXPECT_TRUE(T::holds(reloaded, "a"));
    EXPECT_TRUE(T::holds(reloaded, "b"));
  }
}

TYPED_TEST(StateFile, NameThatIsNotUtf8FailsToSerializeAndLeavesTheFile) {
  using T = typename TestFixture::T;
  TypeParam store = T::make(this->path_);
  T::fill(store, "a");
  ASSERT_EQ(store.save(), "");
  const std::string before = read_file(this->path_);
  T::fill(store, "bad \xff name");
  const std::string failed = store.save();
  EXPECT_EQ(failed.rfind(std::string(T::kSteps[1]) + ": ", 0), 0u) << failed;
  EXPECT_EQ(read_file(this->path_), before);
}

// --- written text ------------------------------------------------------------------

TEST(StateFileText, OneEntryAndAnEmptyMap) {
  test::TempDir dir{"vantle-assignments"};
  const fs::path path = dir.path() / "state.json";
  struct Case {
    const char* what;
    std::function<std::string()> save;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"no assignment", [&] { return RelayAssignments(path).save(); }, "{\n  \"assignments\": {}\n}"},
      {"one assignment",
       [&] {
         RelayAssignments a(path);
         a.put("studio-a", Feed::kMonitor);
         return a.save();
       },
       "{\n  \"assignments\": {\n    \"studio-a\": \"monitor\"\n  }\n}"},
      {"no delay", [&] { return SessionDelays(path, 48000).save(); }, "{\n  \"delays\": {}\n}"},
      // 10.01 ms is 480.48 samples at 48 kHz; the line holds 480, and that is what is kept.
      {"one delay",
       [&] {
         SessionDelays d(path, 48000);
         d.set("studio-a", 10.01f);
         return d.save();
       },
       "{\n  \"delays\": {\n    \"studio-a\": 10.0\n  }\n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.save(), "");
    EXPECT_EQ(read_file(path), c.text);
  }
}

// --- assignments -------------------------------------------------------------------

TEST(RelayAssignments, PutReportsThePreviousFeed) {
  RelayAssignments a("unused.json");
  EXPECT_EQ(a.put("r", Feed::kCue), std::nullopt);
  EXPECT_EQ(a.put("r", Feed::kOff), Feed::kCue);
  EXPECT_EQ(a.find("r"), Feed::kOff);
  EXPECT_EQ(a.find("other"), std::nullopt);
}

TEST(RelayAssignments, EveryFeedLoadsAndAnyOtherValueRejectsTheFile) {
  test::TempDir dir{"vantle-assignments"};
  const fs::path path = dir.path() / "relay-assignments.json";
  write_file(path, R"({"assignments": {"m": "main", "n": "monitor", "c": "cue", "o": "off"}})");
  RelayAssignments good(path);
  logged([&] { good.load(); });
  EXPECT_EQ(good.find("m"), Feed::kMain);
  EXPECT_EQ(good.find("n"), Feed::kMonitor);
  EXPECT_EQ(good.find("c"), Feed::kCue);
  EXPECT_EQ(good.find("o"), Feed::kOff);

  struct Case {
    const char* value;
    const char* cause;
  };
  const std::vector<Case> cases = {
      {"\"bass\"", "invalid value for `b`: \"bass\" is not a feed"},
      {"\"Main\"", "invalid value for `b`: \"Main\" is not a feed"},
      {"\"\"", "invalid value for `b`: \"\" is not a feed"},
      {"0", "invalid type for `b`: expected a string, got 0"},
      {"null", "invalid type for `b`: expected a string, got null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    write_file(path, std::string(R"({"assignments": {"a": "cue", "b": )") + c.value + "}}");
    RelayAssignments a(path);
    const std::string log = logged([&] { a.load(); });
    EXPECT_NE(log.find("parse " + path.string() + ": " + c.cause), std::string::npos) << log;
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.find("a"), std::nullopt);
  }
}

// --- session delays ----------------------------------------------------------------

constexpr std::size_t kBlock = 256;

// Feeds frames t = first .. first + frames - 1 as a ramp (left t, right -t) through
// the name's line in blocks and returns the left and right outputs.
struct Streamed {
  std::vector<float> left, right;
  bool applied = true;
};
Streamed stream_ramp(SessionDelays& delays, const std::string& name, std::size_t first, std::size_t frames) {
  Streamed out;
  std::vector<float> l(kBlock), r(kBlock);
  for (std::size_t done = 0; done < frames; done += kBlock) {
    const std::size_t n = std::min(kBlock, frames - done);
    for (std::size_t i = 0; i < n; ++i) {
      l[i] = static_cast<float>(first + done + i);
      r[i] = -l[i];
    }
    out.applied = delays.apply(name, l.data(), r.data(), n) && out.applied;
    out.left.insert(out.left.end(), l.begin(), l.begin() + static_cast<std::ptrdiff_t>(n));
    out.right.insert(out.right.end(), r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

TEST(SessionDelays, DelayInSamplesByRateAndMilliseconds) {
  struct Case {
    std::uint32_t rate;
    float ms;
    std::size_t samples;
  };
  const std::vector<Case> cases = {
      {48000, 500.0f, 24000},   {96000, 500.0f, 48000},  {44100, 10.0f, 441},
      {48000, 10.01f, 480},
      {48000, 0.03125f, 2},     {8000, 0.0625f, 1},  // 1.5 and 0.5 samples: halves round up
      {48000, 1000.0f, 32767},  {96000, 1000.0f, 65535},  // the longest a 500 ms line holds
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.ms) + " ms");
    SessionDelays delays("unused.json", c.rate);
    ASSERT_TRUE(delays.set("r", c.ms));
    EXPECT_FLOAT_EQ(*delays.delay_ms("r"), static_cast<float>(c.samples * 1000.0 / c.rate));

    // An impulse at frame 0 comes out exactly `samples` frames later, on both sides.
    std::vector<float> l(c.samples + kBlock, 0.0f), r(c.samples + kBlock, 0.0f);
    l[0] = 1.0f;
    r[0] = -0.5f;
    for (std::size_t at = 0; at < l.size(); at += kBlock) {
      ASSERT_TRUE(delays.apply("r", l.data() + at, r.data() + at, std::min(kBlock, l.size() - at)));
    }
    std::vector<float> expected_l(l.size(), 0.0f), expected_r(r.size(), 0.0f);
    expected_l[c.samples] = 1.0f;
    expected_r[c.samples] = -0.5f;
    EXPECT_EQ(l, expected_l);
    EXPECT_EQ(r, expected_r);
  }
}

TEST(SessionDelays, NoDelayLeavesTheBlockAlone) {
  SessionDelays delays("unused.json", 48000);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float ms : {0.0f, 0.01f, -5.0f, nan, -std::numeric_limits<float>::infinity()}) {
    SCOPED_TRACE(ms);
    ASSERT_TRUE(delays.set("r", ms));
    EXPECT_EQ(delays.delay_ms("r"), 0.0f);
    const Streamed out = stream_ramp(delays, "r", 1, 300);
    EXPECT_FALSE(out.applied);
    EXPECT_EQ(out.left.front(), 1.0f);
    EXPECT_EQ(out.left.back(), 300.0f);
  }
  std::vector<float> l(4, 1.0f), r(4, 1.0f);
  EXPECT_FALSE(delays.apply("unknown", l.data(), r.data(), l.size()));
  EXPECT_EQ(delays.delay_ms("unknown"), std::nullopt);
}

// A line keeps its content when the delay changes: raising it replays the audio it
// already played, lowering it jumps ahead.
TEST(SessionDelays, ChangingTheDelayWhileStreamingKeepsTheLine) {
  struct Case {
    float from_ms, to_ms;
  };
  for (const auto& c : {Case{50.0f, 100.0f}, Case{100.0f, 50.0f}}) {
    SCOPED_TRACE(std::to_string(c.from_ms) + " -> " + std::to_string(c.to_ms) + " ms");
    SessionDelays delays("unused.json", 48000);
    const std::size_t from = static_cast<std::size_t>(c.from_ms * 48);
    const std::size_t to = static_cast<std::size_t>(c.to_ms * 48);
    const std::size_t change = 40 * kBlock;
    ASSERT_TRUE(delays.set("r", c.from_ms));
    Streamed out = stream_ramp(delays, "r", 0, change);
    ASSERT_TRUE(delays.set("r", c.to_ms));
    const Streamed after = stream_ramp(delays, "r", change, 40 * kBlock);
    ASSERT_TRUE(out.applied && after.applied);
    out.left.insert(out.left.end(), after.left.begin(), after.left.end());
    out.right.insert(out.right.end(), after.right.begin(), after.right.end());

    std::size_t wrong = 0;
    for (std::size_t t = 0; t < out.left.size(); ++t) {
      const std::size_t delay = t < change ? from : to;
      const float expected = t >= delay ? static_cast<float>(t - delay) : 0.0f;
      if (out.left[t] != expected || out.right[t] != -expected) {
        if (wrong++ == 0) ADD_FAILURE() << "frame " << t << ": " << out.left[t] << ", expected " << expected;
      }
    }
    EXPECT_EQ(wrong, 0u);
    // 50 ms of audio heard twice, or never.
    EXPECT_EQ(out.left[change] - out.left[change - 1], 1.0f - static_cast<float>(to) + static_cast<float>(from));
  }
}

TEST(SessionDelays, SavedAtOneRateAndLoadedAtAnotherKeepsEachDelayWithinASample) {
  test::TempDir dir{"vantle-assignments"};
  const fs::path path = dir.path() / "session-delays.json";
  const std::vector<float> delays_ms = {0.5f, 1.0f, 10.01f, 33.3f, 123.456f, 250.0f, 499.99f};
  struct Case {
    std::uint32_t saved_at, loaded_at;
  };
  for (const auto& c : {Case{48000, 44100}, Case{44100, 96000}, Case{96000, 48000}}) {
    SCOPED_TRACE(std::to_string(c.saved_at) + " -> " + std::to_string(c.loaded_at));
    SessionDelays saved(path, c.saved_at);
    for (std::size_t i = 0; i < delays_ms.size(); ++i) saved.set("r" + std::to_string(i), delays_ms[i]);
    ASSERT_EQ(saved.save(), "");
    SessionDelays loaded(path, c.loaded_at);
    logged([&] { loaded.load(); });
    ASSERT_EQ(loaded.size(), delays_ms.size());
    const double one_sample_ms = 1000.0 / c.loaded_at;
    for (std::size_t i = 0; i < delays_ms.size(); ++i) {
      const std::string name = "r" + std::to_string(i);
      EXPECT_NEAR(*loaded.delay_ms(name), *saved.delay_ms(name), one_sample_ms * 1.0001) << name;
    }
  }
}

TEST(SessionDelays, NumbersInTheFile) {
  test::TempDir dir{"vantle-assignments"};
  const fs::path path = dir.path() / "session-delays.json";
  struct Case {
    const char* value;
    std::size_t samples;  // at 48 kHz, in a line of 32768
  };
  const std::vector<Case> accepted = {
      {"20", 960},     {"10.01", 480},  {"-5", 0},         {"0", 0},
      {"700", 32767},  // longer than the line holds
      {"3.4028235e38", 32767},
      {"1e39", 32767},  // past the float range: as long as the line allows
      {"-1e39", 0},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.value);
    write_file(path, std::string(R"({"delays": {"r": )") + c.value + "}}");
    SessionDelays delays(path, 48000);
    logged([&] { delays.load(); });
    ASSERT_EQ(delays.size(), 1u);
    const float ms = static_cast<float>(c.samples * 1000.0 / 48000.0);
    EXPECT_EQ(delays.delay_ms("r"), ms);
    // What it writes back loads again as the same delay.
    ASSERT_EQ(delays.save(), "");
    SessionDelays again(path, 48000);
    logged([&] { again.load(); });
    EXPECT_EQ(again.delay_ms("r"), ms);
  }

  struct Rejected {
    const char* value;
    const char* cause;
  };
  const std::vector<Rejected> rejected = {
      {"null", "invalid type for `b`: expected a number, got null"},
      {"\"20\"", "invalid type for `b`: expected a number, got \"20\""},
      {"true", "invalid type for `b`: expected a number, got true"},
      {"[20]", "invalid type for `b`: expected a number, got an array"},
      {"1e400", "number overflow"},
  };
  for (const auto& c : rejected) {
    SCOPED_TRACE(c.value);
    write_file(path, std::string(R"({"delays": {"a": 20, "b": )") + c.value + "}}");
    SessionDelays delays(path, 48000);
    const std::string log = logged([&] { delays.load(); });
    EXPECT_NE(log.find("WARN  vantle_mixer::broadcast] parse " + path.string() + ": "), std::string::npos) << log;
    EXPECT_NE(log.find(c.cause), std::string::npos) << log;
    EXPECT_EQ(delays.size(), 0u);
  }
}

// Every name holds half a second of audio, so a file or a flood of commands naming
// endless relays must not take all memory.
TEST(SessionDelays, NamesAreCapped) {
  test::TempDir dir{"vantle-assignments"};
  const fs::path path = dir.path() / "session-delays.json";
  constexpr std::size_t kMax = SessionDelays::kMaxNames;
  SessionDelays delays(path, 8000);
  for (std::size_t i = 0; i < kMax; ++i) ASSERT_TRUE(delays.set("r" + std::to_string(i), 10.0f)) << i;
  bool refused = true;
  const std::string log = logged([&] { refused = !delays.set("one-too-many", 10.0f); });
  EXPECT_TRUE(refused);
  EXPECT_NE(log.find("WARN  vantle_mixer::broadcast] session delay for one-too-many refused"), std::string::npos)
      << log;
  EXPECT_EQ(delays.size(), kMax);
  EXPECT_EQ(delays.delay_ms("one-too-many"), std::nullopt);
  // Names that have a line can still change.
  EXPECT_TRUE(delays.set("r0", 20.0f));
  EXPECT_EQ(delays.delay_ms("r0"), 20.0f);

  ASSERT_EQ(delays.save(), "");
  SessionDelays full(path, 8000);
  logged([&] { full.load(); });
  EXPECT_EQ(full.size(), kMax);

  std::string text = R"({"delays": {"extra": 1)";
  for (std::size_t i = 0; i < kMax; ++i) text += ", \"r" + std::to_string(i) + "\": 10";
  write_file(path, text + "}}");
  SessionDelays over(path, 8000);
  const std::string over_log = logged([&] { over.load(); });
  EXPECT_NE(over_log.find("parse " + path.string() + ": more than " + std::to_string(kMax) + " session delays"),
            std::string::npos)
      << over_log;
  EXPECT_EQ(over.size(), 0u);
}

}  // namespace
}  // namespace vantle::broadcast

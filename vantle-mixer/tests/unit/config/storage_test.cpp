#include "config/storage.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_json.hpp"
#include "support/temp_dir.hpp"
#include "util/error.hpp"

namespace vantle::config {
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

// The error's context chain, outermost first; empty when nothing was thrown.
template <class Body>
std::vector<std::string> error_chain(Body&& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.chain();
  }
  return {};
}

const char* const kLegacyToml =
    "\xEF\xBB\xBF# desk in studio B\n"
    "jack_name = \"studio-b\"\n"
    "ramp_ms = 40\n"
    "\n"
    "[[channels]]\n"
    "id = \"mic\"\n"
    "kind = \"mono\"\n"
    "main_gain = 0.8\n"
    "ingest_slot = 1\n"
    "\n"
    "[ingest]\n"
    "slot_count = 2\n";

Config legacy_config() {
  Config c;
  c.jack_name = "studio-b";
  c.ramp_ms = 40;
  c.channels = {{"mic", "", ChannelKind::kMono, 0.8f, false, 0.0f, 0.0f, 0.0f, 1}};
  c.ingest.slot_count = 2;
  return c;
}

struct Resolution {
  ResolvedConfig resolved;
  std::string log;
};

Resolution resolve_logged(const fs::path& state_dir, const fs::path& legacy) {
  testing::internal::CaptureStderr();
  try {
    ResolvedConfig resolved = resolve_config(state_dir, legacy);
    return {std::move(resolved), testing::internal::GetCapturedStderr()};
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
}

class StorageResolve : public testing::Test {
 protected:
  test::TempDir dir_;
  fs::path state_ = dir_.path() / "home" / "mixer-state";
  fs::path runtime_ = state_ / "runtime-config.json";
  fs::path legacy_ = dir_.path() / "etc" / "mixer.toml";

  void SetUp() override { fs::create_directories(legacy_.parent_path()); }
};

TEST_F(StorageResolve, WithoutFilesRunsOnTheDefaultAndWritesNothing) {
  const Resolution r = resolve_logged(state_, legacy_);
  EXPECT_EQ(r.resolved.source, "default");
  EXPECT_EQ(r.resolved.config, Config{});
  EXPECT_EQ(r.log, "");
  EXPECT_FALSE(fs::exists(state_));
}

TEST_F(StorageResolve, MigratesTheLegacyFileOnceThenReadsTheRuntimeFile) {
  write_file(legacy_, kLegacyToml);

  const Resolution first = resolve_logged(state_, legacy_);
  EXPECT_EQ(first.resolved.source, "toml");
  EXPECT_EQ(first.resolved.config, legacy_config());
  EXPECT_TRUE(fs::is_directory(state_));
  EXPECT_EQ(read_file(runtime_), config_to_json_text(legacy_config()));
  EXPECT_FALSE(fs::exists(state_ / "runtime-config.json.tmp"));
  EXPECT_NE(first.log.find("] migrating TOML config to JSON: " + legacy_.string() + "\n"), std::string::npos)
      << first.log;
  EXPECT_NE(first.log.find("vantle_mixer::config] saved migrated config to " + runtime_.string() + "\n"),
            std::string::npos)
      << first.log;
  // The legacy file is only ever read.
  EXPECT_EQ(read_file(legacy_), kLegacyToml);

  const Resolution second = resolve_logged(state_, legacy_);
  EXPECT_EQ(second.resolved.source, "json");
  EXPECT_EQ(second.resolved.config, legacy_config());
  EXPECT_EQ(second.log, "");
}

TEST_F(StorageResolve, RuntimeFileWinsOverADifferentLegacyFile) {
  fs::create_directories(state_);
  Config stored;
  stored.jack_name = "from-runtime";
  write_file(runtime_, config_to_json_text(stored));
  write_file(legacy_, kLegacyToml);

  const Resolution r = resolve_logged(state_, legacy_);
  EXPECT_EQ(r.resolved.source, "json");
  EXPECT_EQ(r.resolved.config, stored);
  EXPECT_EQ(r.log, "");
}

TEST_F(StorageResolve, RuntimeFileIsFollowedThroughASymbolicLink) {
  fs::create_directories(state_);
  Config stored;
  stored.ramp_ms = 5;
  write_file(dir_.path() / "elsewhere.json", config_to_json_text(stored));
  fs::create_symlink(dir_.path() / "elsewhere.json", runtime_);
  EXPECT_EQ(resolve_config(state_, legacy_).config, stored);

  // A link to nothing is no runtime file.
  fs::remove(dir_.path() / "elsewhere.json");
  EXPECT_EQ(resolve_config(state_, legacy_).source, "default");
}

// A runtime file that exists but cannot be used is an error, never a reason to
// fall back on the legacy file (that would silently undo every reload since).
TEST_F(StorageResolve, BrokenRuntimeFileFailsWithoutFallingBack) {
  struct Case {
    const char* name;
    std::string content;
    std::string outer_context;
  };
  const std::string reading = "reading " + runtime_.string();
  const Case cases[] = {
      {"empty", "", "parsing JSON config"},
      {"byte-order mark", "\xEF\xBB\xBF{\"channels\": []}", "parsing JSON config"},
      {"not UTF-8", "{\"channels\": [], \"jack_name\": \"\xFF\"}", reading},
      {"missing channels", "{\"jack_name\": \"x\"}", "parsing JSON config"},
  };
  fs::create_directories(state_);
  write_file(legacy_, kLegacyToml);
  for (const auto& tc : cases) {
    write_file(runtime_, tc.content);
    const auto chain = error_chain([&] { resolve_config(state_, legacy_); });
    ASSERT_EQ(chain.size(), 2u) << tc.name;
    EXPECT_EQ(chain[0], tc.outer_context) << tc.name;
    EXPECT_EQ(read_file(runtime_), tc.content) << tc.name;
  }
  EXPECT_EQ(error_chain([&] { resolve_config(state_, legacy_); }).at(1), "missing field `channels`");

  fs::remove(runtime_);
  fs::create_directory(runtime_);
  EXPECT_EQ(error_chain([&] { resolve_config(state_, legacy_); }).at(0), reading);
}

TEST_F(StorageResolve, ValidationFailureIsReturnedWithoutContext) {
  fs::create_directories(state_);
  write_file(runtime_, R"({"channels": [{"id": "a"}, {"id": "a"}]})");
  EXPECT_EQ(error_chain([&] { resolve_config(state_, legacy_); }),
            std::vector<std::string>{"duplicate channel id: a"});
}

TEST_F(StorageResolve, InvalidLegacyFileLeavesNothingBehind) {
  write_file(legacy_, "[[channels]]\nid = \"mic\"\n[[channels]]\nid = \"mic\"\n");
  std::vector<std::string> chain;
  testing::internal::CaptureStderr();
  chain = error_chain([&] { resolve_config(state_, legacy_); });
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(chain, std::vector<std::string>{"duplicate channel id: mic"});
  EXPECT_FALSE(fs::exists(state_));
  EXPECT_EQ(log.find("saved migrated config"), std::string::npos) << log;
}

TEST_F(StorageResolve, LegacyFileErrorsCarryTheirStep) {
  struct Case {
    const char* name;
    std::string content;
    std::vector<std::string> chain;
  };
  const Case cases[] = {
      {"missing channels", "jack_name = \"x\"\n", {"parsing TOML config", "missing field `channels`"}},
      {"wrong type", "channels = 5\n",
       {"parsing TOML config", "invalid type for `channels`: expected an array, got 5"}},
  };
  for (const auto& tc : cases) {
    write_file(legacy_, tc.content);
    testing::internal::CaptureStderr();
    EXPECT_EQ(error_chain([&] { resolve_config(state_, legacy_); }), tc.chain) << tc.name;
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(state_)) << tc.name;
  }

  write_file(legacy_, "channels = [\n");
  testing::internal::CaptureStderr();
  auto chain = error_chain([&] { resolve_config(state_, legacy_); });
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], "parsing TOML config");

  write_file(legacy_, "channels = []\nx = \"\xC0\xAF\"\n");
  testing::internal::CaptureStderr();
  chain = error_chain([&] { resolve_config(state_, legacy_); });
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(chain.at(0), "reading " + legacy_.string());
}

TEST_F(StorageResolve, StateDirectoryThatCannotBeCreatedIsAnError) {
  write_file(legacy_, kLegacyToml);
  write_file(dir_.path() / "plain", "not a directory");
  const fs::path state = dir_.path() / "plain" / "mixer-state";
  testing::internal::CaptureStderr();
  const auto chain = error_chain([&] { resolve_config(state, legacy_); });
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], "creating " + state.string());
}

class StorageSave : public testing::Test {
 protected:
  test::TempDir dir_;
  fs::path target_ = dir_.path() / "runtime-config.json";
  fs::path tmp_ = dir_.path() / "runtime-config.json.tmp";
};

TEST_F(StorageSave, WritesTheExactTextAndLeavesNoTemporaryFile) {
  const Config empty;
  save_config(empty, target_);
  const std::string text = read_file(target_);
  EXPECT_EQ(text, config_to_json_text(empty));
  EXPECT_EQ(text.back(), '}');
  EXPECT_NE(text.find("\"channels\": []"), std::string::npos);
  EXPECT_EQ(config_from_json_text(text), empty);
  EXPECT_FALSE(fs::exists(tmp_));

  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat info {};
  ASSERT_EQ(::stat(target_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(StorageSave, ReplacesThePreviousFileAndReusesAStaleTemporaryFile) {
  Config first;
  first.jack_name = "first";
  save_config(first, target_);
  write_file(tmp_, std::string(100000, 'x'));

  Config second;
  second.channels.resize(1);
  second.channels[0].id = "mic";
  save_config(second, target_);
  EXPECT_EQ(read_file(target_), config_to_json_text(second));
  EXPECT_FALSE(fs::exists(tmp_));
}

TEST_F(StorageSave, FailuresNameTheirStepAndKeepThePreviousFile) {
  write_file(dir_.path() / "plain", "x");
  struct Case {
    const char* name;
    fs::path target;
    std::string context;
  };
  const Case cases[] = {
      {"missing directory", dir_.path() / "missing" / "runtime-config.json",
       "writing " + (dir_.path() / "missing" / "runtime-config.json.tmp").string()},
      {"path through a regular file", dir_.path() / "plain" / "x.json",
       "writing " + (dir_.path() / "plain" / "x.json.tmp").string()},
  };
  for (const auto& tc : cases) {
    const auto chain = error_chain([&] { save_config(Config{}, tc.target); });
    ASSERT_EQ(chain.size(), 2u) << tc.name;
    EXPECT_EQ(chain[0], tc.context) << tc.name;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "missing"));

  // The temporary file cannot be written: the previous file stays as it was.
  save_config(Config{}, target_);
  const std::string previous = read_file(target_);
  fs::create_directory(tmp_);
  Config changed;
  changed.jack_name = "changed";
  EXPECT_EQ(error_chain([&] { save_config(changed, target_); }).at(0), "writing " + tmp_.string());
  EXPECT_EQ(read_file(target_), previous);
}

TEST_F(StorageSave, FailedRenameLeavesTheTemporaryFileBehind) {
  fs::create_directory(target_);
  write_file(target_ / "keep", "x");
  const auto chain = error_chain([&] { save_config(Config{}, target_); });
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], "renaming " + tmp_.string() + " to " + target_.string());
  EXPECT_EQ(read_file(tmp_), config_to_json_text(Config{}));
}

}  // namespace
}  // namespace vantle::config

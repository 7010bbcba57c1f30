// The command line, the environment fall-backs, the overrides and the start-up
// reports, observed by running the binary. Without a JACK server the start-up goes
// as far as the "bootstrapping JACK client" failure, after the configuration line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "e2e/mixer_fixture.hpp"

namespace vantle::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

ProcessResult run_without_jack(ProcessOptions options) {
  use_jack(options, nullptr);
  return Process::run(std::move(options), std::chrono::seconds(20));
}

std::string config_line(const ProcessResult& result) {
  for (const auto& message : log_messages(result.err)) {
    if (message.rfind("config (", 0) == 0) return message;
  }
  return "";
}

TEST(CommandLine, HelpAndVersionPrintToStdoutAndSucceed) {
  TempDir home;
  auto help = Process::run(mixer_options(home.path(), {"--help"}));
  EXPECT_EQ(help.status, 0);
  for (const char* text : {"State directory for runtime config and state files",
                           "Path to legacy TOML config file (for migration)",
                           "Start with empty config (first-boot mode). Ignores existing configs",
                           "Override the JACK client name", "Override the UDP control port (default 19997)",
                           "Override the control bind address (default 127.0.0.1)",
                           "Override the UDP broadcast port (default 5005)", "STATE_DIR", "BROADCAST_PORT"}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
  auto version = Process::run(mixer_options(home.path(), {"--version"}));
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, HasSubstr("0.1.0"));
  EXPECT_EQ(Process::run(mixer_options(home.path(), {"-V"})).status, 0);
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  std::map<std::string, std::optional<std::string>> env;
};

class UsageErrors : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrors, ExitWithStatusTwoBeforeReadingAnyConfig) {
  TempDir home;
  auto options = mixer_options(home.path(), GetParam().args);
  for (const auto& [k, v] : GetParam().env) options.env[k] = v;
  // A broken runtime file would be a status 1 if it were read.
  write_file(home.path() / "mixer-state" / "runtime-config.json", "{ broken");
  auto result = run_without_jack(std::move(options));
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_THAT(result.err, Not(HasSubstr("resolving config")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsageErrors,
    ::testing::Values(UsageCase{"unknown_option", {"--bogus"}, {}},
                      UsageCase{"missing_value", {"--jack-name"}, {}},
                      UsageCase{"positional", {"extra"}, {}},
                      UsageCase{"control_port_too_big", {"--control-port", "70000"}, {}},
                      UsageCase{"control_port_negative", {"--control-port", "-1"}, {}},
                      UsageCase{"broadcast_port_not_number", {"--broadcast-port", "abc"}, {}},
                      UsageCase{"control_port_env_too_big", {}, {{"CONTROL_PORT", "70000"}}},
                      UsageCase{"broadcast_port_env_fraction", {}, {{"BROADCAST_PORT", "5005.5"}}},
                      UsageCase{"no_config_yes", {}, {{"NO_CONFIG", "yes"}}},
                      UsageCase{"no_config_one", {}, {{"NO_CONFIG", "1"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLine, NoConfigStartsFromDefaultsAndReadsNothing) {
  TempDir home;
  write_file(home.path() / "mixer-state" / "runtime-config.json", "{ broken");
  for (auto setup : {std::vector<std::string>{"--no-config"}, std::vector<std::string>{}}) {
    auto options = mixer_options(home.path(), setup);
    if (setup.empty()) options.env["NO_CONFIG"] = "true";
    auto result = run_without_jack(std::move(options));
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("--no-config: starting with empty config (first-boot mode)"));
    EXPECT_EQ(config_line(result),
              "config (default): 0 channels, jack_name=vantle-mixer, control=127.0.0.1:19997, broadcast_port=5005");
  }
  // NO_CONFIG=false reads the (broken) runtime file.
  auto options = mixer_options(home.path());
  options.env["NO_CONFIG"] = "false";
  auto result = run_without_jack(std::move(options));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("Error: resolving config"));
}

TEST(CommandLine, OverridesFromOptionsAndEnvironment) {
  TempDir home;
  auto options = mixer_options(home.path(), {"--no-config", "--jack-name", "studio", "--control-port", "0"});
  options.env["CONTROL_BIND"] = "0.0.0.0";
  options.env["BROADCAST_PORT"] = "6006";
  options.env["CONTROL_PORT"] = "1234";  // the option wins
  auto result = run_without_jack(std::move(options));
  EXPECT_EQ(config_line(result),
            "config (default): 0 channels, jack_name=studio, control=0.0.0.0:0, broadcast_port=6006");
}

TEST(CommandLine, StateDirectoryFromHomeOptionOrVariable) {
  TempDir home;
  const std::string stored = R"({"jack_name": "from-home", "channels": [{"id": "a"}]})";
  write_file(home.path() / "mixer-state" / "runtime-config.json", stored);
  write_file(home.path() / "other" / "runtime-config.json",
             R"({"jack_name": "from-other", "channels": [{"id": "a"}, {"id": "b"}]})");

  auto by_default = run_without_jack(mixer_options(home.path()));
  EXPECT_THAT(config_line(by_default), HasSubstr("config (json): 1 channels, jack_name=from-home"));

  auto by_variable = mixer_options(home.path());
  by_variable.env["STATE_DIR"] = (home.path() / "other").string();
  EXPECT_THAT(config_line(run_without_jack(std::move(by_variable))), HasSubstr("jack_name=from-other"));

  auto option_wins = mixer_options(home.path(), {"--state-dir", (home.path() / "mixer-state").string()});
  option_wins.env["STATE_DIR"] = (home.path() / "other").string();
  EXPECT_THAT(config_line(run_without_jack(std::move(option_wins))), HasSubstr("jack_name=from-home"));
}

TEST(CommandLine, WithoutHomeTheTildePathsStayRelative) {
  TempDir cwd;
  write_file(cwd.path() / "~" / "mixer-state" / "runtime-config.json",
             R"({"jack_name": "literal-tilde", "channels": []})");
  auto options = mixer_options(cwd.path());
  options.env["HOME"] = std::nullopt;
  options.cwd = cwd.path().string();
  auto result = run_without_jack(std::move(options));
  EXPECT_THAT(config_line(result), HasSubstr("jack_name=literal-tilde"));
}

TEST(CommandLine, LegacyFileMigratesFromTheDefaultPath) {
  TempDir home;
  write_file(home.path() / "mixer" / "vantle-mixer.toml", "jack_name = \"legacy\"\n[[channels]]\nid = \"mic\"\n");
  auto result = run_without_jack(mixer_options(home.path()));
  EXPECT_THAT(config_line(result), HasSubstr("config (toml): 1 channels, jack_name=legacy"));
  EXPECT_TRUE(std::filesystem::exists(home.path() / "mixer-state" / "runtime-config.json"));
}

TEST(CommandLine, UnreadableConfigurationReportsItsChainAndWritesNothing) {
  TempDir home;
  const std::string broken = R"({"channels": [], "channels": []})";
  write_file(home.path() / "mixer-state" / "runtime-config.json", broken);
  auto result = run_without_jack(mixer_options(home.path()));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("Error: resolving config\n\nCaused by:\n    0: parsing JSON config\n    1: "));
  EXPECT_THAT(result.err, HasSubstr("duplicate field `channels`"));
  EXPECT_EQ(read_file(home.path() / "mixer-state" / "runtime-config.json"), broken);
  EXPECT_FALSE(std::filesystem::exists(home.path() / "mixer-state" / "runtime-config.json.tmp"));
}

TEST(CommandLine, NoJackServerIsFatalWithTheBootstrapContext) {
  TempDir home;
  auto result = run_without_jack(mixer_options(home.path(), {"--no-config"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("Error: bootstrapping JACK client\n\nCaused by:\n    0: opening JACK client\n    1: "));
  EXPECT_THAT(result.err, Not(HasSubstr("bye")));
}

TEST(Logging, LineLayoutAndDefaultLevel) {
  TempDir home;
  auto result = run_without_jack(mixer_options(home.path(), {"--no-config"}));
  const std::regex layout(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ INFO  vantle_mixer\] --no-config: .*$)");
  bool found = false;
  for (const auto& line : lines_of(result.err)) found = found || std::regex_match(line, layout);
  EXPECT_TRUE(found) << result.err;
  // JACK's own chatter stays at debug level.
  EXPECT_THAT(result.err, Not(HasSubstr("DEBUG")));
}

struct FilterCase {
  const char* name;
  const char* filter;
  bool shows_no_config_line;
  bool shows_config_line;
  const char* warning;  // expected on stderr, or nullptr
};

class LogFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(LogFilter, SelectsLines) {
  TempDir home;
  auto options = mixer_options(home.path(), {"--no-config"});
  options.env["VANTLE_LOG"] = GetParam().filter;
  auto result = run_without_jack(std::move(options));
  EXPECT_EQ(result.err.find("--no-config: starting") != std::string::npos, GetParam().shows_no_config_line);
  EXPECT_EQ(!config_line(result).empty(), GetParam().shows_config_line);
  if (GetParam().warning != nullptr) {
    EXPECT_THAT(result.err, HasSubstr(GetParam().warning));
  }
  EXPECT_THAT(result.err, HasSubstr("Error: bootstrapping JACK client"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogFilter,
    ::testing::Values(
        FilterCase{"warn_hides_info", "warn", false, false, nullptr},
        FilterCase{"target_level", "error,vantle_mixer=info", true, true, nullptr},
        FilterCase{"more_specific_target_wins", "vantle_mixer=info,vantle_mixer::config=off", true, true, nullptr},
        FilterCase{"pattern", "info/^config \\(", false, true, nullptr},
        FilterCase{"bad_directive_is_skipped", "vantle_mixer=loud,warn", false, false,
                   "warning: invalid logging directive 'vantle_mixer=loud', ignoring it"},
        FilterCase{"bad_pattern_is_skipped", "info/(", true, true, "warning: invalid log pattern '(', ignoring it"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantle::test

// Running the real vantle-mixer binary in end-to-end tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/jack_server.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace vantle::test {

inline constexpr const char* kMixerBinary = VANTLE_MIXER_BIN;

// A mixer command line with a private HOME, state and sidecar directories, no logger
// colour, and no stray settings from the environment of the test run.
inline ProcessOptions mixer_options(const std::filesystem::path& home, std::vector<std::string> args = {}) {
  ProcessOptions options;
  options.argv = {kMixerBinary};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = {{"HOME", home.string()},  {"VANTLE_LOG", std::nullopt}, {"VANTLE_LOG_STYLE", "never"},
                 {"VANTLE_SIDECAR_DIR", (home / "sidecars").string()},
                 {"STATE_DIR", std::nullopt}, {"CONFIG", std::nullopt},   {"NO_CONFIG", std::nullopt},
                 {"JACK_NAME", std::nullopt}, {"CONTROL_PORT", std::nullopt}, {"CONTROL_BIND", std::nullopt},
                 {"BROADCAST_PORT", std::nullopt}};
  return options;
}

// Points the mixer at `server`, or at a server name that does not exist.
inline void use_jack(ProcessOptions& options, const JackServer* server) {
  if (server != nullptr) {
    for (const auto& [k, v] : server->client_env()) options.env[k] = v;
  } else {
    options.env["JACK_DEFAULT_SERVER"] = "vantle-no-such-server";
    options.env["JACK_NO_START_SERVER"] = "1";
  }
}

// Configuration members that keep every state file of a test inside its own `dir`.
inline std::string private_state_paths(const std::filesystem::path& dir) {
  const std::string d = dir.string();
  return "\"meters_file\": \"" + d + "/meters.json\", \"gains_file\": \"" + d + "/gains.json\", " +
         "\"scenes_file\": \"" + d + "/scenes.json\", \"relay_assignments_file\": \"" + d +
         "/relay-assignments.json\", \"session_delay_file\": \"" + d + "/session-delays.json\"";
}

inline void write_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The message part of every log line ("[time LEVEL target] message").
inline std::vector<std::string> log_messages(const std::string& err) {
  std::vector<std::string> messages;
  for (const auto& line : lines_of(err)) {
    auto close = line.find("] ");
    if (!line.empty() && line.front() == '[' && close != std::string::npos) messages.push_back(line.substr(close + 2));
  }
  return messages;
}

}  // namespace vantle::test

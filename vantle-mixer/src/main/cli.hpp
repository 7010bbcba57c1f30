// The command line of vantle-mixer: options with environment fall-backs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace vantle::app {

struct Cli {
  std::filesystem::path state_dir = "~/mixer-state";
  std::filesystem::path config = "~/mixer/vantle-mixer.toml";
  bool no_config = false;
  std::optional<std::string> jack_name;
  std::optional<std::uint16_t> control_port;
  std::optional<std::string> control_bind;
  std::optional<std::uint16_t> broadcast_port;
};

// Parsing ends in a command line to run with, or in an exit status (0 after
// --help/--version, 2 for a malformed command line) with its text already printed.
struct CliExit {
  int status;
};

std::variant<Cli, CliExit> parse_cli(int argc, const char* const* argv);

// "~" as the first component becomes $HOME when it is set; nothing else changes.
std::filesystem::path expand_home(const std::filesystem::path& path);

}  // namespace vantle::app

#include "main/cli.hpp"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>

namespace vantle::app {

namespace {

constexpr const char* kDescription = "vantle-mixer: the broadcaster's headless mix bus";
constexpr const char* kVersion = "vantle-mixer " VANTLE_VERSION;

CLI::Validator port_range() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        try {
          std::size_t used = 0;
          long long n = std::stoll(value, &used, 10);
          if (used != value.size() || n < 0 || n > 65535) throw std::out_of_range(value);
        } catch (const std::exception&) {
          return "port must be a number from 0 to 65535, got '" + value + "'";
        }
        return {};
      },
      "PORT", "port");
}

int usage_error(const CLI::App& app, const std::string& message) {
  std::cerr << "error: " << message << "\n\n" << app.help("", CLI::AppFormatMode::Normal);
  return 2;
}

}  // namespace

std::variant<Cli, CliExit> parse_cli(int argc, const char* const* argv) {
  CLI::App app{kDescription, "vantle-mixer"};
  app.set_version_flag("-V,--version", kVersion);

  Cli cli;
  std::string state_dir = cli.state_dir.string();
  std::string config = cli.config.string();
  std::string jack_name, control_bind;
  std::uint32_t control_port = 0, broadcast_port = 0;

  app.add_option("--state-dir", state_dir, "State directory for runtime config and state files")
      ->envname("STATE_DIR")
      ->capture_default_str();
  app.add_option("--config", config, "Path to legacy TOML config file (for migration)")
      ->envname("CONFIG")
      ->capture_default_str();
  auto* no_config_flag =
      app.add_flag("--no-config", cli.no_config, "Start with empty config (first-boot mode). Ignores existing configs");
  auto* jack_name_opt = app.add_option("--jack-name", jack_name, "Override the JACK client name")->envname("JACK_NAME");
  auto* control_port_opt =
      app.add_option("--control-port", control_port, "Override the UDP control port (default 19997)")
          ->envname("CONTROL_PORT")
          ->check(port_range());
  auto* control_bind_opt =
      app.add_option("--control-bind", control_bind, "Override the control bind address (default 127.0.0.1)")
          ->envname("CONTROL_BIND");
  auto* broadcast_port_opt =
      app.add_option("--broadcast-port", broadcast_port, "Override the UDP broadcast port (default 5005)")
          ->envname("BROADCAST_PORT")
          ->check(port_range());
  app.footer("Environment: NO_CONFIG=true|false stands for --no-config. Logging: VANTLE_LOG, VANTLE_LOG_STYLE.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return CliExit{app.exit(e)};
  } catch (const CLI::CallForVersion& e) {
    return CliExit{app.exit(e)};
  } catch (const CLI::ParseError& e) {
    return CliExit{usage_error(app, e.what())};
  }

  // The flag's variable takes exactly true or false; the option on the command line wins.
  if (no_config_flag->count() == 0) {
    if (const char* env = std::getenv("NO_CONFIG")) {
      std::string value = env;
      if (value == "true") {
        cli.no_config = true;
      } else if (value != "false") {
        return CliExit{usage_error(app, "invalid value '" + value + "' for NO_CONFIG: expected true or false")};
      }
    }
  }

  cli.state_dir = state_dir;
  cli.config = config;
  if (jack_name_opt->count() > 0) cli.jack_name = jack_name;
  if (control_bind_opt->count() > 0) cli.control_bind = control_bind;
  if (control_port_opt->count() > 0) cli.control_port = static_cast<std::uint16_t>(control_port);
  if (broadcast_port_opt->count() > 0) cli.broadcast_port = static_cast<std::uint16_t>(broadcast_port);
  return cli;
}

std::filesystem::path expand_home(const std::filesystem::path& path) {
  auto it = path.begin();
  if (it == path.end() || it->string() != "~") return path;
  const char* home = std::getenv("HOME");
  if (home == nullptr) return path;
  std::filesystem::path result = home;
  for (++it; it != path.end(); ++it) result /= *it;
  return result;
}

}  // namespace vantle::app

// vantle-relay: listens to a mixer bus the way a relay does, for operators checking a
// feed and for tests that need a real peer; reports what it heard and can record it.
#include <CLI/CLI.hpp>
#include <netdb.h>
#include <sys/socket.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "listening.hpp"
#include "relay.hpp"
#include "util/error.hpp"
#include "util/udp.hpp"

namespace {

using vantle::Error;
using vantle::net::Endpoint;
using vantle::net::resolve;
using vantle::net::split_host_port;

constexpr const char* kDescription =
    "vantle-relay: listen to a vantle-mixer bus as a relay does and report what arrives.\n"
    "\n"
    "Unicast: registers NAME with the mixer's broadcast port, keeps the session alive\n"
    "with a PING every second, receives the AUDIO of the bus the mixer assigns to NAME\n"
    "and leaves with BYE after --seconds or on SIGINT/SIGTERM.\n"
    "Multicast: joins GROUP and follows the packets of one bus; no registration. An\n"
    "address that is not a multicast group is simply bound (for tests on one host).\n";

constexpr const char* kFooter =
    "The report (text, or one JSON object with --json) gives the session, sample rate\n"
    "and frames per packet, packets, bytes, frames, the packet rate, the peak level\n"
    "(linear and dBFS), PONGs received, the time since the last packet and the\n"
    "sequence figures. Unicast: the mixer numbers the blocks of all three buses in one\n"
    "series, so a relay sees steps above 1 whenever other buses are live; they are\n"
    "counted (sequence_steps_over_one, largest_sequence_step) but are not losses.\n"
    "Multicast: each bus has its own series, so missing numbers are reported as lost.\n"
    "Both count packets that arrived out of order and duplicates.\n"
    "\n"
    "Exit status: 0 after listening, 1 when the mixer rejects or does not accept the\n"
    "registration or a local failure occurs (socket, WAV file), 2 for command-line\n"
    "errors.\n"
    "\n"
    "Examples:\n"
    "  vantle-relay --mixer 127.0.0.1:5005 --name booth --seconds 10\n"
    "  vantle-relay --mixer studio:5005 --name booth --wav booth.wav\n"
    "  vantle-relay --multicast 239.255.0.1:5006 --bus monitor --seconds 30 --json\n";

constexpr int kUsageError = 2;

int usage_error(const std::string& message) {
  std::cerr << "vantle-relay: " << message << "\nRun with --help for more information.\n";
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "vantle-relay"};
  app.footer(kFooter);

  std::string mixer, multicast, name, bus, wav;
  int version = 2;
  double seconds = 0, register_timeout = 3.0;
  std::uint32_t rate = 48000;
  bool json = false, quiet = false;

  auto* mixer_opt = app.add_option("--mixer", mixer, "Unicast: the mixer's broadcast address, HOST:PORT");
  auto* name_opt = app.add_option("--name", name, "Unicast: the relay name to register (up to 255 bytes of UTF-8)");
  auto* version_opt = app.add_option("--version", version, "Unicast: protocol version to register with (default 2)")
                          ->check(CLI::Range(0, 255));
  auto* timeout_opt = app.add_option("--register-timeout", register_timeout,
                                     "Unicast: seconds to wait for ACCEPT (default 3)")
                          ->check(CLI::Range(0.001, 3600.0));
  auto* multicast_opt =
      app.add_option("--multicast", multicast, "Multicast: the group to join, GROUP:PORT (IPv4 address)");
  auto* bus_opt = app.add_option("--bus", bus, "Multicast: the bus to follow: main, monitor or cue")
                      ->check(CLI::IsMember({"main", "monitor", "cue"}));
  auto* rate_opt = app.add_option("--rate", rate,
                                  "Multicast: sample rate for the WAV header, which multicast packets do not "
                                  "carry (default 48000)")
                       ->check(CLI::Range(1u, 4000000u));
  auto* seconds_opt = app.add_option("--seconds", seconds, "Listen this long, then report (default: until SIGINT)")
                          ->check(CLI::Range(0.001, 1e7));
  app.add_option("--wav", wav, "Record what arrives, as received, to a 16-bit stereo WAV file");
  app.add_flag("--json", json, "Print the report as one JSON object, and no progress lines");
  app.add_flag("-q,--quiet", quiet, "No progress lines");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }

  const bool unicast = mixer_opt->count() > 0;
  if (unicast == (multicast_opt->count() > 0)) return usage_error("give exactly one of --mixer and --multicast");
  auto refuse = [&](CLI::Option* opt, const char* mode) {
    return opt->count() > 0 ? std::optional<int>(usage_error(opt->get_name() + " does not apply to " + mode))
                            : std::nullopt;
  };
  vantle::relay::Options options;
  try {
    if (unicast) {
      for (auto* opt : {bus_opt, rate_opt}) {
        if (auto status = refuse(opt, "--mixer")) return *status;
      }
      if (name_opt->count() == 0) return usage_error("--mixer needs --name");
      auto host_port = split_host_port(mixer);
      if (!host_port) return usage_error("--mixer: expected HOST:PORT with a port from 1 to 65535, got '" + mixer + "'");
      options.mixer = resolve(host_port->first, host_port->second);
      options.name = name;
      if (name.size() > 255) std::cerr << "vantle-relay: warning: the name is cut to 255 bytes\n";
      options.version = static_cast<std::uint8_t>(version);
      options.register_timeout_s = register_timeout;
    } else {
      for (auto* opt : {name_opt, version_opt, timeout_opt}) {
        if (auto status = refuse(opt, "--multicast")) return *status;
      }
      if (bus_opt->count() == 0) return usage_error("--multicast needs --bus");
      options.group = Endpoint::parse(multicast);
      if (!options.group || options.group->port() == 0) {
        return usage_error("--multicast: expected an IPv4 GROUP:PORT with a port from 1 to 65535, got '" + multicast +
                           "'");
      }
      options.bus = bus;
      options.rate = rate;
    }
  } catch (const Error& e) {
    std::cerr << "vantle-relay: " << e.joined() << "\n";
    return 1;
  }
  if (seconds_opt->count() > 0) options.seconds = seconds;
  options.wav = wav;
  options.progress = !json && !quiet;

  vantle::relay::install_stop_signals();
  vantle::relay::Report report;
  try {
    if (unicast) {
      auto outcome = vantle::relay::listen_unicast(options, report);
      if (!outcome.accepted) {
        std::cerr << "vantle-relay: " << outcome.why << "\n";
        return 1;
      }
    } else {
      vantle::relay::listen_multicast(options, report);
    }
  } catch (const Error& e) {
    std::cerr << "vantle-relay: " << e.joined() << "\n";
    return 1;
  }

  if (json) {
    std::cout << vantle::relay::to_json(report).dump() << "\n";
  } else {
    std::cout << vantle::relay::to_text(report);
  }
  std::cout.flush();
  if (!report.wav_error.empty()) {
    std::cerr << "vantle-relay: recording failed: " << report.wav_error << "\n";
    return 1;
  }
  return 0;
}

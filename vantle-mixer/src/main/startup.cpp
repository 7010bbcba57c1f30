#include "main/startup.hpp"

#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "config/storage.hpp"
#include "main/cli.hpp"
#include "main/mixer.hpp"
#include "main/reload.hpp"
#include "util/error.hpp"
#include "util/log.hpp"
#include "util/threads.hpp"

namespace vantle::app {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer");
  return instance;
}

constexpr auto kSupervisionPeriod = std::chrono::milliseconds(200);

// SIGINT only posts a semaphore; the "ctrl-c" thread does the rest.
sem_t interrupt_semaphore;

void on_sigint(int) { ::sem_post(&interrupt_semaphore); }

void install_interrupt_handling(RunningFlag running) {
  if (::sem_init(&interrupt_semaphore, 0, 0) != 0) throw Error("sem_init failed");
  spawn_detached("ctrl-c", [running] {
    for (;;) {
      if (::sem_wait(&interrupt_semaphore) != 0) continue;  // EINTR
      logger().info("shutdown requested");
      running->store(false, std::memory_order_release);
    }
  });
  struct sigaction action {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGINT, &action, nullptr) != 0) throw Error("sigaction(SIGINT) failed");
}

struct Startup {
  config::Config config;
  std::string source;
};

Startup resolve(const Cli& cli) {
  Startup startup;
  if (cli.no_config) {
    logger().info("--no-config: starting with empty config (first-boot mode)");
    startup.source = "default";
  } else {
    auto resolved = with_context("resolving config", [&] {
      return config::resolve_config(expand_home(cli.state_dir), expand_home(cli.config));
    });
    startup.config = std::move(resolved.config);
    startup.source = std::move(resolved.source);
  }
  auto& cfg = startup.config;
  if (cli.jack_name) cfg.jack_name = *cli.jack_name;
  if (cli.control_port) cfg.control_port = *cli.control_port;
  if (cli.broadcast_port) cfg.broadcast_port = *cli.broadcast_port;
  if (cli.control_bind) cfg.control_bind = *cli.control_bind;
  return startup;
}

// The main thread's loop: watches the running flag, takes reload requests and
// samples JACK's CPU load.
void supervise(Supervisor& supervisor) {
  while (supervisor.running->load(std::memory_order_acquire)) {
    std::optional<ReloadCommand> command;
    switch (supervisor.current->reload.try_receive(command)) {
      case ReloadChannel::Status::kReceived:
        handle_reload(supervisor, std::move(*command));
        continue;  // a reload is a pass of its own: no sleep, no sampling
      case ReloadChannel::Status::kDisconnected:
        logger().warn("reload channel disconnected");
        break;
      case ReloadChannel::Status::kEmpty:
        break;
    }
    std::this_thread::sleep_for(kSupervisionPeriod);
    auto& mixer = *supervisor.current->mixer;
    mixer.stats().store_cpu_load(mixer.jack_cpu_load());
    mixer.housekeeping();
  }
}

int run_checked(const Cli& cli) {
  Startup startup = resolve(cli);
  const auto& cfg = startup.config;
  logger().info("config ({}): {} channels, jack_name={}, control={}:{}, broadcast_port={}", startup.source,
                cfg.channels.size(), cfg.jack_name, cfg.control_bind, cfg.control_port, cfg.broadcast_port);

  auto running = std::make_shared<std::atomic<bool>>(true);
  with_context("installing Ctrl-C handler", [&] { install_interrupt_handling(running); });

  Supervisor supervisor{startup.config, std::nullopt, running, expand_home(cli.state_dir)};
  supervisor.current.emplace(
      with_context("bootstrapping JACK client", [&] { return Mixer::build(startup.config, running); }));

  try {
    std::filesystem::create_directories(supervisor.state_dir);
  } catch (const std::filesystem::filesystem_error& e) {
    supervisor.current.reset();
    throw Error(e.code().message() + " (os error " + std::to_string(e.code().value()) + ")")
        .context("creating state dir " + supervisor.state_dir.string());
  }

  supervise(supervisor);
  supervisor.current.reset();
  logger().info("bye");
  return 0;
}

}  // namespace

int run(int argc, const char* const* argv) {
  log::init_from_environment();
  auto parsed = parse_cli(argc, argv);
  if (auto* exit = std::get_if<CliExit>(&parsed)) return exit->status;
  try {
    return run_checked(std::get<Cli>(parsed));
  } catch (const Error& e) {
    log::flush();
    std::fputs(fatal_report(e).c_str(), stderr);
    return 1;
  } catch (const std::exception& e) {
    log::flush();
    std::fputs(fatal_report(Error(e.what())).c_str(), stderr);
    return 1;
  }
}

}  // namespace vantle::app

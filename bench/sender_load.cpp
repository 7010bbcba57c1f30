// Ingest load: M remote senders of 2 channels each stream a tone at 48 kHz into
// their slots while the mixer runs on a private dummy JACK server; reports the
// broadcast thread's share of one core and the slots' drop counters.
//
//   vantle-bench-senders [--senders M] [--duration S]
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/jack_server.hpp"
#include "thread_cpu.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "util/json.hpp"

using namespace std::chrono_literals;

int main(int argc, char** argv) {
  int senders = 16;
  int duration = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--senders") senders = std::stoi(argv[i + 1]);
    if (arg == "--duration") duration = std::stoi(argv[i + 1]);
  }
  vantle::test::TempDir dir("vantle-bench");
  vantle::test::JackServer jack;
  const std::string state = (dir.path() / "state").string();
  const std::uint16_t port = 23000 + static_cast<std::uint16_t>(getpid() % 2000);
  std::filesystem::create_directories(state);
  {
    std::string channels, allow;
    for (int s = 0; s < senders; ++s) {
      if (s > 0) {
        channels += ", ";
        allow += ", ";
      }
      channels += R"({"id": "remote)" + std::to_string(s) + R"(", "ingest_slot": )" + std::to_string(2 * s) + "}";
      allow += R"({"name": "sender)" + std::to_string(s) + R"(", "channels": 2, "start_slot": )" +
               std::to_string(2 * s) + "}";
    }
    std::ofstream(state + "/runtime-config.json")
        << R"({"broadcast_port": )" << port << R"(, "control_port": 0, "meters_file": ")" << state
        << R"(/meters.json", "relay_assignments_file": ")" << state << R"(/assign.json", "session_delay_file": ")"
        << state << R"(/delays.json", "channels": [)" << channels << R"(], "ingest": {"slot_count": )" << 2 * senders
        << R"(, "sender": [)" << allow << "]}}";
  }
  vantle::test::ProcessOptions mixer_options;
  mixer_options.argv = {VANTLE_MIXER_BIN, "--state-dir", state};
  mixer_options.env = jack.client_env();
  mixer_options.env["VANTLE_SIDECAR_DIR"] = state;
  mixer_options.env["VANTLE_LOG"] = "warn";
  vantle::test::Process mixer(std::move(mixer_options));
  // The slots are read from the first JACK cycle on, which the meters file shows.
  for (int i = 0; i < 200; ++i) {
    std::ifstream meters(state + "/meters.json");
    const std::string text((std::istreambuf_iterator<char>(meters)), {});
    if (text.find("\"remote0\"") != std::string::npos) break;
    std::this_thread::sleep_for(50ms);
  }

  std::vector<std::unique_ptr<vantle::test::Process>> running;
  for (int s = 0; s < senders; ++s) {
    vantle::test::ProcessOptions send;
    send.argv = {VANTLE_SEND_BIN, "--mixer", "127.0.0.1:" + std::to_string(port), "--name", "sender" + std::to_string(s),
                 "--channels", "2", "--tone", std::to_string(200 + 10 * s), "--seconds", std::to_string(duration + 2),
                 "--json"};
    running.push_back(std::make_unique<vantle::test::Process>(std::move(send)));
  }
  std::this_thread::sleep_for(1s);
  const long before = vantle::bench::thread_ticks(mixer.pid(), "broadcast");
  std::this_thread::sleep_for(std::chrono::seconds(duration));
  const long after = vantle::bench::thread_ticks(mixer.pid(), "broadcast");

  const auto diag = vantle::json::parse(vantle::test::Process::run({{"cat", state + "/diag.json"}, {}, ""}).out);
  std::uint64_t drops = 0;
  for (const auto& slot : diag["ingest"]) drops += slot["drops"].get<std::uint64_t>();
  std::uint64_t packets = 0;
  for (const auto& b : diag["broadcasters"]) packets += b["total_pkts"].get<std::uint64_t>();
  for (auto& p : running) p->wait(std::chrono::seconds(10));
  mixer.signal(SIGINT);
  mixer.wait(10s);

  const double cpu = double(after - before) / double(sysconf(_SC_CLK_TCK)) / duration;
  std::printf("%d senders x 2 channels at 48 kHz for %d s: broadcast thread %.1f%% of one core, "
              "%llu packets accepted, %llu samples dropped in %zu slots\n",
              senders, duration, 100.0 * cpu, static_cast<unsigned long long>(packets),
              static_cast<unsigned long long>(drops), diag["ingest"].size());
  return drops == 0 ? 0 : 1;
}

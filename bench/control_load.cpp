// Control plane load: runs the mixer on a private dummy JACK server and sends its
// control port set_fader requests for a while, as fast as one socket can or at a
// given rate, then reports the requests sent and applied per second, those the
// control socket dropped, whether the last value arrived, the control thread's share
// of one core and the xrun count before and after.
//
//   vantle-bench-control [--duration S] [--rate R] [--channels N]
//
// Every request is handled unless the socket drops it (its receive buffer full), so
// applied = sent - dropped, with the socket's own drop counter from /proc. The rate
// applied runs until a get_state sent after the last request is answered: the
// control thread handles requests in order, so by then it has worked off the backlog.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/jack_server.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "thread_cpu.hpp"
#include "util/json.hpp"
#include "util/udp.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
  int duration = 10;
  long rate = 0;  // requests per second; 0: as fast as possible
  int channels = 8;
};

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A loopback port nobody uses at the moment (the mixer binds it right after).
std::uint16_t free_port() {
  auto probe = vantle::net::UdpSocket::create();
  probe.bind(vantle::net::Endpoint::loopback(0));
  return probe.local_endpoint().port();
}

// Datagrams the system dropped for the UDP socket of `pid` bound to 127.0.0.1:port
// (the last column of /proc/<pid>/net/udp); -1 when there is none.
long long socket_drops(pid_t pid, std::uint16_t port) {
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/udp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    if (line.find(local) == std::string::npos) continue;
    std::istringstream fields(line);
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    if (f.size() >= 2 && f[1] == local) return std::stoll(f.back());
  }
  return -1;
}

// "jack"/"xrun_count" of the mixer's diag.json; nothing until the file is there.
std::optional<long long> xruns(const std::filesystem::path& diag) {
  std::ifstream in(diag, std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  try {
    const auto doc = vantle::json::parse(text);
    return doc.at("jack").at("xrun_count").get<long long>();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<long long> wait_for_xruns(const std::filesystem::path& diag, std::chrono::milliseconds within) {
  const auto until = Clock::now() + within;
  for (;;) {
    if (auto n = xruns(diag)) return n;
    if (Clock::now() > until) return std::nullopt;
    std::this_thread::sleep_for(50ms);
  }
}

std::string xrun_text(const std::optional<long long>& n) { return n ? std::to_string(*n) : "?"; }

std::string channel_id(int i) { return "ch" + std::to_string(i); }

// Request k: channel k mod N, bus main, a gain no other request in the run carries
// (exact in a float up to 2^24 requests).
std::string set_fader(std::uint64_t k, int channels, float& gain) {
  gain = static_cast<float>(k % (1u << 24)) / static_cast<float>(1u << 24);
  return R"({"op":"set_fader","channel":")" + channel_id(static_cast<int>(k % static_cast<std::uint64_t>(channels))) +
         R"(","bus":"main","gain":)" + vantle::json::format_f32(gain) + "}";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&] { return i + 1 < argc ? std::stol(argv[++i]) : 0L; };
    if (arg == "--duration") options.duration = static_cast<int>(value());
    else if (arg == "--rate") options.rate = value();
    else if (arg == "--channels") options.channels = static_cast<int>(value());
    else {
      std::fprintf(stderr, "usage: vantle-bench-control [--duration S] [--rate R] [--channels N]\n");
      return 2;
    }
  }
  if (options.duration < 1 || options.rate < 0 || options.channels < 1) {
    std::fprintf(stderr, "vantle-bench-control: --duration and --channels must be at least 1, --rate at least 0\n");
    return 2;
  }

  vantle::test::TempDir dir("vantle-bench");
  vantle::test::JackServer jack;
  const auto state = dir.path() / "state";
  std::filesystem::create_directories(state);
  const std::uint16_t control_port = free_port();
  const std::uint16_t broadcast_port = free_port();
  {
    const std::string d = state.string();
    std::ofstream config(state / "runtime-config.json");
    config << R"({"control_port": )" << control_port << R"(, "broadcast_port": )" << broadcast_port
           << R"(, "meters_file": ")" << d << R"(/meters.json", "relay_assignments_file": ")" << d
           << R"(/assign.json", "session_delay_file": ")" << d << R"(/delays.json", "channels": [)";
    for (int c = 0; c < options.channels; ++c) config << (c ? ", " : "") << R"({"id": ")" << channel_id(c) << R"("})";
    config << "]}";
  }
  vantle::test::ProcessOptions mixer_options;
  mixer_options.argv = {VANTLE_MIXER_BIN, "--state-dir", state.string()};
  mixer_options.env = jack.client_env();
  mixer_options.env["HOME"] = dir.path().string();
  mixer_options.env["VANTLE_SIDECAR_DIR"] = state.string();
  mixer_options.env["VANTLE_LOG"] = "info";
  mixer_options.env["VANTLE_LOG_STYLE"] = "never";
  vantle::test::Process mixer(std::move(mixer_options));
  if (!mixer.wait_for_err("control plane listening on udp://", 10s)) {
    std::fprintf(stderr, "vantle-bench-control: the mixer's control plane did not come up; its log:\n%s",
                 mixer.err().c_str());
    return 1;
  }
  const auto diag = state / "diag.json";
  const auto xruns_before = wait_for_xruns(diag, 5s);

  const auto address = vantle::net::Endpoint::loopback(control_port);
  auto sender = vantle::net::UdpSocket::create();
  sender.request_buffers(1 << 16, 4 << 20);

  std::printf("control load: set_fader to %s, %d channels, %s, %d s\n", address.to_string().c_str(), options.channels,
              options.rate > 0 ? (std::to_string(options.rate) + " requests/s").c_str() : "as fast as possible",
              options.duration);
  std::fflush(stdout);

  const long long drops_before = socket_drops(mixer.pid(), control_port);
  const long ticks_before = vantle::bench::thread_ticks(mixer.pid(), "control");
  std::uint64_t sent = 0, send_errors = 0;
  float last_gain = 0.0f;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(options.duration);
  auto next_tick = start;
  for (auto now = start; now < end; now = Clock::now()) {
    // Paced: each millisecond brings the count up to where the rate puts it.
    std::uint64_t due = sent + 256;
    if (options.rate > 0) {
      next_tick += 1ms;
      std::this_thread::sleep_until(next_tick);
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      due = static_cast<std::uint64_t>(elapsed * static_cast<double>(options.rate));
    }
    while (sent < due) {
      float gain = 0.0f;
      const std::string request = set_fader(sent, options.channels, gain);
      if (sender.send_to(bytes_of(request), address) != 0) {
        ++send_errors;
        continue;
      }
      last_gain = gain;
      ++sent;
    }
  }
  const auto sending_ended = Clock::now();
  const std::uint64_t last = sent - 1;

  // The backlog is worked off when a get_state queued behind it is answered; a
  // get_state the full socket drops is sent again.
  auto asker = vantle::net::UdpSocket::create();
  asker.set_receive_timeout(500);
  std::optional<vantle::json::Json> final_state;
  Clock::time_point drained{};
  const std::string get_state = R"({"op":"get_state"})";
  while (!final_state && Clock::now() - sending_ended < 20s) {
    asker.send_to(bytes_of(get_state), address);
    std::vector<std::uint8_t> buffer(65536);
    std::size_t length = 0;
    vantle::net::Endpoint from;
    int error = 0;
    if (asker.receive(buffer, length, from, error) == vantle::net::UdpSocket::Received::kDatagram) {
      drained = Clock::now();
      try {
        final_state = vantle::json::parse(std::string_view(reinterpret_cast<const char*>(buffer.data()), length));
      } catch (const std::exception&) {
      }
    }
  }
  const long ticks_after = vantle::bench::thread_ticks(mixer.pid(), "control");
  const long long drops_after = socket_drops(mixer.pid(), control_port);
  std::this_thread::sleep_for(600ms);  // diag.json is rewritten five times a second
  const auto xruns_after = xruns(diag);
  mixer.signal(SIGINT);
  mixer.wait(10s);

  const double send_seconds = std::chrono::duration<double>(sending_ended - start).count();
  std::printf("sent          %12llu requests %12.1f /s", static_cast<unsigned long long>(sent),
              static_cast<double>(sent) / send_seconds);
  if (send_errors > 0) std::printf("  (%llu send errors)", static_cast<unsigned long long>(send_errors));
  std::printf("\n");
  if (drops_before >= 0 && drops_after >= 0 && final_state) {
    const long long dropped = drops_after - drops_before;
    const double drain_seconds = std::chrono::duration<double>(drained - start).count();
    std::printf("dropped       %12lld by the control socket (receive buffer full)\n", dropped);
    std::printf("applied       %12llu requests %12.1f /s (backlog worked off %.2f s after the last send)\n",
                static_cast<unsigned long long>(static_cast<long long>(sent) - dropped),
                static_cast<double>(static_cast<long long>(sent) - dropped) / drain_seconds,
                std::chrono::duration<double>(drained - sending_ended).count());
  } else {
    std::printf("applied       not measurable (%s)\n",
                final_state ? "no drop counter for the control socket" : "get_state got no answer");
  }
  const std::string last_channel = channel_id(static_cast<int>(last % static_cast<std::uint64_t>(options.channels)));
  if (final_state) {
    bool arrived = false;
    try {
      const auto& faders = final_state->at("channels").at(last % static_cast<std::uint64_t>(options.channels));
      arrived = static_cast<float>(faders.at("main").get<double>()) == last_gain;
    } catch (const std::exception&) {
    }
    std::printf("last value    %s (%s main = %s)\n", arrived ? "arrived" : "LOST", last_channel.c_str(),
                vantle::json::format_f32(last_gain).c_str());
  } else {
    std::printf("last value    unknown: get_state got no answer within 20 s\n");
    std::fprintf(stderr, "the mixer's log:\n%s", mixer.err().c_str());
  }
  if (ticks_before >= 0 && ticks_after >= 0) {
    const double cpu_seconds = static_cast<double>(ticks_after - ticks_before) / static_cast<double>(sysconf(_SC_CLK_TCK));
    const double window = std::chrono::duration<double>((final_state ? drained : Clock::now()) - start).count();
    std::printf("control cpu   %11.1f %% of one core\n", 100.0 * cpu_seconds / window);
  } else {
    std::printf("control cpu   no thread named \"control\" found\n");
  }
  std::printf("xruns         %s before, %s after\n", xrun_text(xruns_before).c_str(), xrun_text(xruns_after).c_str());
  return 0;
}

// Relay fan-out load: runs the mixer on a private dummy JACK server (F = 160) and N
// relays on loopback, all on bus main, and reports for each N whether every relay was
// served for the whole run with no sequence gap and no send error, with the
// broadcast thread's share of one core. N grows until a run fails.
//
//   vantle-bench-relays [--duration S] [--start N] [--step N] [--max N] [--unbatched] [--flood RATE]
//
// --flood adds one peer sending RATE datagrams a second, half junk and half
// registrations under new names, to see whether it disturbs the others.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/wire.hpp"
#include "support/jack_probe.hpp"
#include "support/jack_server.hpp"
#include "thread_cpu.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "util/udp.hpp"

namespace {

using namespace std::chrono_literals;
using vantle::broadcast::wire::decode_accept;
using vantle::broadcast::wire::decode_audio;
using Clock = std::chrono::steady_clock;

struct Options {
  int duration = 30;
  int start = 100;
  int step = 100;
  int max = 3000;
  bool batched = true;
  int flood = 0;  // junk and REGISTER datagrams per second from one address
};

struct Relay {
  vantle::net::UdpSocket socket;
  std::uint32_t session = 0;
  std::uint32_t first_sequence = 0;
  std::uint32_t last_sequence = 0;
  bool started = false;
  std::uint64_t packets = 0;
  std::uint64_t gaps = 0;
};

struct RunResult {
  bool ok = false;
  std::uint64_t gaps = 0;
  std::uint64_t send_errors = 0;
  std::uint64_t packets = 0;
  int silent_relays = 0;
  double block_rate = 0;     // blocks per second the mixer sent on main (300 in real time)
  double block_share = 0;    // blocks sent / blocks the JACK clock produced meanwhile
  double broadcast_cpu = 0;  // share of one core
};



RunResult run(const Options& options, int relays_wanted) {
  vantle::test::TempDir dir("vantle-bench");
  vantle::test::JackServer jack;
  const std::string state = (dir.path() / "state").string();
  const std::uint16_t port = 21000 + static_cast<std::uint16_t>(getpid() % 2000);
  {
    std::filesystem::create_directories(state);
    std::ofstream(state + "/runtime-config.json") << R"({"broadcast_frames": 160, "broadcast_port": )" << port
                                                  << R"(, "control_port": 0, "meters_file": ")" << state
                                                  << R"(/meters.json", "relay_assignments_file": ")" << state
                                                  << R"(/assign.json", "session_delay_file": ")" << state
                                                  << R"(/delays.json", "channels": [{"id": "a"}]})";
  }
  vantle::test::ProcessOptions mixer_options;
  mixer_options.argv = {VANTLE_MIXER_BIN, "--state-dir", state};
  mixer_options.env = jack.client_env();
  mixer_options.env["VANTLE_SIDECAR_DIR"] = state;
  mixer_options.env["VANTLE_BROADCAST_BATCH"] = options.batched ? "1" : "0";
  mixer_options.env["VANTLE_LOG"] = "warn";
  vantle::test::Process mixer(std::move(mixer_options));
  std::this_thread::sleep_for(1500ms);

  const auto address = vantle::net::Endpoint::loopback(port);
  std::vector<Relay> relays(static_cast<std::size_t>(relays_wanted));
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  for (std::size_t i = 0; i < relays.size(); ++i) {
    auto& r = relays[i];
    r.socket = vantle::net::UdpSocket::create();
    r.socket.bind(vantle::net::Endpoint::loopback(0));
    r.socket.request_buffers(1 << 20, 1 << 16);
    r.socket.set_receive_timeout(2000);
    auto reg = vantle::broadcast::wire::encode_register(2, "load-" + std::to_string(i));
    r.socket.send_to(std::span(reinterpret_cast<const std::uint8_t*>(reg.data()), reg.size()), address);
    std::vector<std::uint8_t> buffer(4096);
    std::size_t length = 0;
    vantle::net::Endpoint from;
    int error = 0;
    // AUDIO for earlier relays may arrive first on their own sockets, not this one.
    if (r.socket.receive(buffer, length, from, error) == vantle::net::UdpSocket::Received::kDatagram) {
      if (auto accept = decode_accept(std::span(buffer.data(), length))) r.session = accept->session;
    }
    r.socket.set_nonblocking();
    epoll_event ev{EPOLLIN, {.u64 = i}};
    epoll_ctl(epoll, EPOLL_CTL_ADD, r.socket.fd(), &ev);
  }

  // An abusive peer: half junk, half registrations under new names.
  std::atomic<bool> flooding{options.flood > 0};
  std::thread flood([&] {
    if (options.flood <= 0) return;
    auto socket = vantle::net::UdpSocket::create();
    std::uint32_t k = 0;
    const auto period = std::chrono::nanoseconds(1'000'000'000LL / options.flood);
    auto next = Clock::now();
    while (flooding.load()) {
      if (k % 2 == 0) {
        auto reg = vantle::broadcast::wire::encode_register(2, "flood-" + std::to_string(k));
        socket.send_to(std::span(reinterpret_cast<const std::uint8_t*>(reg.data()), reg.size()), address);
      } else {
        std::uint8_t junk[64];
        for (auto& b : junk) b = static_cast<std::uint8_t>(k * 31 + (&b - junk));
        junk[0] = static_cast<std::uint8_t>(20 + k % 200);
        socket.send_to(junk, address);
      }
      ++k;
      next += period;
      std::this_thread::sleep_until(next);
    }
  });
  // The JACK clock tells how many blocks the engine made, however fast the dummy
  // server keeps time on a loaded machine.
  vantle::test::JackProbe clock(jack, {}, {});
  const long ticks_before = vantle::bench::thread_ticks(mixer.pid(), "broadcast");
  const auto frames_before = clock.frame_time();
  const auto start = Clock::now();
  auto next_ping = start;
  std::vector<epoll_event> events(256);
  std::vector<std::uint8_t> buffer(4096);
  while (Clock::now() - start < std::chrono::seconds(options.duration)) {
    if (Clock::now() >= next_ping) {
      for (auto& r : relays) {
        auto ping = vantle::broadcast::wire::encode_ping(r.session);
        r.socket.send_to(ping, address);
      }
      next_ping += 1s;
    }
    int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 50);
    for (int e = 0; e < n; ++e) {
      auto& r = relays[events[e].data.u64];
      for (;;) {
        ssize_t got = recv(r.socket.fd(), buffer.data(), buffer.size(), 0);
        if (got <= 0) break;
        auto audio = decode_audio(std::span(buffer.data(), static_cast<std::size_t>(got)));
        if (!audio) continue;
        if (r.started && audio->sequence != r.last_sequence + 1) ++r.gaps;
        if (!r.started) r.first_sequence = audio->sequence;
        r.started = true;
        r.last_sequence = audio->sequence;
        ++r.packets;
      }
    }
  }
  const long ticks_after = vantle::bench::thread_ticks(mixer.pid(), "broadcast");
  const double jack_blocks = double(clock.frame_time() - frames_before) / 160.0;
  flooding = false;
  flood.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(epoll);

  mixer.signal(SIGINT);
  mixer.wait(10s);
  RunResult result;
  double rates = 0;
  for (const auto& r : relays) {
    rates += double(r.last_sequence - r.first_sequence) / seconds;
    result.gaps += r.gaps;
    result.packets += r.packets;
    if (r.packets == 0) ++result.silent_relays;
  }
  const std::string err = mixer.err();
  for (std::size_t at = err.find("send AUDIO to"); at != std::string::npos; at = err.find("send AUDIO to", at + 1)) {
    ++result.send_errors;
  }
  result.broadcast_cpu = double(ticks_after - ticks_before) / double(sysconf(_SC_CLK_TCK)) / seconds;
  result.block_rate = rates / double(relays.size());
  result.block_share = result.block_rate * seconds / jack_blocks;
  // A broadcast thread that falls behind loses audio in the full bus ring, without a
  // sequence gap: the share of the engine's blocks that went out shows it.
  result.ok = result.gaps == 0 && result.send_errors == 0 && result.silent_relays == 0 && result.block_share >= 0.99;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&] { return i + 1 < argc ? std::stoi(argv[++i]) : 0; };
    if (arg == "--duration") options.duration = value();
    else if (arg == "--start") options.start = value();
    else if (arg == "--step") options.step = value();
    else if (arg == "--max") options.max = value();
    else if (arg == "--unbatched") options.batched = false;
    else if (arg == "--flood") options.flood = value();
    else {
      std::fprintf(stderr, "usage: vantle-bench-relays [--duration S] [--start N] [--step N] [--max N] [--unbatched] [--flood RATE]\n");
      return 2;
    }
  }
  std::printf("relay fan-out, F=160 at 48 kHz (300 blocks/s), %s sends, %d s per run, flood %d/s\n",
              options.batched ? "batched (sendmmsg)" : "one sendmsg per relay", options.duration, options.flood);
  std::printf("%8s %12s %10s %8s %8s %12s %8s %14s  %s\n", "relays", "packets", "blocks/s", "sent", "gaps",
              "send errors", "silent", "broadcast cpu", "result");
  int best = 0;
  for (int n = options.start; n <= options.max; n += options.step) {
    RunResult r = run(options, n);
    std::printf("%8d %12llu %10.1f %7.1f%% %8llu %12llu %8d %13.1f%%  %s\n", n,
                static_cast<unsigned long long>(r.packets), r.block_rate, 100.0 * r.block_share,
                static_cast<unsigned long long>(r.gaps), static_cast<unsigned long long>(r.send_errors),
                r.silent_relays, 100.0 * r.broadcast_cpu, r.ok ? "served" : "FAILED");
    std::fflush(stdout);
    if (!r.ok) break;
    best = n;
  }
  std::printf("largest N served: %d\n", best);
  return 0;
}

#include "relay.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "util/error.hpp"
#include "wav_writer.hpp"

namespace vantle::relay {

namespace wire = broadcast::wire;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

volatile std::sig_atomic_t g_stop = 0;
bool g_signals_installed = false;
sigset_t g_wait_mask;  // the signal mask while waiting: the stop signals open

void on_stop_signal(int) { g_stop = 1; }

bool stopping() { return g_stop != 0; }

// Waits until a datagram is pending, `until` passes or a stop signal arrives (the
// caller looks at the stop flag; an interrupted wait simply returns).
void wait_for_datagram(int fd, Clock::time_point until) {
  const auto now = Clock::now();
  if (until <= now) return;
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(until - now, 1h));
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
  pollfd p{fd, POLLIN, 0};
  (void)::ppoll(&p, 1, &ts, g_signals_installed ? &g_wait_mask : nullptr);
}

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

wire::Bytes bytes_of(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

void progress(const Options& o, const char* format, ...) __attribute__((format(printf, 2, 3)));
void progress(const Options& o, const char* format, ...) {
  if (!o.progress) return;
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* format, ...) {
  std::fputs("vantle-relay: warning: ", stderr);
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// Hands every pending datagram to `on`. Large enough for any UDP datagram, so a
// mixer configured for big blocks is not cut off.
class Receiver {
 public:
  explicit Receiver(net::UdpSocket& socket) : socket_(socket), buffer_(65536) {}

  template <class On>
  void drain(On&& on) {
    for (;;) {
      std::size_t length = 0;
      net::Endpoint from;
      int error = 0;
      switch (socket_.receive(buffer_, length, from, error)) {
        case net::UdpSocket::Received::kDatagram:
          on(wire::Bytes(buffer_.data(), length));
          break;
        case net::UdpSocket::Received::kNothing:
          return;
        case net::UdpSocket::Received::kError:
          throw Error(os_error_text(error)).context("receiving");
      }
    }
  }

 private:
  net::UdpSocket& socket_;
  std::vector<std::uint8_t> buffer_;
};

// The optional recording: a failed write ends the recording, not the listening.
class Recording {
 public:
  Recording(const std::string& path, Report& report) : report_(report) {
    if (path.empty()) return;
    writer_.emplace(path);
    report_.wav_path = path;
  }

  void append(wire::Bytes samples) {
    if (!writer_ || !report_.wav_error.empty()) return;
    try {
      writer_->append(samples);
    } catch (const Error& e) {
      report_.wav_error = e.joined();
    }
  }

  void finish(std::uint32_t sample_rate) {
    if (!writer_) return;
    try {
      writer_->finish(sample_rate);
    } catch (const Error& e) {
      if (report_.wav_error.empty()) report_.wav_error = e.joined();
    }
    report_.wav_frames = writer_->frames();
    report_.wav_truncated = writer_->truncated();
  }

  // Nothing was heard: leave no file behind that claims a recording.
  void discard() {
    if (!writer_) return;
    writer_.reset();
    std::error_code ignored;
    std::filesystem::remove(report_.wav_path, ignored);
    report_.wav_path.clear();
  }

 private:
  Report& report_;
  std::optional<WavWriter> writer_;
};

// One block of audio that belongs to us.
void heard(Report& r, Recording& recording, std::size_t datagram_bytes, std::uint32_t sequence, wire::Bytes samples,
           Clock::time_point now, std::optional<Clock::time_point>& last_packet) {
  ++r.packets;
  r.bytes += datagram_bytes;
  r.frames += samples.size() / 4;
  r.sequence.add(sequence);
  r.peak = peak_of(samples, r.peak);
  recording.append(samples);
  last_packet = now;
}

std::string level_text(float peak) {
  const auto level = dbfs(peak);
  if (!level) return "silence";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f dBFS", *level);
  return text;
}

net::UdpSocket open_socket(const char* what) {
  return with_context(what, [] { return net::UdpSocket::create(); });
}

}  // namespace

void install_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: the wait must return
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stop_signals, &g_wait_mask);
  sigdelset(&g_wait_mask, SIGINT);
  sigdelset(&g_wait_mask, SIGTERM);
  g_signals_installed = true;
}

Outcome listen_unicast(const Options& o, Report& r) {
  r.multicast = false;
  r.address = o.mixer->to_string();
  r.name = o.name;
  r.version = o.version;

  auto socket = open_socket("creating the relay socket");
  with_context("binding the relay socket", [&] {
    socket.bind(net::Endpoint::any(0));
    socket.set_nonblocking();
  });
  socket.request_buffers(4 << 20, 64 << 10);
  Recording recording(o.wav, r);
  Receiver receiver(socket);

  if (int err = socket.send_to(bytes_of(wire::encode_register(o.version, o.name)), *o.mixer)) {
    throw Error(os_error_text(err)).context("sending REGISTER to " + r.address);
  }
  progress(o, "registering \"%s\" with %s (protocol v%u)", o.name.c_str(), r.address.c_str(),
           static_cast<unsigned>(o.version));

  std::optional<wire::Accept> accept;
  std::optional<std::uint8_t> reject;
  std::optional<Clock::time_point> last_packet;
  Clock::time_point now = Clock::now();

  // Audio may follow the ACCEPT in the same batch of datagrams, so one handler
  // serves both phases.
  auto on_datagram = [&](wire::Bytes d) {
    if (!accept) {
      if (reject) {
        ++r.ignored;
      } else if (auto a = wire::decode_accept(d)) {
        accept = *a;
      } else if (!d.empty() && d[0] == static_cast<std::uint8_t>(wire::Tag::kReject)) {
        reject = wire::decode_reject_reason(d);
        if (!reject) ++r.ignored;
      } else {
        ++r.ignored;
      }
      return;
    }
    if (auto a = wire::decode_audio(d); a && a->session == accept->session) {
      if (a->samples.size() != 4 * std::size_t{accept->frames}) {
        ++r.ignored;  // not the announced block size: not a block we can place
        return;
      }
      heard(r, recording, d.size(), a->sequence, a->samples, now, last_packet);
    } else if (auto pong = wire::decode_pong(d); pong && *pong == accept->session) {
      ++r.pongs;
    } else {
      ++r.ignored;
    }
  };

  const auto give_up = now + seconds(o.register_timeout_s);
  while (!accept && !reject && !stopping() && now < give_up) {
    wait_for_datagram(socket.fd(), give_up);
    now = Clock::now();
    receiver.drain(on_datagram);
  }
  if (!accept) {
    recording.discard();
    if (reject) {
      std::string why = "the mixer at " + r.address + " rejected the registration: ";
      why += *reject == wire::kRejectUnsupportedVersion
                 ? "unsupported protocol version " + std::to_string(o.version)
                 : "reason " + std::to_string(*reject);
      return {false, why};
    }
    if (stopping()) return {false, "stopped before the mixer at " + r.address + " answered"};
    char why[160];
    std::snprintf(why, sizeof why, "no ACCEPT from the mixer at %s within %g s", r.address.c_str(),
                  o.register_timeout_s);
    return {false, why};
  }

  r.session = accept->session;
  r.sample_rate = accept->sample_rate;
  r.frames_per_packet = accept->frames;
  progress(o, "accepted: session 0x%08x, %u Hz, %u frames per packet, protocol v%u", accept->session,
           accept->sample_rate, static_cast<unsigned>(accept->frames), static_cast<unsigned>(accept->version));
  if (accept->version != o.version) {
    warn("the mixer answered with protocol v%u to a v%u registration", static_cast<unsigned>(accept->version),
         static_cast<unsigned>(o.version));
  }
  if (accept->channels != 2) {
    warn("the mixer announces %u channels; AUDIO is read as stereo", static_cast<unsigned>(accept->channels));
  }

  const auto started = now;
  const auto deadline = o.seconds ? started + seconds(*o.seconds) : Clock::time_point::max();
  auto next_ping = started + 1s;
  auto next_progress = started + 1s;

  while (!stopping() && now < deadline) {
    wait_for_datagram(socket.fd(), std::min({deadline, next_ping, next_progress}));
    now = Clock::now();
    receiver.drain(on_datagram);
    // No PING in the last moment: its PONG could not arrive before the report.
    if (now >= next_ping && now < deadline) {
      if (int err = socket.send_to(wire::encode_ping(accept->session), *o.mixer)) {
        warn("sending PING: %s", os_error_text(err).c_str());
      } else {
        ++r.pings;
      }
      next_ping = std::max(next_ping + 1s, now + 100ms);
    }
    if (now >= next_progress) {
      progress(o, "[%5.0f s] %llu packets, peak %s, %llu pongs for %llu pings", seconds_between(started, now),
               static_cast<unsigned long long>(r.packets), level_text(r.peak).c_str(),
               static_cast<unsigned long long>(r.pongs), static_cast<unsigned long long>(r.pings));
      next_progress = std::max(next_progress + 1s, now + 100ms);
    }
  }
  // What had arrived when the time was up or the stop came still counts.
  now = Clock::now();
  receiver.drain(on_datagram);

  if (int err = socket.send_to(wire::encode_bye(accept->session), *o.mixer)) {
    warn("sending BYE: %s", os_error_text(err).c_str());
  }
  progress(o, "left session 0x%08x", accept->session);

  r.duration_s = seconds_between(started, now);
  if (last_packet) r.since_last_packet_s = seconds_between(*last_packet, now);
  recording.finish(r.sample_rate);
  return {};
}

void listen_multicast(const Options& o, Report& r) {
  static constexpr const char* kBuses[] = {"main", "monitor", "cue"};
  const auto code = static_cast<std::uint8_t>(std::find(std::begin(kBuses), std::end(kBuses), o.bus) - kBuses + 1);
  r.multicast = true;
  r.address = o.group->to_string();
  r.bus = o.bus;
  r.sample_rate = o.rate;

  auto socket = open_socket("creating the multicast socket");
  const bool is_group = IN_MULTICAST(ntohl(o.group->addr.sin_addr.s_addr));
  with_context("binding the multicast socket to " + r.address, [&] {
    socket.set_reuse_address();
    // A group is joined on its port for any local address; a plain address (a test
    // on one host) is bound as it stands.
    socket.bind(is_group ? net::Endpoint::any(o.group->port()) : *o.group);
  });
  if (is_group) {
    ip_mreq membership{};
    membership.imr_multiaddr = o.group->addr.sin_addr;
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(socket.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      throw Error(os_error_text(errno)).context("joining the multicast group " + r.address);
    }
  }
  with_context("binding the multicast socket to " + r.address, [&] { socket.set_nonblocking(); });
  socket.request_buffers(4 << 20, 64 << 10);
  Recording recording(o.wav, r);
  Receiver receiver(socket);
  progress(o, "listening on %s for bus %s", r.address.c_str(), o.bus.c_str());

  std::optional<Clock::time_point> last_packet;
  Clock::time_point now = Clock::now();
  auto on_datagram = [&](wire::Bytes d) {
    auto m = wire::decode_multicast_audio(d);
    if (!m || m->bus_code != code) {
      ++r.ignored;
      return;
    }
    if (r.frames_per_packet == 0) r.frames_per_packet = static_cast<std::uint32_t>(m->samples.size() / 4);
    heard(r, recording, d.size(), m->sequence, m->samples, now, last_packet);
  };

  const auto started = now;
  const auto deadline = o.seconds ? started + seconds(*o.seconds) : Clock::time_point::max();
  auto next_progress = started + 1s;
  while (!stopping() && now < deadline) {
    wait_for_datagram(socket.fd(), std::min(deadline, next_progress));
    now = Clock::now();
    receiver.drain(on_datagram);
    if (now >= next_progress) {
      progress(o, "[%5.0f s] %llu packets, %llu lost, peak %s", seconds_between(started, now),
               static_cast<unsigned long long>(r.packets), static_cast<unsigned long long>(r.sequence.missing()),
               level_text(r.peak).c_str());
      next_progress = std::max(next_progress + 1s, now + 100ms);
    }
  }
  now = Clock::now();
  receiver.drain(on_datagram);

  r.duration_s = seconds_between(started, now);
  if (last_packet) r.since_last_packet_s = seconds_between(*last_packet, now);
  recording.finish(r.sample_rate);
}

}  // namespace vantle::relay

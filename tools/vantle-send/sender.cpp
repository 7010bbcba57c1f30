#include "sender.hpp"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

#include "broadcast/wire.hpp"
#include "signal_source.hpp"
#include "util/error.hpp"

namespace vantle::send {

namespace wire = broadcast::wire;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// A mixer drops a sender that has been silent for longer than this.
constexpr double kMixerSilenceLimitS = 3.0;

volatile std::sig_atomic_t g_stop = 0;
bool g_signals_installed = false;
sigset_t g_wait_mask;  // the signal mask while waiting: the stop signals open

void on_stop_signal(int) { g_stop = 1; }

bool stopping() { return g_stop != 0; }

const sigset_t* wait_mask() { return g_signals_installed ? &g_wait_mask : nullptr; }

timespec timespec_until(Clock::time_point until, Clock::time_point now) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(until - now, 1h));
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
  return ts;
}

// Until a datagram is pending, `until` passes or a stop signal arrives; the caller
// looks at the clock and the stop flag.
void wait_for_datagram(int fd, Clock::time_point until) {
  const auto now = Clock::now();
  if (until <= now) return;
  const timespec ts = timespec_until(until, now);
  pollfd p{fd, POLLIN, 0};
  (void)::ppoll(&p, 1, &ts, wait_mask());
}

// Sleeps to an absolute point of the monotonic clock, so waking late once does not
// push every later packet back; a stop signal ends the sleep.
void sleep_until(Clock::time_point until) {
  while (!stopping()) {
    const auto now = Clock::now();
    if (now >= until) return;
    const timespec ts = timespec_until(until, now);
    (void)::ppoll(nullptr, 0, &ts, wait_mask());
  }
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
  std::fputs("vantle-send: warning: ", stderr);
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

std::string session_hex(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", id);
  return text;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// AUDIO_TX carrying 16-bit samples as they are: the codec's header, then the
// samples little-endian (the float path would cost a file's samples their last bit).
std::string audio_tx(std::uint32_t session, std::uint32_t sequence, std::uint8_t channels, const std::int16_t* samples,
                     std::size_t frames) {
  std::string p = wire::encode_audio_tx(session, sequence, channels, nullptr, 0);
  const std::size_t header = p.size();
  const std::size_t count = frames * channels;
  p.resize(header + 2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto u = static_cast<std::uint16_t>(samples[i]);
    p[header + 2 * i] = static_cast<char>(u & 0xFF);
    p[header + 2 * i + 1] = static_cast<char>(u >> 8);
  }
  return p;
}

double audio_seconds(const Report& r) {
  return r.sample_rate > 0 ? static_cast<double>(r.frames) / r.sample_rate : 0.0;
}

}  // namespace

std::string reject_reason_text(std::uint8_t reason) {
  const char* words = nullptr;
  switch (reason) {
    case wire::kRejectUnsupportedVersion:
      words = "unsupported protocol version";
      break;
    case wire::kRejectUnknownSender:
      words = "the name is not on the mixer's sender allow-list";
      break;
    case wire::kRejectChannelMismatch:
      words = "the channel count differs from the mixer's allow-list entry";
      break;
    default:
      words = "no reason given";
      break;
  }
  return std::to_string(reason) + " (" + words + ")";
}

Impairments::Impairments(double drop, double duplicate, double reorder, std::uint64_t seed)
    : drop_(drop), duplicate_(duplicate), reorder_(reorder), random_(seed) {}

double Impairments::draw() {
  // The engine's output is fixed by the standard; the library's distributions are not.
  return static_cast<double>(random_() >> 11) * 0x1.0p-53;
}

Impairments::Fate Impairments::next() {
  const double d = draw(), u = draw(), h = draw();
  return Fate{d < drop_, u < duplicate_, h < reorder_};
}

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

namespace {

void stream(const Options& o, Report& r, net::UdpSocket& socket) {
  const double period_s = o.frames_per_packet / (static_cast<double>(r.sample_rate) * o.rate_scale);
  std::unique_ptr<SignalSource> source;
  if (o.wav != nullptr) {
    source = std::make_unique<WavSource>(*o.wav, o.channels, o.seconds.has_value());
  } else {
    source = std::make_unique<Tone>(o.tone_hz, o.level, r.sample_rate, o.channels);
  }

  bool send_failed = false;
  auto send_packet = [&](const std::string& packet, bool twice) {
    for (int copy = 0; copy < (twice ? 2 : 1); ++copy) {
      if (int err = socket.send_to(bytes_of(packet), o.mixer)) {
        if (!send_failed) warn("sending AUDIO_TX: %s (further failures are only counted)", os_error_text(err).c_str());
        send_failed = true;
        ++r.send_errors;
      } else {
        ++r.packets_sent;
      }
    }
  };

  Impairments impairments(o.drop, o.duplicate, o.reorder, o.seed);
  struct Held {
    std::string packet;
    bool twice;
  };
  std::optional<Held> held;
  std::vector<std::int16_t> samples(std::size_t{o.frames_per_packet} * o.channels);
  const auto start = Clock::now();
  auto next_progress = start + 1s;

  for (std::uint64_t i = 0;; ++i) {
    // Each packet's time is computed from the start, never from the previous one.
    const double due_s = static_cast<double>(i) * period_s;
    // A nanosecond's grace, so that rounding cannot add a packet at the very end.
    if (o.seconds && due_s + 1e-9 >= *o.seconds) {
      r.ended_by = "seconds";
      break;
    }
    const auto due = start + seconds(due_s);
    sleep_until(due);
    if (stopping()) {
      r.ended_by = "signal";
      break;
    }
    const auto now = Clock::now();
    r.max_late_ms = std::max(r.max_late_ms, std::chrono::duration<double, std::milli>(now - due).count());

    const std::size_t got = source->read(samples.data(), o.frames_per_packet);
    if (got == 0) {
      r.ended_by = "end_of_file";
      break;
    }
    const std::string packet = audio_tx(r.session, static_cast<std::uint32_t>(i), o.channels, samples.data(), got);
    ++r.sequences;
    r.frames += got;

    const auto fate = impairments.next();
    if (fate.drop) {
      ++r.dropped;
    } else {
      if (fate.duplicate) ++r.duplicated;
      if (!held && fate.hold) {
        held = Held{packet, fate.duplicate};
      } else {
        send_packet(packet, fate.duplicate);
        if (held) {
          send_packet(held->packet, held->twice);
          ++r.reordered;
          held.reset();
        }
      }
    }

    if (now >= next_progress) {
      progress(o, "[%5.0f s] %llu packets sent, %llu dropped, %llu duplicated, %llu reordered",
               seconds_between(start, now), static_cast<unsigned long long>(r.packets_sent),
               static_cast<unsigned long long>(r.dropped), static_cast<unsigned long long>(r.duplicated),
               static_cast<unsigned long long>(r.reordered));
      next_progress = std::max(next_progress + 1s, now + 100ms);
    }
    if (got < o.frames_per_packet) {
      r.ended_by = "end_of_file";
      break;
    }
  }

  // A run that ends by itself lasts as long as its audio takes to play, so the
  // mixer's slots are not cut off before the last packet's samples are due.
  if (r.ended_by != "signal") {
    const auto end = r.ended_by == "seconds"
                         ? start + seconds(*o.seconds)
                         : start + seconds(static_cast<double>(r.frames) * period_s / o.frames_per_packet);
    sleep_until(end);
    if (stopping() && Clock::now() < end) r.ended_by = "signal";
  }
  // A packet still held back has no successor to overtake it: it goes out last, in
  // order, and is not counted as reordered.
  if (held) send_packet(held->packet, held->twice);
  r.duration_s = seconds_between(start, Clock::now());
}

}  // namespace

Outcome run(const Options& o, Report& r) {
  r.mixer = o.mixer.to_string();
  r.name = o.name.substr(0, 255);
  r.version = o.version;
  r.channels = o.channels;
  r.frames_per_packet = o.frames_per_packet;
  r.signal = o.wav != nullptr ? "wav" : "tone";
  if (o.wav != nullptr) {
    r.wav_path = o.wav->path().string();
  } else {
    r.tone_hz = o.tone_hz;
    r.level = o.level;
  }
  r.seed = o.seed;
  r.rate_scale = o.rate_scale;

  auto socket = with_context("creating the sender socket", [] { return net::UdpSocket::create(); });
  with_context("binding the sender socket", [&] {
    socket.bind(net::Endpoint::any(0));
    socket.set_nonblocking();
  });
  socket.request_buffers(64 << 10, 1 << 20);

  if (int err = socket.send_to(bytes_of(wire::encode_register_tx(o.version, o.channels, o.name)), o.mixer)) {
    throw Error(os_error_text(err)).context("sending REGISTER_TX to " + r.mixer);
  }
  progress(o, "registering \"%s\" with %s: %u channel(s), protocol v%u", r.name.c_str(), r.mixer.c_str(),
           static_cast<unsigned>(o.channels), static_cast<unsigned>(o.version));

  // The answer. A relay's REJECT (tag 3) is no answer to a sender and is passed over.
  std::optional<wire::AcceptTx> accept;
  std::optional<std::uint8_t> reject;
  std::vector<std::uint8_t> buffer(65536);
  const auto give_up = Clock::now() + seconds(o.register_timeout_s);
  while (!accept && !reject && !stopping() && Clock::now() < give_up) {
    wait_for_datagram(socket.fd(), give_up);
    for (;;) {
      std::size_t length = 0;
      net::Endpoint from;
      int error = 0;
      const auto got = socket.receive(buffer, length, from, error);
      if (got == net::UdpSocket::Received::kNothing) break;
      if (got == net::UdpSocket::Received::kError) throw Error(os_error_text(error)).context("receiving");
      const wire::Bytes d(buffer.data(), length);
      if (auto a = wire::decode_accept_tx(d)) {
        accept = *a;
        break;
      }
      if (length == 2 && d[0] == static_cast<std::uint8_t>(wire::Tag::kRejectTx)) {
        reject = d[1];
        break;
      }
    }
  }
  if (!accept) {
    if (reject)
      return {false, "the mixer at " + r.mixer + " rejected the registration: " + reject_reason_text(*reject)};
    if (stopping()) return {false, "stopped before the mixer at " + r.mixer + " answered"};
    return {false, "no ACCEPT_TX from the mixer at " + r.mixer + " within " + number(o.register_timeout_s) + " s"};
  }

  r.session = accept->session;
  r.sample_rate = accept->sample_rate;
  r.mixer_frames = accept->frames;
  r.start_slot = accept->start_slot;
  progress(o, "accepted: session %s, %u Hz, blocks of %u frames, first slot %u", session_hex(r.session).c_str(),
           r.sample_rate, static_cast<unsigned>(r.mixer_frames), static_cast<unsigned>(r.start_slot));

  // An accepted session we cannot feed is handed back at once rather than left for
  // the mixer to time out.
  auto leave = [&] {
    if (int err = socket.send_to(wire::encode_bye(r.session), o.mixer)) {
      warn("sending BYE: %s", os_error_text(err).c_str());
    }
  };
  if (r.sample_rate == 0) {
    leave();
    return {false, "the mixer at " + r.mixer + " announced a sample rate of 0 Hz"};
  }
  if (o.wav != nullptr && o.wav->format().sample_rate != r.sample_rate) {
    leave();
    return {false, "the WAV file " + r.wav_path + " is sampled at " + std::to_string(o.wav->format().sample_rate) +
                       " Hz but the mixer runs at " + std::to_string(r.sample_rate) +
                       " Hz; convert the file first (vantle-send does not resample)"};
  }
  if (accept->version != o.version) {
    warn("the mixer answered with protocol v%u to a v%u registration", static_cast<unsigned>(accept->version),
         static_cast<unsigned>(o.version));
  }
  if (accept->channels != o.channels) {
    warn("the mixer announces %u channel(s); sending the %u registered", static_cast<unsigned>(accept->channels),
         static_cast<unsigned>(o.channels));
  }
  if (o.wav == nullptr && o.tone_hz >= r.sample_rate / 2.0) {
    warn("a %g Hz tone is at or above half the sample rate and folds back to a lower pitch", o.tone_hz);
  }
  const double period_s = o.frames_per_packet / (static_cast<double>(r.sample_rate) * o.rate_scale);
  if (period_s > kMixerSilenceLimitS) {
    warn("packets go out %.1f s apart; the mixer drops a sender silent for more than %g s", period_s,
         kMixerSilenceLimitS);
  }

  try {
    stream(o, r, socket);
  } catch (...) {
    leave();  // a failure of the WAV file part-way must not leave the session to time out
    throw;
  }
  leave();
  progress(o, "left session %s", session_hex(r.session).c_str());
  return {};
}

json::Json to_json(const Report& r) {
  json::Json j = json::Json::object();
  const bool tone = r.signal == "tone";
  j["mixer"] = r.mixer;
  j["name"] = r.name;
  j["version"] = r.version;
  j["session"] = r.session;
  j["session_hex"] = session_hex(r.session);
  j["sample_rate"] = r.sample_rate;
  j["mixer_frames"] = r.mixer_frames;
  j["start_slot"] = r.start_slot;
  j["channels"] = r.channels;
  j["frames_per_packet"] = r.frames_per_packet;
  j["signal"] = r.signal;
  j["tone_hz"] = tone ? json::Json(r.tone_hz) : json::Json(nullptr);
  j["level"] = tone ? json::Json(r.level) : json::Json(nullptr);
  j["wav"] = tone ? json::Json(nullptr) : json::Json(r.wav_path);
  j["seed"] = r.seed;
  j["rate_scale"] = r.rate_scale;
  j["sequences"] = r.sequences;
  j["packets_sent"] = r.packets_sent;
  j["dropped"] = r.dropped;
  j["duplicated"] = r.duplicated;
  j["reordered"] = r.reordered;
  j["send_errors"] = r.send_errors;
  j["frames"] = r.frames;
  j["audio_s"] = audio_seconds(r);
  j["duration_s"] = r.duration_s;
  j["max_late_ms"] = r.max_late_ms;
  j["ended_by"] = r.ended_by;
  return j;
}

std::string to_text(const Report& r) {
  std::string out;
  auto line = [&](const char* label, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "%-13s", label);
    out += head + text + "\n";
  };
  line("session",
       session_hex(r.session) + " \"" + r.name + "\" at " + r.mixer + ", protocol v" + std::to_string(r.version));
  line("format", std::to_string(r.sample_rate) + " Hz, " + std::to_string(r.channels) + " channel(s) from slot " +
                     std::to_string(r.start_slot) + ", " + std::to_string(r.frames_per_packet) +
                     " frames per packet (mixer blocks: " + std::to_string(r.mixer_frames) + ")");
  line("signal",
       r.signal == "tone" ? "tone " + number(r.tone_hz) + " Hz at level " + number(r.level) : "WAV file " + r.wav_path);
  line("sequence", r.sequences > 0
                       ? "0 to " + std::to_string(r.sequences - 1) + " (" + std::to_string(r.sequences) + " numbers)"
                       : std::string("none used"));
  line("packets", std::to_string(r.packets_sent) + " sent, " + std::to_string(r.dropped) + " dropped, " +
                      std::to_string(r.duplicated) + " duplicated, " + std::to_string(r.reordered) +
                      " reordered (seed " + std::to_string(r.seed) + ")");
  if (r.send_errors > 0) line("send errors", std::to_string(r.send_errors));
  line("audio", std::to_string(r.frames) + " frames (" + fixed(audio_seconds(r), 3) + " s)");
  const char* ending = r.ended_by == "seconds"       ? "the --seconds limit"
                       : r.ended_by == "end_of_file" ? "the end of the WAV file"
                                                     : "a stop signal";
  line("duration", fixed(r.duration_s, 3) + " s at rate scale " + number(r.rate_scale) + ", ended by " + ending +
                       "; packets at most " + fixed(r.max_late_ms, 2) + " ms behind schedule");
  return out;
}

}  // namespace vantle::send

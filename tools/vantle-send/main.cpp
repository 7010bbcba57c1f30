// vantle-send: feeds a mixer's ingest slots as a remote sender does, for operators
// checking a path and for tests that need a real peer, including a misbehaving one.
#include <netdb.h>
#include <sys/socket.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "broadcast/wire.hpp"
#include "sender.hpp"
#include "util/error.hpp"
#include "util/udp.hpp"
#include "wav_reader.hpp"

namespace {

using vantle::Error;
using vantle::net::Endpoint;
using vantle::net::resolve;
using vantle::net::split_host_port;

constexpr const char* kDescription =
    "vantle-send: stream audio into a vantle-mixer's ingest slots as a remote sender.\n"
    "\n"
    "Registers NAME with the mixer's broadcast port for N channels (REGISTER_TX), waits\n"
    "for ACCEPT_TX, then sends AUDIO_TX packets of K frames at the sample rate the mixer\n"
    "announces, paced in real time on the monotonic clock (each packet has its own\n"
    "time counted from the start, so the stream does not drift). Sequence numbers start\n"
    "at 0 and grow by 1 per packet. At the end it leaves with BYE and prints a report.\n"
    "\n"
    "The signal is a sine tone on every channel, or a 16-bit PCM WAV file sent sample\n"
    "for sample: sent channel c takes file channel c mod C, so a mono file feeds every\n"
    "channel, a stereo file alternates left and right, and extra file channels are\n"
    "left out. The file must be at the mixer's sample rate (nothing is resampled).\n";

constexpr const char* kFooter =
    "Length of the run: --seconds S of wall-clock time (a WAV file is looped to fill\n"
    "it); without it, the whole WAV file once, or a tone until SIGINT/SIGTERM. A signal\n"
    "always ends the run early, still with BYE and a report. With --rate-scale R the\n"
    "packets go out R times as fast as real time, so S seconds carry S*R seconds of\n"
    "audio: above 1 the mixer's slots overflow, below 1 they run dry.\n"
    "\n"
    "Misbehaving on purpose (each packet independently, repeatable with --seed):\n"
    "  --drop P       the packet is not sent; its sequence number is used all the same\n"
    "  --duplicate P  the packet is sent twice in a row\n"
    "  --reorder P    the packet is held back and sent right after the next one sent\n"
    "                 (one at a time; a packet still held at the end goes out last and\n"
    "                 does not count as reordered)\n"
    "Each packet takes the same random draws whatever the probabilities, so one seed\n"
    "drops the same packets with or without --duplicate and --reorder.\n"
    "\n"
    "The report (text, or one JSON object with --json) gives the session, sample rate,\n"
    "the mixer's block size F and the first ingest slot, then the sequence numbers\n"
    "used, packets sent (second copies included), dropped, duplicated and reordered,\n"
    "the frames of signal behind the sequence numbers used, and the duration. JSON\n"
    "members: mixer, name, version, session, session_hex, sample_rate, mixer_frames,\n"
    "start_slot, channels, frames_per_packet, signal, tone_hz, level, wav, seed,\n"
    "rate_scale, sequences, packets_sent, dropped, duplicated, reordered, send_errors,\n"
    "frames, audio_s, duration_s, max_late_ms, ended_by (seconds, end_of_file, signal).\n"
    "\n"
    "Exit status: 0 after streaming; 1 when the mixer rejects the registration or does\n"
    "not answer, or on a local failure (socket, WAV file, a WAV file at another sample\n"
    "rate than the mixer's); 2 for command-line errors.\n"
    "\n"
    "Examples:\n"
    "  vantle-send --mixer 127.0.0.1:5005 --name studio-b --channels 2 --tone 440\n"
    "  vantle-send --mixer studio:5005 --name studio-b --channels 2 --wav jingle.wav\n"
    "  vantle-send --mixer 127.0.0.1:5005 --name studio-b --channels 1 --tone 1000 \\\n"
    "      --seconds 10 --drop 0.05 --reorder 0.02 --seed 7 --json\n";

constexpr int kUsageError = 2;
// Every datagram the mixer reads is cut to this size, so a packet must fit in it.
constexpr std::size_t kAudioTxHeader = 10;
constexpr unsigned kDefaultFramesPerPacket = 128;

int usage_error(const std::string& message) {
  std::cerr << "vantle-send: " << message << "\nRun with --help for more information.\n";
  return kUsageError;
}

// The most frames of `channels` samples one datagram can carry.
unsigned max_frames_per_packet(unsigned channels) {
  if (channels == 0) return 65535;
  return static_cast<unsigned>((vantle::broadcast::wire::kMaxDatagram - kAudioTxHeader) / (2 * channels));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "vantle-send"};
  app.footer(kFooter);

  std::string mixer, name, wav;
  int version = 2, channels = 0;
  unsigned frames = kDefaultFramesPerPacket;
  double tone = 0, level = 0.5, seconds = 0, register_timeout = 3.0, rate_scale = 1.0;
  double drop = 0, duplicate = 0, reorder = 0;
  std::string seed_text;
  bool json = false, quiet = false;

  // The ranges are given in the descriptions, so the value names stay short.
  auto range = [](auto low, auto high) { return CLI::Range(low, high).description(""); };
  auto* mixer_opt =
      app.add_option("--mixer", mixer, "The mixer's broadcast address (required)")->type_name("HOST:PORT");
  auto* name_opt =
      app.add_option("--name", name, "The sender name on the mixer's allow-list (required; up to 255 bytes of UTF-8)")
          ->type_name("NAME");
  auto* channels_opt =
      app.add_option("--channels", channels,
                     "Channels to register and send, 0 to 255 (required; must match the mixer's allow-list entry)")
          ->type_name("N")
          ->check(range(0, 255));
  app.add_option("--version", version, "Protocol version to register with, 0 to 255 (default 2)")
      ->type_name("V")
      ->check(range(0, 255));
  app.add_option("--register-timeout", register_timeout, "Seconds to wait for ACCEPT_TX (default 3)")
      ->type_name("S")
      ->check(range(0.001, 3600.0));
  auto* wav_opt = app.add_option("--wav", wav, "Send this 16-bit PCM WAV file")->type_name("FILE");
  auto* tone_opt = app.add_option("--tone", tone, "Send a sine tone of HZ on every channel (0.001 to 1000000)")
                       ->type_name("HZ")
                       ->check(range(0.001, 1e6));
  auto* level_opt = app.add_option("--level", level, "Peak level of the tone, 0 to 1 (default 0.5)")
                        ->type_name("L")
                        ->check(range(0.0, 1.0));
  auto* seconds_opt = app.add_option("--seconds", seconds, "Stop after S seconds (see below)")
                          ->type_name("S")
                          ->check(range(0.001, 1e7));
  auto* frames_opt = app.add_option("--frames", frames,
                                    "Frames per AUDIO_TX packet (default 128, or as many as fit in the mixer's "
                                    "4096-byte datagrams when 128 do not)")
                         ->type_name("K")
                         ->check(range(1u, 65535u));
  app.add_option("--drop", drop, "Probability of dropping a packet, 0 to 1")->type_name("P")->check(range(0.0, 1.0));
  app.add_option("--duplicate", duplicate, "Probability of sending a packet twice, 0 to 1")
      ->type_name("P")
      ->check(range(0.0, 1.0));
  app.add_option("--reorder", reorder, "Probability of sending a packet after its successor, 0 to 1")
      ->type_name("P")
      ->check(range(0.0, 1.0));
  // Read as text: the parser would wrap a negative seed round and cap one that is too large.
  auto* seed_opt = app.add_option("--seed", seed_text,
                                  "Seed of the drop/duplicate/reorder choices (default: random, shown in the report)")
                       ->type_name("X");
  app.add_option("--rate-scale", rate_scale, "Send R times as fast as real time, 0.001 to 1000 (default 1)")
      ->type_name("R")
      ->check(range(0.001, 1000.0));
  app.add_flag("--json", json, "Print the report as one JSON object, and no progress lines");
  app.add_flag("-q,--quiet", quiet, "No progress lines");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }

  for (auto* required : {mixer_opt, name_opt, channels_opt}) {
    if (required->count() == 0) return usage_error(required->get_name() + " is required");
  }
  if ((wav_opt->count() > 0) == (tone_opt->count() > 0)) return usage_error("give exactly one of --wav and --tone");
  if (wav_opt->count() > 0 && wav.empty()) return usage_error("--wav needs a file name");
  if (level_opt->count() > 0 && tone_opt->count() == 0) return usage_error("--level applies only to --tone");
  auto host_port = split_host_port(mixer);
  if (!host_port) return usage_error("--mixer: expected HOST:PORT with a port from 1 to 65535, got '" + mixer + "'");
  std::uint64_t seed = 0;
  if (seed_opt->count() > 0) {
    const char* end = seed_text.data() + seed_text.size();
    auto [stop, ec] = std::from_chars(seed_text.data(), end, seed);
    if (seed_text.empty() || ec != std::errc() || stop != end) {
      return usage_error("--seed: expected a whole number from 0 to 18446744073709551615, got '" + seed_text + "'");
    }
  } else {
    seed = std::random_device{}();
  }
  const unsigned max_frames = max_frames_per_packet(static_cast<unsigned>(channels));
  if (frames_opt->count() == 0) {
    frames = std::min(frames, max_frames);
  } else if (frames > max_frames) {
    return usage_error("--frames " + std::to_string(frames) + " of " + std::to_string(channels) +
                       " channel(s) do not fit in one datagram; at most " + std::to_string(max_frames));
  }

  vantle::send::Options options;
  std::unique_ptr<vantle::send::WavReader> wav_file;
  try {
    options.mixer = resolve(host_port->first, host_port->second);
    // Read before registering, so a bad file costs the mixer no session.
    if (!wav.empty()) wav_file = std::make_unique<vantle::send::WavReader>(wav);
  } catch (const Error& e) {
    std::cerr << "vantle-send: " << e.joined() << "\n";
    return 1;
  }
  if (name.size() > 255) std::cerr << "vantle-send: warning: the name is cut to 255 bytes\n";
  options.name = name;
  options.version = static_cast<std::uint8_t>(version);
  options.channels = static_cast<std::uint8_t>(channels);
  options.register_timeout_s = register_timeout;
  options.tone_hz = tone;
  options.level = level;
  options.wav = wav_file.get();
  if (seconds_opt->count() > 0) options.seconds = seconds;
  options.frames_per_packet = static_cast<std::uint16_t>(frames);
  options.drop = drop;
  options.duplicate = duplicate;
  options.reorder = reorder;
  options.seed = seed;
  options.rate_scale = rate_scale;
  options.progress = !json && !quiet;

  vantle::send::install_stop_signals();
  vantle::send::Report report;
  try {
    auto outcome = vantle::send::run(options, report);
    if (!outcome.streamed) {
      std::cerr << "vantle-send: " << outcome.why << "\n";
      return 1;
    }
  } catch (const Error& e) {
    std::cerr << "vantle-send: " << e.joined() << "\n";
    return 1;
  }

  if (json) {
    std::cout << vantle::send::to_json(report).dump() << "\n";
  } else {
    std::cout << vantle::send::to_text(report);
  }
  std::cout.flush();
  return 0;
}

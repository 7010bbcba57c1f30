// A remote sender of a mixer's ingest: registers, streams AUDIO_TX in real time
// (or deliberately faster or slower), optionally mistreats its own packets the way
// a network would, and leaves with BYE.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "util/json.hpp"
#include "util/udp.hpp"
#include "wav_reader.hpp"

namespace vantle::send {

struct Options {
  net::Endpoint mixer;
  std::string name;
  std::uint8_t version = 2;
  std::uint8_t channels = 1;
  double register_timeout_s = 3.0;
  // The signal: a tone unless `wav` is given.
  double tone_hz = 440.0;
  double level = 0.5;
  WavReader* wav = nullptr;
  std::optional<double> seconds;  // wall-clock length of the run; open-ended when absent
  std::uint16_t frames_per_packet = 128;
  double drop = 0, duplicate = 0, reorder = 0;
  std::uint64_t seed = 0;
  double rate_scale = 1.0;
  bool progress = true;  // progress lines on standard error
};

struct Report {
  std::string mixer;
  std::string name;
  std::uint8_t version = 0;
  std::uint8_t channels = 0;
  std::uint32_t session = 0;
  std::uint32_t sample_rate = 0;
  std::uint16_t mixer_frames = 0;  // F, as announced
  std::uint16_t start_slot = 0;
  std::uint16_t frames_per_packet = 0;
  std::string signal;  // "tone" or "wav"
  double tone_hz = 0, level = 0;
  std::string wav_path;
  std::uint64_t seed = 0;
  double rate_scale = 1.0;
  std::uint64_t sequences = 0;     // sequence numbers used, dropped packets included
  std::uint64_t packets_sent = 0;  // datagrams sent, second copies included
  std::uint64_t dropped = 0;
  std::uint64_t duplicated = 0;
  std::uint64_t reordered = 0;  // packets that went out after their successor
  std::uint64_t frames = 0;     // frames of signal behind the sequence numbers used
  std::uint64_t send_errors = 0;
  double duration_s = 0;   // from ACCEPT_TX to BYE
  double max_late_ms = 0;  // how far a packet fell behind its scheduled time
  std::string ended_by;    // "seconds", "end_of_file" or "signal"
};

// Decides, packet by packet, what the network would have done to it. Every packet
// takes the same three draws whatever the probabilities, so with one seed the packets
// chosen for dropping do not change when duplication or reordering is switched on.
class Impairments {
 public:
  Impairments(double drop, double duplicate, double reorder, std::uint64_t seed);

  struct Fate {
    bool drop = false;
    bool duplicate = false;
    bool hold = false;  // send after the next packet
  };
  Fate next();

 private:
  double draw();  // uniform in [0, 1), the same on every platform

  double drop_, duplicate_, reorder_;
  std::mt19937_64 random_;
};

// Blocks SIGINT and SIGTERM except while waiting, so a stop request always ends the
// wait instead of slipping in just before it.
void install_stop_signals();

struct Outcome {
  bool streamed = true;  // false: not accepted, or nothing could be sent
  std::string why;
};

// Registers and streams until the run ends. Throws Error for failures of the local
// system (the socket, the WAV file).
Outcome run(const Options& options, Report& report);

json::Json to_json(const Report& report);
std::string to_text(const Report& report);

// "2 (unsupported protocol version)" and the like, for a REJECT_TX reason.
std::string reject_reason_text(std::uint8_t reason);

}  // namespace vantle::send

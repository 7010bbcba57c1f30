// What a relay heard: sequence behaviour, levels and counts, and the report that
// presents them as text for an operator or as one JSON object for scripts.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "broadcast/wire.hpp"
#include "util/json.hpp"

namespace vantle::relay {

// Follows one stream of 32-bit sequence numbers across wrap-around. Steps are
// measured against the highest number seen; a number seen recently again is a
// duplicate, any other number below the highest arrived out of order.
class SequenceTracker {
 public:
  void add(std::uint32_t sequence);

  std::uint64_t packets() const { return packets_; }
  std::uint64_t duplicates() const { return duplicates_; }
  std::uint64_t out_of_order() const { return out_of_order_; }
  std::uint64_t steps_over_one() const { return steps_over_one_; }
  std::uint64_t largest_step() const { return largest_step_; }
  std::optional<std::uint32_t> first() const { return first_; }
  // The furthest number reached (not the last to arrive, which may be a late one).
  std::optional<std::uint32_t> last() const {
    return first_ ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(highest_)) : std::nullopt;
  }
  // Numbers between the lowest and the highest seen that never arrived. Meaningful
  // only where every packet takes the next number (a multicast bus).
  std::uint64_t missing() const;

 private:
  static constexpr std::size_t kWindow = 1024;  // how far back duplicates are recognised

  std::optional<std::uint32_t> first_;
  std::int64_t highest_ = 0;  // unwrapped
  std::int64_t lowest_ = 0;
  std::set<std::int64_t> recent_;
  std::uint64_t packets_ = 0, distinct_ = 0, duplicates_ = 0, out_of_order_ = 0;
  std::uint64_t steps_over_one_ = 0, largest_step_ = 0;
};

struct Report {
  bool multicast = false;
  std::string address;              // the mixer, or the group (or local address) listened on
  std::string name;                 // unicast only
  std::string bus;                  // multicast only
  std::optional<std::uint32_t> session;  // unicast only
  std::uint8_t version = 0;
  std::uint32_t sample_rate = 0;
  std::uint32_t frames_per_packet = 0;
  double duration_s = 0;            // from ACCEPT (or from joining) to the end
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;          // whole datagrams
  std::uint64_t frames = 0;
  SequenceTracker sequence;
  float peak = 0;                   // largest |sample|, 1.0 = full scale
  std::uint64_t pings = 0;
  std::uint64_t pongs = 0;
  std::optional<double> since_last_packet_s;
  std::uint64_t ignored = 0;        // datagrams that did not decode or were not ours
  std::string wav_path;
  std::uint64_t wav_frames = 0;
  bool wav_truncated = false;
  std::string wav_error;
};

// Folds the samples of one packet into the peak.
float peak_of(broadcast::wire::Bytes samples, float peak);
// 20·log10(peak); nothing for silence.
std::optional<double> dbfs(float peak);

json::Json to_json(const Report& report);
std::string to_text(const Report& report);

}  // namespace vantle::relay

#include "listening.hpp"

#include <cmath>
#include <cstdio>

namespace vantle::relay {

void SequenceTracker::add(std::uint32_t sequence) {
  ++packets_;
  if (!first_) {
    first_ = sequence;
    highest_ = lowest_ = sequence;
    recent_.insert(highest_);
    distinct_ = 1;
    return;
  }
  // Unwrapped against the highest number so far: half the number space ahead counts
  // as forward, the other half as behind.
  const auto delta = static_cast<std::int32_t>(sequence - static_cast<std::uint32_t>(highest_));
  const std::int64_t unwrapped = highest_ + delta;
  if (unwrapped > highest_) {
    const auto step = static_cast<std::uint64_t>(unwrapped - highest_);
    if (step > 1) {
      ++steps_over_one_;
      if (step > largest_step_) largest_step_ = step;
    }
    highest_ = unwrapped;
  } else if (recent_.count(unwrapped) != 0) {
    ++duplicates_;
    return;
  } else {
    ++out_of_order_;
  }
  if (unwrapped < lowest_) lowest_ = unwrapped;
  ++distinct_;
  recent_.insert(unwrapped);
  while (!recent_.empty() && *recent_.begin() < highest_ - static_cast<std::int64_t>(kWindow)) {
    recent_.erase(recent_.begin());
  }
}

std::uint64_t SequenceTracker::missing() const {
  if (!first_) return 0;
  const auto span = static_cast<std::uint64_t>(highest_ - lowest_) + 1;
  // A duplicate older than the window counts as distinct; never report less than none.
  return span > distinct_ ? span - distinct_ : 0;
}

float peak_of(broadcast::wire::Bytes samples, float peak) {
  const std::size_t count = samples.size() / 2;
  for (std::size_t i = 0; i < count; ++i) {
    const float x = std::fabs(broadcast::wire::decode_sample(broadcast::wire::sample_at(samples, i)));
    if (x > peak) peak = x;
  }
  return peak;
}

std::optional<double> dbfs(float peak) {
  if (!(peak > 0.0f)) return std::nullopt;
  return 20.0 * std::log10(static_cast<double>(peak));
}

namespace {

json::Json optional_number(const std::optional<double>& v) { return v ? json::Json(*v) : json::Json(nullptr); }

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

double packet_rate(const Report& r) {
  return r.duration_s > 0 ? static_cast<double>(r.packets) / r.duration_s : 0.0;
}

double audio_seconds(const Report& r) {
  return r.sample_rate > 0 ? static_cast<double>(r.frames) / r.sample_rate : 0.0;
}

}  // namespace

json::Json to_json(const Report& r) {
  json::Json j = json::Json::object();
  const auto& seq = r.sequence;
  j["mode"] = r.multicast ? "multicast" : "unicast";
  j["address"] = r.address;
  j["name"] = r.multicast ? json::Json(nullptr) : json::Json(r.name);
  j["bus"] = r.multicast ? json::Json(r.bus) : json::Json(nullptr);
  j["session"] = r.session ? json::Json(*r.session) : json::Json(nullptr);
  j["session_hex"] = r.session ? json::Json(session_hex(*r.session)) : json::Json(nullptr);
  j["version"] = r.multicast ? json::Json(nullptr) : json::Json(r.version);
  j["sample_rate"] = r.sample_rate;
  j["frames_per_packet"] = r.frames_per_packet;
  j["duration_s"] = r.duration_s;
  j["packets"] = r.packets;
  j["bytes"] = r.bytes;
  j["frames"] = r.frames;
  j["audio_s"] = audio_seconds(r);
  j["packets_per_second"] = packet_rate(r);
  j["first_sequence"] = seq.first() ? json::Json(*seq.first()) : json::Json(nullptr);
  j["last_sequence"] = seq.last() ? json::Json(*seq.last()) : json::Json(nullptr);
  j["sequence_steps_over_one"] = seq.steps_over_one();
  j["largest_sequence_step"] = seq.largest_step();
  j["out_of_order"] = seq.out_of_order();
  j["duplicates"] = seq.duplicates();
  j["lost"] = r.multicast ? json::Json(seq.missing()) : json::Json(nullptr);
  j["peak"] = r.peak;
  j["peak_dbfs"] = optional_number(dbfs(r.peak));
  j["pings"] = r.pings;
  j["pongs"] = r.pongs;
  j["since_last_packet_s"] = optional_number(r.since_last_packet_s);
  j["ignored"] = r.ignored;
  j["wav"] = r.wav_path.empty() ? json::Json(nullptr) : json::Json(r.wav_path);
  j["wav_frames"] = r.wav_frames;
  j["wav_truncated"] = r.wav_truncated;
  j["wav_error"] = r.wav_error.empty() ? json::Json(nullptr) : json::Json(r.wav_error);
  return j;
}

std::string to_text(const Report& r) {
  const auto& seq = r.sequence;
  std::string out;
  auto line = [&](const char* label, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "%-13s", label);
    out += head + text + "\n";
  };
  if (r.multicast) {
    line("listening", r.address + ", bus " + r.bus);
  } else {
    line("session", (r.session ? session_hex(*r.session) : std::string("none")) + " \"" + r.name + "\" at " +
                        r.address + ", protocol v" + std::to_string(r.version));
  }
  line("format", std::to_string(r.sample_rate) + " Hz" + (r.multicast ? " (assumed)" : "") + ", " +
                     std::to_string(r.frames_per_packet) + " frames per packet");
  line("listened", fixed(r.duration_s, 2) + " s");
  line("packets", std::to_string(r.packets) + " (" + fixed(packet_rate(r), 1) + " per second), " +
                      std::to_string(r.bytes) + " bytes, " + std::to_string(r.frames) + " frames (" +
                      fixed(audio_seconds(r), 2) + " s of audio)");
  if (seq.first()) {
    line("sequence", "first " + std::to_string(*seq.first()) + ", last " + std::to_string(*seq.last()) + "; " +
                         std::to_string(seq.steps_over_one()) + " steps above 1 (largest " +
                         std::to_string(seq.largest_step()) + "), " + std::to_string(seq.out_of_order()) +
                         " out of order, " + std::to_string(seq.duplicates()) + " duplicates");
    if (r.multicast) {
      line("lost", std::to_string(seq.missing()) + " packets");
    } else {
      line("", "(the mixer numbers the blocks of all buses in one series, so steps above 1 are normal while "
               "other buses are live)");
    }
  }
  const auto level = dbfs(r.peak);
  line("peak", fixed(r.peak, 4) + " (" + (level ? fixed(*level, 1) + " dBFS" : std::string("silence")) + ")");
  if (!r.multicast) line("pongs", std::to_string(r.pongs) + " for " + std::to_string(r.pings) + " pings");
  line("last packet", r.since_last_packet_s ? fixed(*r.since_last_packet_s, 3) + " s ago" : std::string("never"));
  line("ignored", std::to_string(r.ignored) + " datagrams");
  if (!r.wav_path.empty()) {
    std::string wav = r.wav_path + ", " + std::to_string(r.wav_frames) + " frames";
    if (r.wav_truncated) wav += ", stopped at the format's 4 GiB limit";
    if (!r.wav_error.empty()) wav += ", FAILED: " + r.wav_error;
    line("wav", wav);
  }
  return out;
}

}  // namespace vantle::relay

#include "signal_source.hpp"

#include <cmath>
#include <numbers>

#include "broadcast/wire.hpp"

namespace vantle::send {

Tone::Tone(double hz, double level, std::uint32_t sample_rate, unsigned channels)
    : hz_(hz), level_(level), sample_rate_(sample_rate), channels_(channels) {}

std::size_t Tone::read(std::int16_t* out, std::size_t frames) {
  for (std::size_t f = 0; f < frames; ++f, ++frame_) {
    // The phase is split into whole seconds and the rest, so that hours into a run
    // it is still as exact as at the start (hz · n alone outgrows a double's fraction).
    const std::uint64_t whole_seconds = frame_ / sample_rate_;
    const std::uint64_t rest = frame_ % sample_rate_;
    const double cycles =
        std::fmod(hz_ * static_cast<double>(whole_seconds), 1.0) + hz_ * static_cast<double>(rest) / sample_rate_;
    const auto sample = broadcast::wire::encode_sample(
        static_cast<float>(level_ * std::sin(2.0 * std::numbers::pi * std::fmod(cycles, 1.0))));
    for (unsigned c = 0; c < channels_; ++c) *out++ = sample;
  }
  return frames;
}

WavSource::WavSource(WavReader& file, unsigned channels, bool loop) : file_(file), channels_(channels), loop_(loop) {}

std::size_t WavSource::read(std::int16_t* out, std::size_t frames) {
  const unsigned file_channels = file_.format().channels;
  std::size_t done = 0;
  while (done < frames) {
    scratch_.resize((frames - done) * file_channels);
    std::size_t got = file_.read(scratch_.data(), frames - done);
    if (got == 0) {
      if (!loop_) break;
      file_.rewind();
      // The reader refuses files without audio, so a rewound file always yields.
      got = file_.read(scratch_.data(), frames - done);
      if (got == 0) break;
    }
    for (std::size_t f = 0; f < got; ++f) {
      for (unsigned c = 0; c < channels_; ++c) {
        out[(done + f) * channels_ + c] = scratch_[f * file_channels + c % file_channels];
      }
    }
    done += got;
  }
  return done;
}

}  // namespace vantle::send

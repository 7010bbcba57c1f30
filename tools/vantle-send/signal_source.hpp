// What a sender sends: a sine tone on every channel, or a WAV file mapped onto the
// channels the mixer expects. Both produce the wire's 16-bit samples directly, so a
// file's samples reach the mixer bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "wav_reader.hpp"

namespace vantle::send {

class SignalSource {
 public:
  virtual ~SignalSource() = default;
  // Up to `frames` frames of interleaved samples, as many per frame as the source
  // was made for; fewer only where a signal that does not loop comes to its end.
  virtual std::size_t read(std::int16_t* out, std::size_t frames) = 0;
};

// level · sin(2π · hz · n / sample_rate) for frame n, the same on every channel.
class Tone final : public SignalSource {
 public:
  Tone(double hz, double level, std::uint32_t sample_rate, unsigned channels);
  std::size_t read(std::int16_t* out, std::size_t frames) override;

 private:
  double hz_, level_;
  std::uint32_t sample_rate_;
  unsigned channels_;
  std::uint64_t frame_ = 0;
};

// Channel c of what is sent takes channel c mod C of a file with C channels: a mono
// file feeds every channel, a stereo one alternates, extra file channels are left
// out. With `loop` the file starts again at its end and never runs out.
class WavSource final : public SignalSource {
 public:
  WavSource(WavReader& file, unsigned channels, bool loop);
  std::size_t read(std::int16_t* out, std::size_t frames) override;

 private:
  WavReader& file_;
  unsigned channels_;
  bool loop_;
  std::vector<std::int16_t> scratch_;
};

}  // namespace vantle::send

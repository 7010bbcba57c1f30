// A 16-bit stereo PCM WAV file written as packets arrive. The header's sizes are
// unknown until the end, so a placeholder goes first and `finish` patches it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>

namespace vantle::relay {

class WavWriter {
 public:
  // Creates or truncates the file. Throws Error.
  explicit WavWriter(const std::filesystem::path& path);
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Interleaved little-endian i16 stereo frames, as carried by the packets. Stops
  // taking data, without failing, where the format's 32-bit sizes would overflow.
  // Throws Error when the write fails.
  void append(std::span<const std::uint8_t> frames);

  // Writes the final header with `sample_rate` and closes the file. Throws Error.
  void finish(std::uint32_t sample_rate);

  std::uint64_t frames() const { return data_bytes_ / kFrameBytes; }
  bool truncated() const { return truncated_; }

  static constexpr std::uint32_t kFrameBytes = 4;
  static constexpr std::uint32_t kHeaderBytes = 44;

 private:
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
  std::uint64_t data_bytes_ = 0;
  bool truncated_ = false;
};

}  // namespace vantle::relay

// A 16-bit PCM WAV file read frame by frame, so a long recording can be streamed
// (and looped) without holding it in memory. Hand-written: the format is small and
// no packaged library we already depend on reads it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace vantle::send {

struct WavFormat {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint64_t frames = 0;
};

class WavReader {
 public:
  // Opens the file and reads its header: RIFF/WAVE with a PCM (or extensible PCM)
  // format of 16 bits, any number of channels, and at least one frame of audio.
  // Chunks other than "fmt " and "data" are skipped. A data size that runs past the
  // end of the file (as left by a writer that never finished) is cut to the whole
  // frames present. Throws Error.
  explicit WavReader(const std::filesystem::path& path);
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  const WavFormat& format() const { return format_; }
  const std::filesystem::path& path() const { return path_; }

  // Up to `frames` frames of interleaved samples (format().channels per frame) into
  // `out`; fewer only at the end of the data, none once it is reached. Throws Error.
  std::size_t read(std::int16_t* out, std::size_t frames);

  // Back to the first frame. Throws Error.
  void rewind();

 private:
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
  WavFormat format_;
  off_t data_offset_ = 0;
  std::uint64_t position_ = 0;  // frames read since the start of the data
};

}  // namespace vantle::send

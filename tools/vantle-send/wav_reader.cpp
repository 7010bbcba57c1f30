#include "wav_reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "util/error.hpp"

namespace vantle::send {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

std::uint16_t u16_at(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32_at(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Everything that can go wrong with the file's contents, as opposed to reading it.
[[noreturn]] void malformed(const std::string& why) { throw Error(why); }

}  // namespace

WavReader::WavReader(const std::filesystem::path& path) : path_(path) {
  with_context("reading the WAV file " + path.string(), [&] {
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) throw Error(os_error_text(errno));
    struct stat info {};
    if (::fstat(::fileno(file_), &info) != 0) throw Error(os_error_text(errno));
    const auto file_size = static_cast<std::uint64_t>(info.st_size);

    // Reads exactly `n` bytes or explains that the file ends early.
    auto read_exact = [&](std::uint8_t* into, std::size_t n, const char* what) {
      if (std::fread(into, 1, n, file_) != n) {
        if (std::ferror(file_)) throw Error(os_error_text(errno));
        malformed(std::string("the file ends inside ") + what);
      }
    };

    std::uint8_t riff[12];
    read_exact(riff, sizeof riff, "the RIFF header");
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
      malformed("not a RIFF/WAVE file (only little-endian RIFF WAVE files are read)");
    }

    bool have_format = false;
    for (;;) {
      std::uint8_t head[8];
      if (std::fread(head, 1, sizeof head, file_) != sizeof head) {
        if (std::ferror(file_)) throw Error(os_error_text(errno));
        malformed(have_format ? "no \"data\" chunk" : "no \"fmt \" chunk");
      }
      const std::uint32_t size = u32_at(head + 4);
      const off_t body = ::ftello(file_);
      if (std::memcmp(head, "fmt ", 4) == 0) {
        if (size < 16) malformed("the \"fmt \" chunk is too short (" + std::to_string(size) + " bytes)");
        std::vector<std::uint8_t> fmt(std::min<std::uint32_t>(size, 64));
        read_exact(fmt.data(), fmt.size(), "the \"fmt \" chunk");
        std::uint16_t tag = u16_at(&fmt[0]);
        if (tag == kFormatExtensible) {
          // The sub-format GUID starts with the format code it extends.
          if (fmt.size() < 40) malformed("the extensible \"fmt \" chunk is too short");
          tag = u16_at(&fmt[24]);
        }
        if (tag != kFormatPcm) malformed("not PCM (format code " + std::to_string(tag) + ")");
        format_.channels = u16_at(&fmt[2]);
        format_.sample_rate = u32_at(&fmt[4]);
        const std::uint16_t block_align = u16_at(&fmt[12]);
        const std::uint16_t bits = u16_at(&fmt[14]);
        if (bits != 16) malformed(std::to_string(bits) + "-bit samples (only 16-bit PCM is read)");
        if (format_.channels == 0) malformed("no channels");
        if (format_.sample_rate == 0) malformed("a sample rate of 0 Hz");
        if (block_align != 2u * format_.channels) {
          malformed("a block size of " + std::to_string(block_align) + " bytes for " +
                    std::to_string(format_.channels) + " channels of 16 bits");
        }
        have_format = true;
      } else if (std::memcmp(head, "data", 4) == 0) {
        if (!have_format) malformed("the \"data\" chunk comes before the \"fmt \" chunk");
        const std::uint64_t present = file_size > static_cast<std::uint64_t>(body) ? file_size - body : 0;
        const std::uint64_t bytes = std::min<std::uint64_t>(size, present);
        format_.frames = bytes / (2u * format_.channels);
        if (format_.frames == 0) malformed("no audio (the \"data\" chunk holds no whole frame)");
        data_offset_ = body;
        return;
      }
      // Chunks are padded to an even length.
      const off_t next = body + static_cast<off_t>(size) + static_cast<off_t>(size & 1u);
      if (static_cast<std::uint64_t>(next) > file_size) {
        malformed(have_format ? "no \"data\" chunk" : "no \"fmt \" chunk");
      }
      if (::fseeko(file_, next, SEEK_SET) != 0) throw Error(os_error_text(errno));
    }
  });
}

WavReader::~WavReader() {
  if (file_ != nullptr) std::fclose(file_);
}

std::size_t WavReader::read(std::int16_t* out, std::size_t frames) {
  const std::uint64_t left = format_.frames - position_;
  if (frames > left) frames = static_cast<std::size_t>(left);
  if (frames == 0) return 0;
  const std::size_t samples = frames * format_.channels;
  // Samples are little-endian in the file whatever the host's order.
  auto* bytes = reinterpret_cast<std::uint8_t*>(out);
  const std::size_t got = std::fread(bytes, 2, samples, file_);
  if (got != samples) {
    const int err = errno;
    throw Error(std::ferror(file_) ? os_error_text(err) : std::string("the file became shorter while being read"))
        .context("reading the WAV file " + path_.string());
  }
  for (std::size_t i = 0; i < samples; ++i) {
    out[i] = static_cast<std::int16_t>(u16_at(bytes + 2 * i));
  }
  position_ += frames;
  return frames;
}

void WavReader::rewind() {
  if (::fseeko(file_, data_offset_, SEEK_SET) != 0) {
    throw Error(os_error_text(errno)).context("rewinding the WAV file " + path_.string());
  }
  position_ = 0;
}

}  // namespace vantle::send

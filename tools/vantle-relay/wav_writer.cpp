#include "wav_writer.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "util/error.hpp"

namespace vantle::relay {

namespace {

// The RIFF size field counts everything after itself: 36 header bytes and the data.
constexpr std::uint64_t kMaxDataBytes = (0xFFFFFFFFull - 36) / WavWriter::kFrameBytes * WavWriter::kFrameBytes;

void put_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::array<std::uint8_t, WavWriter::kHeaderBytes> header(std::uint32_t sample_rate, std::uint32_t data_bytes) {
  constexpr std::uint16_t kChannels = 2, kBits = 16;
  std::array<std::uint8_t, WavWriter::kHeaderBytes> h{};
  std::memcpy(&h[0], "RIFF", 4);
  put_u32(&h[4], 36 + data_bytes);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  put_u32(&h[16], 16);  // size of the PCM format chunk
  put_u16(&h[20], 1);   // PCM
  put_u16(&h[22], kChannels);
  put_u32(&h[24], sample_rate);
  const std::uint64_t byte_rate = std::uint64_t{sample_rate} * kChannels * (kBits / 8);
  put_u32(&h[28], static_cast<std::uint32_t>(std::min<std::uint64_t>(byte_rate, 0xFFFFFFFFu)));
  put_u16(&h[32], kChannels * (kBits / 8));
  put_u16(&h[34], kBits);
  std::memcpy(&h[36], "data", 4);
  put_u32(&h[40], data_bytes);
  return h;
}

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int err) {
  throw Error(os_error_text(err)).context(what + " " + path.string());
}

}  // namespace

WavWriter::WavWriter(const std::filesystem::path& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) fail("creating", path_, errno);
  const auto placeholder = header(0, 0);
  if (std::fwrite(placeholder.data(), 1, placeholder.size(), file_) != placeholder.size()) {
    fail("writing", path_, errno);
  }
}

WavWriter::~WavWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

void WavWriter::append(std::span<const std::uint8_t> frames) {
  if (file_ == nullptr || truncated_) return;
  std::size_t bytes = frames.size() / kFrameBytes * kFrameBytes;
  if (data_bytes_ + bytes > kMaxDataBytes) {
    bytes = static_cast<std::size_t>(kMaxDataBytes - data_bytes_);
    truncated_ = true;
  }
  if (bytes == 0) return;
  if (std::fwrite(frames.data(), 1, bytes, file_) != bytes) fail("writing", path_, errno);
  data_bytes_ += bytes;
}

void WavWriter::finish(std::uint32_t sample_rate) {
  if (file_ == nullptr) return;
  std::FILE* file = file_;
  file_ = nullptr;
  const auto h = header(sample_rate, static_cast<std::uint32_t>(data_bytes_));
  const bool ok = std::fflush(file) == 0 && std::fseek(file, 0, SEEK_SET) == 0 &&
                  std::fwrite(h.data(), 1, h.size(), file) == h.size() && std::fflush(file) == 0;
  const int err = errno;
  if (std::fclose(file) != 0 && ok) fail("closing", path_, errno);
  if (!ok) fail("writing the header of", path_, err);
}

}  // namespace vantle::relay

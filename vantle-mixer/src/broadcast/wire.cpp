#include "broadcast/wire.hpp"

#include <bit>
#include <cstring>

namespace vantle::broadcast::wire {

namespace {

constexpr std::uint8_t tag_byte(Tag tag) { return static_cast<std::uint8_t>(tag); }

std::uint16_t load_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t load_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void store_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void store_u32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

void store_i16(std::uint8_t* p, std::int16_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    // A native store: vectorized, it becomes packs and plain stores, where byte
    // shifts cost more than twice the code in shuffles.
    std::memcpy(p, &v, sizeof v);
  } else {
    store_u16(p, static_cast<std::uint16_t>(v));
  }
}

// The float-to-i16 conversion, arranged so the loops over a block vectorize: scaling
// first and clamping the product to +-32767 gives the same result for every float as
// clamping to -1..1 and then scaling (the rounding of x * 32767 is monotonic, so
// anything beyond +-1 lands beyond +-32767), but leaves no multiply on a conditional
// path, which the compiler would refuse to if-convert. NaN fails every ordered
// comparison, so it is replaced before the clamps; the conversion then truncates
// toward zero and never sees a value outside the i16 range.
inline std::int16_t to_i16(float x) {
  float y = x * 32767.0f;
  y = (y == y) ? y : 0.0f;
  y = y < -32767.0f ? -32767.0f : y;
  y = y > 32767.0f ? 32767.0f : y;
  return static_cast<std::int16_t>(static_cast<std::int32_t>(y));
}

bool has_tag(Bytes datagram, Tag tag) { return !datagram.empty() && datagram[0] == tag_byte(tag); }

// A name field (length byte at `at`, then the bytes) or nullopt when the datagram
// ends before the declared length.
std::optional<std::string> read_name(Bytes datagram, std::size_t at) {
  if (datagram.size() <= at) return std::nullopt;
  const std::size_t n = datagram[at];
  if (datagram.size() - at - 1 < n) return std::nullopt;
  return lenient_utf8(datagram.subspan(at + 1, n));
}

// Names longer than one length byte can count are cut, at a character boundary so
// the cut itself never makes the name invalid.
std::size_t name_length(const std::string& name) {
  if (name.size() <= 255) return name.size();
  std::size_t n = 255;
  while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
  return n;
}

}  // namespace

const char* error_name(WireError error) {
  switch (error) {
    case WireError::kShort:
      return "Short";
    case WireError::kBadTag:
      return "BadTag";
    case WireError::kBadVersion:
      return "BadVersion";
    case WireError::kBadSession:
      return "BadSession";
  }
  return "Unknown";
}

bool supported_version(std::uint8_t version) { return version == 1 || version == 2; }

std::int16_t encode_sample(float x) { return to_i16(x); }

float decode_sample(std::int16_t s) { return static_cast<float>(s) * (1.0f / 32768.0f); }


// ---- packets the mixer receives

std::optional<Register> decode_register(Bytes datagram, WireError* error) {
  auto fail = [&](WireError e) -> std::optional<Register> {
    if (error != nullptr) *error = e;
    return std::nullopt;
  };
  if (datagram.size() < 3) return fail(WireError::kShort);
  if (!has_tag(datagram, Tag::kRegister)) return fail(WireError::kBadTag);
  auto name = read_name(datagram, 2);
  if (!name) return fail(WireError::kShort);
  return Register{datagram[1], std::move(*name)};
}

std::optional<RegisterTx> decode_register_tx(Bytes datagram, WireError* error) {
  auto fail = [&](WireError e) -> std::optional<RegisterTx> {
    if (error != nullptr) *error = e;
    return std::nullopt;
  };
  if (datagram.size() < 4) return fail(WireError::kShort);
  if (!has_tag(datagram, Tag::kRegisterTx)) return fail(WireError::kBadTag);
  auto name = read_name(datagram, 3);
  if (!name) return fail(WireError::kShort);
  return RegisterTx{datagram[1], datagram[2], std::move(*name)};
}

std::optional<std::uint32_t> decode_session_id(Bytes datagram) {
  if (datagram.size() < 5) return std::nullopt;
  if (!has_tag(datagram, Tag::kPing) && !has_tag(datagram, Tag::kBye)) return std::nullopt;
  return load_u32(datagram.data() + 1);
}

std::optional<AudioTx> decode_audio_tx(Bytes datagram) {
  if (datagram.size() < 10 || !has_tag(datagram, Tag::kAudioTx)) return std::nullopt;
  AudioTx a;
  a.session = load_u32(datagram.data() + 1);
  a.sequence = load_u32(datagram.data() + 5);
  a.channels = datagram[9];
  a.payload = datagram.subspan(10);
  return a;
}

std::size_t audio_tx_frames(const AudioTx& packet) {
  if (packet.channels == 0) return 0;
  return packet.payload.size() / (2 * static_cast<std::size_t>(packet.channels));
}

// ---- packets the mixer sends

std::array<std::uint8_t, 13> encode_accept(std::uint8_t version, std::uint32_t session, std::uint32_t sample_rate,
                                           std::uint16_t frames) {
  std::array<std::uint8_t, 13> p{};
  p[0] = tag_byte(Tag::kAccept);
  p[1] = version;
  store_u32(&p[2], session);
  store_u32(&p[6], sample_rate);
  p[10] = 2;
  store_u16(&p[11], frames);
  return p;
}

std::array<std::uint8_t, 2> encode_reject(std::uint8_t reason) { return {tag_byte(Tag::kReject), reason}; }

std::array<std::uint8_t, 5> encode_pong(std::uint32_t session) {
  std::array<std::uint8_t, 5> p{};
  p[0] = tag_byte(Tag::kPong);
  store_u32(&p[1], session);
  return p;
}

std::array<std::uint8_t, 15> encode_accept_tx(std::uint8_t version, std::uint32_t session, std::uint32_t sample_rate,
                                              std::uint8_t channels, std::uint16_t frames, std::uint16_t start_slot) {
  std::array<std::uint8_t, 15> p{};
  p[0] = tag_byte(Tag::kAcceptTx);
  p[1] = version;
  store_u32(&p[2], session);
  store_u32(&p[6], sample_rate);
  p[10] = channels;
  store_u16(&p[11], frames);
  store_u16(&p[13], start_slot);
  return p;
}

std::array<std::uint8_t, 2> encode_reject_tx(std::uint8_t reason) { return {tag_byte(Tag::kRejectTx), reason}; }

void write_audio_header(std::uint8_t* packet, std::uint32_t session, std::uint32_t sequence) {
  packet[0] = tag_byte(Tag::kAudio);
  store_u32(packet + 1, session);
  store_u32(packet + 5, sequence);
}

void write_multicast_header(std::uint8_t* packet, std::uint8_t bus_code, std::uint32_t sequence) {
  packet[0] = tag_byte(Tag::kMulticastAudio);
  packet[1] = bus_code;
  store_u32(packet + 2, sequence);
}

// Broadcast thread, once per block and bus: both loops are kept free of branches
// and aliasing doubts so they vectorize.
void encode_frames(const float* __restrict interleaved, std::size_t frames, std::uint8_t* __restrict out) {
  const std::size_t samples = 2 * frames;
  for (std::size_t i = 0; i < samples; ++i) store_i16(out + 2 * i, to_i16(interleaved[i]));
}

void encode_frames(const float* __restrict left, const float* __restrict right, std::size_t frames,
                   std::uint8_t* __restrict out) {
  for (std::size_t i = 0; i < frames; ++i) {
    store_i16(out + 4 * i, to_i16(left[i]));
    store_i16(out + 4 * i + 2, to_i16(right[i]));
  }
}

// ---- the peers' side

std::string encode_register(std::uint8_t version, const std::string& name) {
  const std::size_t n = name_length(name);
  std::string p;
  p.reserve(3 + n);
  p.push_back(static_cast<char>(tag_byte(Tag::kRegister)));
  p.push_back(static_cast<char>(version));
  p.push_back(static_cast<char>(n));
  p.append(name, 0, n);
  return p;
}

std::string encode_register_tx(std::uint8_t version, std::uint8_t channels, const std::string& name) {
  const std::size_t n = name_length(name);
  std::string p;
  p.reserve(4 + n);
  p.push_back(static_cast<char>(tag_byte(Tag::kRegisterTx)));
  p.push_back(static_cast<char>(version));
  p.push_back(static_cast<char>(channels));
  p.push_back(static_cast<char>(n));
  p.append(name, 0, n);
  return p;
}

std::array<std::uint8_t, 5> encode_ping(std::uint32_t session) {
  std::array<std::uint8_t, 5> p{};
  p[0] = tag_byte(Tag::kPing);
  store_u32(&p[1], session);
  return p;
}

std::array<std::uint8_t, 5> encode_bye(std::uint32_t session) {
  std::array<std::uint8_t, 5> p{};
  p[0] = tag_byte(Tag::kBye);
  store_u32(&p[1], session);
  return p;
}

std::string encode_audio_tx(std::uint32_t session, std::uint32_t sequence, std::uint8_t channels,
                            const float* interleaved, std::size_t frames) {
  const std::size_t samples = frames * channels;
  std::string p(10 + 2 * samples, '\0');
  auto* bytes = reinterpret_cast<std::uint8_t*>(p.data());
  bytes[0] = tag_byte(Tag::kAudioTx);
  store_u32(bytes + 1, session);
  store_u32(bytes + 5, sequence);
  bytes[9] = channels;
  for (std::size_t i = 0; i < samples; ++i) store_i16(bytes + 10 + 2 * i, to_i16(interleaved[i]));
  return p;
}

std::optional<Accept> decode_accept(Bytes datagram) {
  if (datagram.size() != 13 || !has_tag(datagram, Tag::kAccept)) return std::nullopt;
  const std::uint8_t* p = datagram.data();
  return Accept{p[1], load_u32(p + 2), load_u32(p + 6), p[10], load_u16(p + 11)};
}

std::optional<AcceptTx> decode_accept_tx(Bytes datagram) {
  if (datagram.size() != 15 || !has_tag(datagram, Tag::kAcceptTx)) return std::nullopt;
  const std::uint8_t* p = datagram.data();
  return AcceptTx{p[1], load_u32(p + 2), load_u32(p + 6), p[10], load_u16(p + 11), load_u16(p + 13)};
}

std::optional<std::uint8_t> decode_reject_reason(Bytes datagram) {
  if (datagram.size() != 2) return std::nullopt;
  if (!has_tag(datagram, Tag::kReject) && !has_tag(datagram, Tag::kRejectTx)) return std::nullopt;
  return datagram[1];
}

std::optional<std::uint32_t> decode_pong(Bytes datagram) {
  if (datagram.size() != 5 || !has_tag(datagram, Tag::kPong)) return std::nullopt;
  return load_u32(datagram.data() + 1);
}

std::optional<Audio> decode_audio(Bytes datagram) {
  if (datagram.size() < kAudioHeader || !has_tag(datagram, Tag::kAudio)) return std::nullopt;
  if ((datagram.size() - kAudioHeader) % 4 != 0) return std::nullopt;
  return Audio{load_u32(datagram.data() + 1), load_u32(datagram.data() + 5), datagram.subspan(kAudioHeader)};
}

std::optional<MulticastAudio> decode_multicast_audio(Bytes datagram) {
  if (datagram.size() < kMulticastHeader || !has_tag(datagram, Tag::kMulticastAudio)) return std::nullopt;
  if ((datagram.size() - kMulticastHeader) % 4 != 0) return std::nullopt;
  const std::uint8_t bus = datagram[1];
  if (bus < 1 || bus > 3) return std::nullopt;
  return MulticastAudio{bus, load_u32(datagram.data() + 2), datagram.subspan(kMulticastHeader)};
}

std::int16_t sample_at(Bytes samples, std::size_t index) {
  if (index >= samples.size() / 2) return 0;
  return static_cast<std::int16_t>(load_u16(samples.data() + 2 * index));
}

}  // namespace vantle::broadcast::wire

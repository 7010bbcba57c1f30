// The relay and sender wire protocol: fixed-layout little-endian packets, one per
// UDP datagram. Encoders and decoders for both directions, so the mixer and the
// operator tools (relay, sender) share one codec.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "util/utf8.hpp"

namespace vantle::broadcast::wire {

using Bytes = std::span<const std::uint8_t>;

enum class Tag : std::uint8_t {
  kRegister = 1,
  kAccept = 2,
  kReject = 3,
  kAudio = 4,
  kPing = 5,
  kPong = 6,
  kBye = 7,
  kMulticastAudio = 8,
  kRegisterTx = 16,
  kAcceptTx = 17,
  kRejectTx = 18,
  kAudioTx = 19,
};

enum class WireError { kShort, kBadTag, kBadVersion, kBadSession };
// "Short", "BadTag", "BadVersion", "BadSession".
const char* error_name(WireError error);

// Datagrams are read into buffers of this size; longer ones are cut by the socket.
inline constexpr std::size_t kMaxDatagram = 4096;

inline constexpr std::uint8_t kRejectUnsupportedVersion = 2;
inline constexpr std::uint8_t kRejectUnknownSender = 4;
inline constexpr std::uint8_t kRejectChannelMismatch = 5;

bool supported_version(std::uint8_t version);  // 1 and 2

// Samples: float to i16 (clamp to -1..1, x 32767, truncate; NaN gives 0) and back
// (s / 32768).
std::int16_t encode_sample(float x);
float decode_sample(std::int16_t s);

// Names: one length byte, then that many bytes of UTF-8, read leniently.
using ::vantle::lenient_utf8;

// --- packets the mixer receives ---------------------------------------------------

struct Register {
  std::uint8_t version = 0;
  std::string name;
};
struct RegisterTx {
  std::uint8_t version = 0;
  std::uint8_t channels = 0;
  std::string name;
};
struct AudioTx {
  std::uint32_t session = 0;
  std::uint32_t sequence = 0;
  std::uint8_t channels = 0;
  Bytes payload;  // everything after the 10-byte header, partial frame included
};

// Short when the datagram is shorter than its header or its declared name.
std::optional<Register> decode_register(Bytes datagram, WireError* error = nullptr);
std::optional<RegisterTx> decode_register_tx(Bytes datagram, WireError* error = nullptr);
// PING and BYE: the session id at offset 1; nothing below 5 bytes.
std::optional<std::uint32_t> decode_session_id(Bytes datagram);
// Nothing below 10 bytes.
std::optional<AudioTx> decode_audio_tx(Bytes datagram);
// Whole frames of the payload (a trailing partial frame does not count; no channels,
// no frames).
std::size_t audio_tx_frames(const AudioTx& packet);

// --- packets the mixer sends -------------------------------------------------------

std::array<std::uint8_t, 13> encode_accept(std::uint8_t version, std::uint32_t session, std::uint32_t sample_rate,
                                           std::uint16_t frames);
std::array<std::uint8_t, 2> encode_reject(std::uint8_t reason);
std::array<std::uint8_t, 5> encode_pong(std::uint32_t session);
std::array<std::uint8_t, 15> encode_accept_tx(std::uint8_t version, std::uint32_t session, std::uint32_t sample_rate,
                                              std::uint8_t channels, std::uint16_t frames, std::uint16_t start_slot);
std::array<std::uint8_t, 2> encode_reject_tx(std::uint8_t reason);

// AUDIO: a 9-byte header (tag, session id, sequence) and F stereo frames of i16.
inline constexpr std::size_t kAudioHeader = 9;
inline constexpr std::size_t audio_packet_size(std::size_t frames) { return kAudioHeader + 4 * frames; }
// Writes tag, session id and sequence into the first 9 bytes of `packet`.
void write_audio_header(std::uint8_t* packet, std::uint32_t session, std::uint32_t sequence);

// MULTICAST_AUDIO: a 6-byte header (tag, bus code 1..3, sequence) and F stereo frames.
inline constexpr std::size_t kMulticastHeader = 6;
inline constexpr std::size_t multicast_packet_size(std::size_t frames) { return kMulticastHeader + 4 * frames; }
void write_multicast_header(std::uint8_t* packet, std::uint8_t bus_code, std::uint32_t sequence);

// Samples of a block into `out` (4 bytes per frame): from interleaved floats
// (L0 R0 L1 R1 ...) or from separate sides.
void encode_frames(const float* interleaved, std::size_t frames, std::uint8_t* out);
void encode_frames(const float* left, const float* right, std::size_t frames, std::uint8_t* out);

// --- the peers' side (relays and senders; used by the tools and tests) -------------

std::string encode_register(std::uint8_t version, const std::string& name);  // name cut to 255 bytes
std::string encode_register_tx(std::uint8_t version, std::uint8_t channels, const std::string& name);
std::array<std::uint8_t, 5> encode_ping(std::uint32_t session);
std::array<std::uint8_t, 5> encode_bye(std::uint32_t session);
// AUDIO_TX with `frames` frames of `channels` interleaved samples.
std::string encode_audio_tx(std::uint32_t session, std::uint32_t sequence, std::uint8_t channels,
                            const float* interleaved, std::size_t frames);

struct Accept {
  std::uint8_t version = 0;
  std::uint32_t session = 0;
  std::uint32_t sample_rate = 0;
  std::uint8_t channels = 0;
  std::uint16_t frames = 0;
};
struct AcceptTx {
  std::uint8_t version = 0;
  std::uint32_t session = 0;
  std::uint32_t sample_rate = 0;
  std::uint8_t channels = 0;
  std::uint16_t frames = 0;
  std::uint16_t start_slot = 0;
};
struct Audio {
  std::uint32_t session = 0;
  std::uint32_t sequence = 0;
  Bytes samples;  // 4 bytes per stereo frame
};
struct MulticastAudio {
  std::uint8_t bus_code = 0;
  std::uint32_t sequence = 0;
  Bytes samples;
};

// Each decodes exactly its packet (tag and size checked); nothing otherwise. AUDIO
// and MULTICAST_AUDIO must hold whole stereo frames (the receiver compares their
// count with F); MULTICAST_AUDIO needs a bus code of 1 to 3.
std::optional<Accept> decode_accept(Bytes datagram);
std::optional<AcceptTx> decode_accept_tx(Bytes datagram);
std::optional<std::uint8_t> decode_reject_reason(Bytes datagram);  // REJECT or REJECT_TX
std::optional<std::uint32_t> decode_pong(Bytes datagram);
std::optional<Audio> decode_audio(Bytes datagram);
std::optional<MulticastAudio> decode_multicast_audio(Bytes datagram);
// The i16 sample at `index` of a payload; 0 beyond its end.
std::int16_t sample_at(Bytes samples, std::size_t index);

}  // namespace vantle::broadcast::wire

#include "midi/osc.hpp"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <oscpack/osc/OscException.h>
#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>

#include "util/error.hpp"
#include "util/log.hpp"
#include "util/threads.hpp"

namespace vantle::midi {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::midi");
  return instance;
}

constexpr float kFloorDb = -70.0f;
constexpr float kSilenceDb = -80.0f;
constexpr float kMaxGain = 2.0f;
constexpr const char* kFallbackTarget = "127.0.0.1:3819";
constexpr int kFeedbackTimeoutMs = 500;
constexpr std::size_t kFeedbackBufferBytes = 1024;

// ---- OSC target ----------------------------------------------------------------

std::optional<std::uint16_t> parse_port(std::string_view text) {
  unsigned port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

// "[v6 address]:port" in its canonical text, or nothing.
std::optional<std::string> parse_ipv6_target(const std::string& text) {
  const auto close = text.find("]:");
  if (text.empty() || text.front() != '[' || close == std::string::npos) return std::nullopt;
  const auto port = parse_port(std::string_view(text).substr(close + 2));
  if (!port) return std::nullopt;
  in6_addr address{};
  if (::inet_pton(AF_INET6, text.substr(1, close - 1).c_str(), &address) != 1) return std::nullopt;
  char canonical[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET6, &address, canonical, sizeof canonical);
  return "[" + std::string(canonical) + "]:" + std::to_string(*port);
}

// ---- Reading packets -------------------------------------------------------------
//
// oscpack checks most of a packet's structure, but not all of it: it takes a blob's
// length without checking it against the message, and then reads past the packet.
// Every packet is therefore walked here first, with each length checked against the
// bytes received; only a packet that passes is handed to oscpack, which then stays
// within it. Strings must be padded with zeros, as OSC 1.0 has them, so that both
// walks find the same end (oscpack looks only at the last byte of each group of four).

std::size_t round_up4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

// Network bytes for a log line: printable ASCII as is, everything else escaped.
std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      out += fmt::format("\\x{:02x}", c);
    }
  }
  return out;
}

// The offset just past the string that starts at `at`: its terminating zero must lie
// within `bytes`, and the padding up to the next multiple of four must be zeros too.
std::size_t string_end(std::span<const std::uint8_t> bytes, std::size_t at, const char* what) {
  const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at, bytes.size()));
  const auto zero = std::find(first, bytes.end(), std::uint8_t{0});
  if (zero == bytes.end()) throw Error(fmt::format("unterminated {}", what));
  const auto zero_at = static_cast<std::size_t>(zero - bytes.begin());
  const std::size_t end = round_up4(zero_at + 1);
  if (end > bytes.size()) throw Error(fmt::format("{} padding exceeds the packet", what));
  for (std::size_t i = zero_at; i < end; ++i) {
    if (bytes[i] != 0) throw Error(fmt::format("{} not padded with zeros", what));
  }
  return end;
}

void check_message(std::span<const std::uint8_t> message) {
  if (message.empty()) throw Error("empty message");
  if (message.size() % 4 != 0) throw Error("message size is not a multiple of four");
  const std::size_t tags_at = string_end(message, 0, "address pattern");
  if (tags_at == message.size()) return;  // no type tags: a message without arguments
  if (message[tags_at] != ',') throw Error("type tags not present");
  std::size_t argument = string_end(message, tags_at, "type tags");

  auto take = [&](std::uint64_t bytes) {
    if (bytes > message.size() - argument) throw Error("arguments exceed message size");
    argument += static_cast<std::size_t>(bytes);
  };
  int array_level = 0;
  for (std::size_t t = tags_at + 1; message[t] != 0; ++t) {
    switch (message[t]) {
      case 'i': case 'f': case 'c': case 'r': case 'm':
        take(4);
        break;
      case 'h': case 't': case 'd':
        take(8);
        break;
      case 's': case 'S':
        if (argument >= message.size()) throw Error("arguments exceed message size");
        argument = string_end(message, argument, "string argument");
        break;
      case 'b':
        take(4);
        take(round_up4(read_be32(message.data() + argument - 4)));
        break;
      case 'T': case 'F': case 'N': case 'I':
        break;
      case '[':
        ++array_level;
        break;
      case ']':
        if (--array_level < 0) throw Error("array end without a beginning");
        break;
      default:
        throw Error(fmt::format("unknown type tag '{}'", printable(std::string_view(
                                                          reinterpret_cast<const char*>(&message[t]), 1))));
    }
  }
  if (array_level != 0) throw Error("array not terminated");
}

void check_packet(std::span<const std::uint8_t> packet, int bundle_depth);

void check_bundle(std::span<const std::uint8_t> bundle, int depth) {
  if (depth > kMaxBundleDepth) throw Error(fmt::format("bundles nested deeper than {} levels", kMaxBundleDepth));
  if (bundle.size() < 16) throw Error("packet too short for a bundle");
  if (bundle.size() % 4 != 0) throw Error("bundle size is not a multiple of four");
  if (std::memcmp(bundle.data(), "#bundle", 8) != 0) throw Error("bad bundle header");
  std::size_t at = 16;  // after the header and the time tag
  while (at < bundle.size()) {
    const std::uint32_t size = read_be32(bundle.data() + at);  // four bytes are there: sizes are multiples of four
    at += 4;
    if (size > bundle.size() - at) throw Error("bundle element exceeds the bundle");
    if (size % 4 != 0) throw Error("bundle element size is not a multiple of four");
    check_packet(bundle.subspan(at, size), depth);
    at += size;
  }
}

void check_packet(std::span<const std::uint8_t> packet, int bundle_depth) {
  if (!packet.empty() && packet[0] == '#') {
    check_bundle(packet, bundle_depth + 1);
  } else {
    check_message(packet);
  }
}

// One decoded argument: its type tag, its value when the handlers use it, and a
// readable form for the log.
struct Argument {
  char tag = 0;
  std::int32_t int_value = 0;
  float float_value = 0.0f;
  std::string text;
};

struct Message {
  std::string address;
  std::vector<Argument> arguments;
};

Argument decode_argument(const osc::ReceivedMessageArgument& in) {
  Argument out;
  out.tag = in.TypeTag();
  switch (out.tag) {
    case 'i':
      out.int_value = in.AsInt32Unchecked();
      out.text = fmt::format("i {}", out.int_value);
      break;
    case 'f':
      out.float_value = in.AsFloatUnchecked();
      out.text = fmt::format("f {}", out.float_value);
      break;
    case 'h': out.text = fmt::format("h {}", in.AsInt64Unchecked()); break;
    case 'd': out.text = fmt::format("d {}", in.AsDoubleUnchecked()); break;
    case 't': out.text = fmt::format("t {:#018x}", in.AsTimeTagUnchecked()); break;
    case 'c': out.text = fmt::format("c {}", static_cast<int>(in.AsCharUnchecked())); break;
    case 'r': out.text = fmt::format("r {:#010x}", in.AsRgbaColorUnchecked()); break;
    case 'm': out.text = fmt::format("m {:#010x}", in.AsMidiMessageUnchecked()); break;
    case 's': out.text = fmt::format("s \"{}\"", printable(in.AsStringUnchecked())); break;
    case 'S': out.text = fmt::format("S \"{}\"", printable(in.AsSymbolUnchecked())); break;
    case 'b': {
      const void* data = nullptr;
      osc::osc_bundle_element_size_t size = 0;
      in.AsBlobUnchecked(data, size);
      out.text = fmt::format("b ({} bytes)", size);
      break;
    }
    default:
      out.text = std::string(1, out.tag);  // T F N I [ ]
      break;
  }
  return out;
}

Message decode_message(const osc::ReceivedMessage& in) {
  Message out{printable(in.AddressPattern()), {}};
  for (auto argument = in.ArgumentsBegin(); argument != in.ArgumentsEnd(); ++argument) {
    out.arguments.push_back(decode_argument(*argument));
  }
  return out;
}

void collect_bundle(const osc::ReceivedBundle& bundle, std::vector<Message>& out) {
  for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
    if (element->IsBundle()) {
      collect_bundle(osc::ReceivedBundle(*element), out);
    } else {
      out.push_back(decode_message(osc::ReceivedMessage(*element)));
    }
  }
}

// The messages of a packet in order (a bundle's time tag plays no part). Throws
// Error when the packet is malformed.
std::vector<Message> decode_packet(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<osc::osc_bundle_element_size_t>::max())) {
    throw Error("packet too large");
  }
  check_packet(bytes, 0);
  std::vector<Message> messages;
  try {
    const osc::ReceivedPacket packet(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<osc::osc_bundle_element_size_t>(bytes.size()));
    if (packet.IsBundle()) {
      collect_bundle(osc::ReceivedBundle(packet), messages);
    } else {
      messages.push_back(decode_message(osc::ReceivedMessage(packet)));
    }
  } catch (const osc::Exception& e) {
    throw Error(e.what());
  }
  return messages;
}

// ---- Applying messages -----------------------------------------------------------

std::string arguments_text(const std::vector<Argument>& arguments) {
  std::string out = "[";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) out += ", ";
    out += arguments[i].text;
  }
  return out + "]";
}

// The strip's channel in `scene`: strip 1 is the first, strip 0 too; nothing for a
// negative strip or one beyond the channel list.
std::optional<std::size_t> strip_position(const engine::Scene& scene, std::int32_t strip) {
  if (strip < 0) return std::nullopt;
  const auto position = static_cast<std::size_t>(strip == 0 ? 0 : strip - 1);
  if (position >= scene.channels.size()) return std::nullopt;
  return position;
}

// Copies the live scene, lets `change` edit the strip's channel and installs the copy.
// Returns false when the strip has no channel.
bool change_strip(engine::LiveScene& live, std::int32_t strip, const std::function<void(engine::ChannelFaders&)>& change) {
  engine::Scene scene = *live.load();
  const auto position = strip_position(scene, strip);
  if (!position) return false;
  change(scene.channels[*position]);
  live.install(std::move(scene));
  return true;
}

void set_master(engine::LiveScene& live, float value) {
  engine::Scene scene = *live.load();
  scene.main_gain = value;
  live.install(std::move(scene));
}

// Levels from the network go into the mix as they are; a NaN or an infinity there
// would reach the bus plugins, whose delay lines would keep it.
bool refuse_non_finite(const Message& message, float value, bool infinity_allowed) {
  if (std::isnan(value) || (!infinity_allowed && std::isinf(value))) {
    logger().warn("[osc] {} {} ignored: the level is not a finite number", message.address,
                  arguments_text(message.arguments));
    return true;
  }
  return false;
}

void apply_message(const Message& message, engine::LiveScene& live) {
  const auto& args = message.arguments;
  auto has = [&](std::size_t i, char tag) { return args.size() > i && args[i].tag == tag; };
  const std::string& address = message.address;

  if (address == "/strip/gain") {
    if (!has(0, 'i') || !has(1, 'f')) return;
    const std::int32_t strip = args[0].int_value;
    const float db = args[1].float_value;
    // -inf dB is the bottom of a fader; the conversion makes it silence.
    if (refuse_non_finite(message, db, true)) return;
    const float gain = db_to_gain(db);
    if (change_strip(live, strip, [&](engine::ChannelFaders& f) { f.main = gain; })) {
      logger().info("[osc] strip {} gain {:.1f}dB \u2192 {:.3f}", strip, db, gain);
    }
  } else if (address == "/strip/fader") {
    if (!has(0, 'i') || !has(1, 'f')) return;
    const std::int32_t strip = args[0].int_value;
    const float value = args[1].float_value;
    if (refuse_non_finite(message, value, false)) return;
    if (change_strip(live, strip, [&](engine::ChannelFaders& f) { f.main = value; })) {
      logger().info("[osc] strip {} fader \u2192 {:.3f}", strip, value);
    }
  } else if (address == "/strip/mute") {
    if (!has(0, 'i') || !has(1, 'i')) return;
    const std::int32_t strip = args[0].int_value;
    const bool muted = args[1].int_value != 0;
    if (change_strip(live, strip, [&](engine::ChannelFaders& f) { f.main_muted = muted ? 1.0f : 0.0f; })) {
      logger().info("[osc] strip {} mute \u2192 {}", strip, muted);
    }
  } else if (address == "/master/fader" || address == "/master/gain") {
    if (!has(0, 'f')) return;
    const float value = args[0].float_value;
    if (refuse_non_finite(message, value, false)) return;
    set_master(live, value);
    logger().info("[osc] master fader \u2192 {:.3f}", value);
  } else {
    logger().debug("[osc] unhandled: {} {}", address, arguments_text(args));
  }
}

void apply_messages(const std::vector<Message>& messages, engine::LiveScene& live) {
  for (const auto& message : messages) apply_message(message, live);
}

// Bytes of one message; oscpack stores the type tags at the far end of its buffer
// while it writes, so the buffer gets some room beyond the exact size.
std::vector<std::uint8_t> encode_message(const std::string& address, const std::vector<OscArgument>& arguments) {
  const std::size_t exact = round_up4(address.size() + 1) + round_up4(arguments.size() + 2) + 4 * arguments.size();
  std::vector<char> buffer(exact + 64);
  try {
    osc::OutboundPacketStream stream(buffer.data(), buffer.size());
    stream << osc::BeginMessage(address.c_str());
    for (const auto& argument : arguments) {
      std::visit([&](auto value) { stream << value; }, argument);
    }
    stream << osc::EndMessage;
    return std::vector<std::uint8_t>(stream.Data(), stream.Data() + stream.Size());
  } catch (const osc::Exception& e) {
    throw Error(e.what()).context("encoding OSC message " + printable(address));
  }
}

}  // namespace

float gain_to_db(float gain) {
  if (!(gain > 0.0f)) return kFloorDb;
  return std::max(20.0f * std::log10(gain), kFloorDb);
}

float db_to_gain(float db) {
  if (!(db > kSilenceDb)) return 0.0f;
  return std::min(std::pow(10.0f, db / 20.0f), kMaxGain);
}

OscTarget osc_target(const std::string& ardour_osc) {
  if (auto v4 = net::Endpoint::parse(ardour_osc)) return {v4, v4->to_string()};
  if (auto v6 = parse_ipv6_target(ardour_osc)) return {std::nullopt, *v6};
  const auto fallback = net::Endpoint::parse(kFallbackTarget);
  return {fallback, fallback->to_string()};
}

OscSender::OscSender(const std::string& ardour_osc) : target_(osc_target(ardour_osc)) {
  with_context("binding OSC sender socket on 0.0.0.0:0", [&] {
    socket_ = net::UdpSocket::create();
    socket_.bind(net::Endpoint::any(0));
  });
}

void OscSender::send(const std::string& address, const std::vector<OscArgument>& arguments) {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = encode_message(address, arguments);
  } catch (const Error& e) {
    logger().warn("[midi] OSC send_to {}: {}", target_.text, e.joined());
    return;
  }
  // An IPv4 socket cannot send to an IPv6 address; the system would say the same.
  const int error = target_.ipv4 ? socket_.send_to(bytes, *target_.ipv4) : EAFNOSUPPORT;
  if (error != 0) logger().warn("[midi] OSC send_to {}: {}", target_.text, os_error_text(error));
}

void apply_osc_packet(std::span<const std::uint8_t> packet, engine::LiveScene& scene) {
  apply_messages(decode_packet(packet), scene);
}

void start_osc_feedback(std::uint16_t port, std::shared_ptr<engine::LiveScene> scene, Lifeline lifeline) {
  auto socket = std::make_shared<net::UdpSocket>();
  try {
    *socket = net::UdpSocket::create();
    // The previous `Mixer`'s listener may hold the port until its receive times out.
    socket->set_reuse_address();
    socket->bind(net::Endpoint::any(port));
  } catch (const Error& e) {
    logger().warn("osc feedback bind failed: {}", e.joined());
    return;
  }
  try {
    socket->set_receive_timeout(kFeedbackTimeoutMs);
  } catch (const Error&) {
    // Without the timeout the thread still serves; it only notices its end later.
  }
  logger().info("osc feedback listener on udp://{}", socket->local_endpoint().to_string());

  try {
    spawn_detached("osc-feedback", [socket, scene = std::move(scene), lifeline = std::move(lifeline)] {
      std::array<std::uint8_t, kFeedbackBufferBytes> buffer;
      while (lifeline.alive()) {
        std::size_t length = 0;
        net::Endpoint from;
        int error = 0;
        switch (socket->receive(buffer, length, from, error)) {
          case net::UdpSocket::Received::kNothing:
            continue;
          case net::UdpSocket::Received::kError:
            logger().warn("osc feedback recv: {}", os_error_text(error));
            continue;
          case net::UdpSocket::Received::kDatagram:
            break;
        }
        std::vector<Message> messages;
        try {
          messages = decode_packet(std::span(buffer.data(), length));
        } catch (const std::exception& e) {
          logger().warn("[osc] decode error: {}", e.what());
          continue;
        }
        try {
          apply_messages(messages, *scene);
        } catch (const std::exception& e) {
          logger().warn("[osc] applying feedback failed: {}", e.what());
        }
      }
      logger().info("osc feedback loop exiting");
      *socket = net::UdpSocket();
    });
  } catch (const Error& e) {
    logger().warn("osc feedback thread failed to start: {}", e.joined());
  }
}

}  // namespace vantle::midi

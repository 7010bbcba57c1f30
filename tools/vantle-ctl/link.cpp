#include "link.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "util/error.hpp"

namespace vantle::ctl {

namespace {

// The largest UDP datagram: a reply is never cut.
constexpr std::size_t kMaxDatagram = 65536;

}  // namespace

Link::Link(const net::Endpoint& mixer) : mixer_(mixer) {
  socket_ = with_context("creating a UDP socket", [] { return net::UdpSocket::create(); });
  // Connected, the system drops datagrams from anyone else and reports a port
  // nobody listens on (ICMP unreachable) instead of leaving us to time out.
  with_context("connecting to " + mixer.to_string(), [&] {
    if (::connect(socket_.fd(), reinterpret_cast<const sockaddr*>(&mixer_.addr), sizeof mixer_.addr) != 0) {
      throw Error(os_error_text(errno));
    }
  });
}

void Link::send(std::string_view bytes) {
  const int error = socket_.send_to(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), mixer_);
  if (error != 0) throw Error(os_error_text(error)).context("sending to " + mixer_.to_string());
}

std::optional<Reply> Link::await(const std::vector<std::string>& kinds, Clock::time_point deadline,
                                 bool accept_empty) {
  std::vector<std::uint8_t> buffer(kMaxDatagram);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{socket_.fd(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000)));
    if (ready < 0 && errno != EINTR) throw Error(os_error_text(errno)).context("no reply from " + mixer_.to_string());
    if (ready <= 0) continue;

    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    switch (socket_.receive(buffer, length, from, error)) {
      case net::UdpSocket::Received::kNothing:
        continue;
      case net::UdpSocket::Received::kError:
        throw Error(os_error_text(error)).context("no reply from " + mixer_.to_string());
      case net::UdpSocket::Received::kDatagram:
        break;
    }
    if (!(from == mixer_)) continue;

    Reply reply;
    reply.text.assign(reinterpret_cast<const char*>(buffer.data()), length);
    if (reply.text.empty()) {
      if (accept_empty) return reply;
      continue;
    }
    try {
      reply.value = json::parse(reply.text, 512);
    } catch (const Error&) {
      continue;  // not an answer to us
    }
    if (!reply.value.is_object()) continue;
    auto kind = reply.value.find("kind");
    if (kind == reply.value.end() || !kind->is_string()) continue;
    reply.kind = kind->get<std::string>();
    if (kinds.empty() || std::find(kinds.begin(), kinds.end(), reply.kind) != kinds.end()) return reply;
  }
}

}  // namespace vantle::ctl

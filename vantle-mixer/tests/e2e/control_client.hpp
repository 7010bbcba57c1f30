// An operator's tool in end-to-end tests: JSON requests to the mixer's control port
// on loopback, and the replies.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "util/json.hpp"
#include "util/udp.hpp"

namespace vantle::test {

inline std::uint16_t free_udp_port() {
  auto socket = net::UdpSocket::create();
  socket.bind(net::Endpoint::loopback(0));
  return socket.local_endpoint().port();
}

class ControlClient {
 public:
  explicit ControlClient(std::uint16_t port) : to_(net::Endpoint::loopback(port)), socket_(net::UdpSocket::create()) {
    socket_.bind(net::Endpoint::loopback(0));
  }

  void send(const std::string& text) {
    socket_.send_to(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), to_);
  }
  void send(const json::Json& request) { send(request.dump()); }

  // The next datagram within `timeout`, as text.
  std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    socket_.set_receive_timeout(static_cast<int>(timeout.count()));
    std::vector<std::uint8_t> buffer(65536);
    std::size_t length = 0;
    net::Endpoint from;
    int error = 0;
    if (socket_.receive(buffer, length, from, error) != net::UdpSocket::Received::kDatagram) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buffer.data()), length);
  }

  // Sends and waits for the reply; null when none came.
  json::Json request(const json::Json& request, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    send(request);
    auto reply = receive(timeout);
    return reply ? json::parse(*reply) : json::Json();
  }

  // Asks until the mixer answers (it may still be starting, or rebuilding).
  json::Json request_until_answered(const json::Json& request, int attempts = 40) {
    for (int i = 0; i < attempts; ++i) {
      auto reply = this->request(request, std::chrono::milliseconds(250));
      if (!reply.is_null()) return reply;
    }
    return json::Json();
  }

 private:
  net::Endpoint to_;
  net::UdpSocket socket_;
};

}  // namespace vantle::test

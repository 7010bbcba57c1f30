// IPv4 UDP sockets for the broadcast, multicast and control paths: each step
// reports the system's reason, so callers can name the step in their own context.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace vantle::net {

// An IPv4 address and port.
struct Endpoint {
  sockaddr_in addr{};

  static Endpoint any(std::uint16_t port);              // 0.0.0.0:port
  static Endpoint loopback(std::uint16_t port);         // 127.0.0.1:port
  // "a.b.c.d:port" only (no host names); nothing otherwise.
  static std::optional<Endpoint> parse(std::string_view text);

  std::uint16_t port() const;
  std::string to_string() const;  // "ip:port"
  bool operator==(const Endpoint& other) const;
};

// "host:port" split at the last colon; nothing when the form or the port (1..65535) is wrong.
std::optional<std::pair<std::string, std::uint16_t>> split_host_port(const std::string& text);

// An IPv4 address for `host`, looking host names up. Throws Error "resolving {host}".
Endpoint resolve(const std::string& host, std::uint16_t port);

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(UdpSocket&& other) noexcept;
  UdpSocket& operator=(UdpSocket&& other) noexcept;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Each throws Error with the system's reason.
  static UdpSocket create();  // IPv4, datagram, close-on-exec
  void set_reuse_address();
  void bind(const Endpoint& local);
  void set_nonblocking();
  void set_receive_timeout(int milliseconds);
  // Best effort: asks for `bytes` (beyond the system's default cap when allowed).
  void request_buffers(int receive_bytes, int send_bytes);

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  Endpoint local_endpoint() const;

  enum class Received { kDatagram, kNothing, kError };
  // One datagram into `buffer` (cut at its size). kNothing when none is pending (or
  // the receive timed out); kError with `error` set otherwise.
  Received receive(std::span<std::uint8_t> buffer, std::size_t& length, Endpoint& from, int& error);

  // One datagram, MSG_NOSIGNAL. Returns 0 or the errno value.
  int send_to(std::span<const std::uint8_t> bytes, const Endpoint& to);

 private:
  explicit UdpSocket(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace vantle::net

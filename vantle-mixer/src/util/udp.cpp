#include "util/udp.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "util/error.hpp"

namespace vantle::net {

namespace {

[[noreturn]] void fail() { throw Error(os_error_text(errno)); }

}  // namespace

Endpoint Endpoint::any(std::uint16_t port) {
  Endpoint e;
  e.addr.sin_family = AF_INET;
  e.addr.sin_addr.s_addr = htonl(INADDR_ANY);
  e.addr.sin_port = htons(port);
  return e;
}

Endpoint Endpoint::loopback(std::uint16_t port) {
  Endpoint e = any(port);
  e.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return e;
}

std::optional<Endpoint> Endpoint::parse(std::string_view text) {
  auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string host(text.substr(0, colon));
  std::string_view port_text = text.substr(colon + 1);
  unsigned port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port_text.empty() || port > 65535) {
    return std::nullopt;
  }
  Endpoint e = any(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &e.addr.sin_addr) != 1) return std::nullopt;
  return e;
}

std::uint16_t Endpoint::port() const { return ntohs(addr.sin_port); }

std::string Endpoint::to_string() const {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(port());
}

bool Endpoint::operator==(const Endpoint& other) const {
  return addr.sin_addr.s_addr == other.addr.sin_addr.s_addr && addr.sin_port == other.addr.sin_port;
}

// "host:port" split at the last colon; nothing when the form or the port is wrong.
std::optional<std::pair<std::string, std::uint16_t>> split_host_port(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  const std::string_view port_text = std::string_view(text).substr(colon + 1);
  unsigned port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() || port == 0 ||
      port > 65535) {
    return std::nullopt;
  }
  return std::pair{text.substr(0, colon), static_cast<std::uint16_t>(port)};
}

// An IPv4 address, looking host names up.
Endpoint resolve(const std::string& host, std::uint16_t port) {
  if (auto literal = Endpoint::parse(host + ":" + std::to_string(port))) return *literal;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0 || found == nullptr) {
    throw Error(rc != 0 ? ::gai_strerror(rc) : "no IPv4 address").context("resolving " + host);
  }
  Endpoint e = Endpoint::any(port);
  e.addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return e;
}

UdpSocket::~UdpSocket() {
  if (fd_ >= 0) ::close(fd_);
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

UdpSocket UdpSocket::create() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail();
  return UdpSocket(fd);
}

void UdpSocket::set_reuse_address() {
  int one = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) fail();
}

void UdpSocket::bind(const Endpoint& local) {
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local.addr), sizeof local.addr) != 0) fail();
}

void UdpSocket::set_nonblocking() {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) fail();
}

void UdpSocket::set_receive_timeout(int milliseconds) {
  timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) fail();
}

void UdpSocket::request_buffers(int receive_bytes, int send_bytes) {
  // The forcing options pass the system's cap but need privileges; fall back quietly.
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &receive_bytes, sizeof receive_bytes) != 0) {
    (void)::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes);
  }
  if (::setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &send_bytes, sizeof send_bytes) != 0) {
    (void)::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof send_bytes);
  }
}

Endpoint UdpSocket::local_endpoint() const {
  Endpoint e;
  socklen_t len = sizeof e.addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&e.addr), &len);
  return e;
}

UdpSocket::Received UdpSocket::receive(std::span<std::uint8_t> buffer, std::size_t& length, Endpoint& from,
                                       int& error) {
  for (;;) {
    socklen_t len = sizeof from.addr;
    ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from.addr), &len);
    if (n >= 0) {
      length = static_cast<std::size_t>(n);
      return Received::kDatagram;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Received::kNothing;
    error = errno;
    return Received::kError;
  }
}

int UdpSocket::send_to(std::span<const std::uint8_t> bytes, const Endpoint& to) {
  for (;;) {
    ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to.addr),
                         sizeof to.addr);
    if (n >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace vantle::net

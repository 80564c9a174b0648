#include "net_client.h"

#include <sys/socket.h>

#include <bit>
#include <cstdlib>

namespace e2e {

using namespace simrelay;

std::uint16_t free_tcp_port() {
  SocketResult listener = open_tcp_listener(0, 1);
  if (!listener.socket.valid()) std::abort();
  return *local_port(listener.socket);
}

HttpClient::HttpClient(std::uint16_t port)
    : socket_(connect_tcp(Ipv4Endpoint{{127, 0, 0, 1}, port}).socket) {}

bool HttpClient::send(const std::string& bytes) {
  return send_all(socket_, bytes);
}

std::string HttpClient::read_until_closed(milliseconds timeout) {
  std::string all;
  auto deadline = Clock::now() + timeout;
  char buffer[8192];
  while (Clock::now() < deadline) {
    set_receive_timeout(socket_, 100);
    long n = receive_some(socket_, buffer);
    if (n > 0) all.append(buffer, static_cast<std::size_t>(n));
    if (n == 0) break;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
  }
  return all;
}

std::string HttpClient::read_until_count(const std::string& marker, std::size_t count,
                                         milliseconds timeout) {
  std::string all;
  auto deadline = Clock::now() + timeout;
  char buffer[8192];
  auto occurrences = [&] {
    std::size_t found = 0;
    for (std::size_t at = all.find(marker); at != std::string::npos;
         at = all.find(marker, at + marker.size())) {
      ++found;
    }
    return found;
  };
  while (Clock::now() < deadline && occurrences() < count) {
    set_receive_timeout(socket_, 50);
    long n = receive_some(socket_, buffer);
    if (n > 0) all.append(buffer, static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  return all;
}

bool HttpClient::closed_within(milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  char buffer[4096];
  while (Clock::now() < deadline) {
    set_receive_timeout(socket_, 50);
    long n = receive_some(socket_, buffer);
    if (n == 0) return true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return true;
  }
  return false;
}

void HttpClient::reset() {
  linger option{1, 0};
  setsockopt(static_cast<int>(socket_.native()), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  socket_.close();
}

std::string http_exchange(std::uint16_t port, const std::string& request, milliseconds timeout) {
  HttpClient client(port);
  client.send(request);
  return client.read_until_closed(timeout);
}

std::string body_of(const std::string& answer) {
  std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

FakeXplane::FakeXplane() {
  for (std::uint8_t last = 2; last < 100; ++last) {
    SocketResult bound = open_udp_socket_at(Ipv4Endpoint{{127, 0, 0, last}, 49000});
    if (bound.socket.valid()) {
      socket_ = std::move(bound.socket);
      host_ = "127.0.0." + std::to_string(last);
      return;
    }
  }
  std::abort();
}

std::optional<FakeXplane::Datagram> FakeXplane::receive(milliseconds timeout) {
  set_receive_timeout(socket_, static_cast<std::uint32_t>(timeout.count()));
  char buffer[65536];
  Ipv4Endpoint from;
  auto length = receive_datagram(socket_, buffer, &from);
  if (!length) return std::nullopt;
  return Datagram{std::string(buffer, *length), from, Clock::now()};
}

std::vector<FakeXplane::Datagram> FakeXplane::receive_many(std::size_t count,
                                                           milliseconds timeout) {
  std::vector<Datagram> all;
  auto deadline = Clock::now() + timeout;
  while (all.size() < count && Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (auto datagram = receive(std::max(left, milliseconds(1)))) all.push_back(*datagram);
  }
  return all;
}

void FakeXplane::send_to(const Ipv4Endpoint& to, const std::string& bytes) {
  send_datagram(socket_, to, std::span<const char>(bytes.data(), bytes.size()));
}

std::vector<std::string> FakeXplane::receive_cancellations(const Ipv4Endpoint& subscriber,
                                                           milliseconds timeout) {
  std::vector<std::string> cancellations;
  auto deadline = Clock::now() + timeout;
  while (cancellations.size() < 8 && Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    auto datagram = receive(std::max(left, milliseconds(1)));
    if (datagram && datagram->from == subscriber && datagram->bytes.size() > 5 &&
        datagram->bytes[5] == 0) {
      cancellations.push_back(datagram->bytes);
    }
  }
  return cancellations;
}

std::string rref_request(std::uint8_t row, std::uint8_t rate_hz) {
  static const char* const PATHS[] = {
      "sim/flightmodel/position/latitude",    "sim/flightmodel/position/longitude",
      "sim/flightmodel/position/elevation",   "sim/flightmodel/position/psi",
      "sim/flightmodel/position/groundspeed", "sim/flightmodel/position/indicated_airspeed",
      "sim/flightmodel/position/vh_ind_fpm",  "sim/flightmodel/position/y_agl",
  };
  std::string bytes("RREF\0", 5);
  bytes += std::string{static_cast<char>(rate_hz), 0, 0, 0, static_cast<char>(row), 0, 0, 0};
  bytes += PATHS[row];
  bytes.resize(413, '\0');
  return bytes;
}

std::vector<std::string> rref_cancellations() {
  std::vector<std::string> requests;
  for (std::uint8_t row = 0; row < 8; ++row)
    requests.push_back(rref_request(row, 0));
  return requests;
}

std::string rref_reply(const std::vector<std::pair<std::uint32_t, float>>& records) {
  std::string bytes("RREF,", 5);
  auto put = [&](std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
      bytes.push_back(static_cast<char>(value >> (8 * i)));
  };
  for (auto [index, value] : records) {
    put(index);
    put(std::bit_cast<std::uint32_t>(value));
  }
  return bytes;
}

}  // namespace e2e

namespace e2e {

void HttpClient::end_sending() {
  ::shutdown(static_cast<int>(socket_.native()), SHUT_WR);
}

}  // namespace e2e

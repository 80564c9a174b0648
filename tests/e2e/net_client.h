// Network peers for end-to-end tests: HTTP clients and a fake X-Plane.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace e2e {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A loopback TCP port that was free a moment ago.
std::uint16_t free_tcp_port();

// A client connection to the bridge's HTTP port.
class HttpClient {
 public:
  explicit HttpClient(std::uint16_t port);
  bool connected() const { return socket_.valid(); }
  bool send(const std::string& bytes);
  // Reads until the bridge closes the connection or `timeout` passes.
  std::string read_until_closed(milliseconds timeout);
  // Reads until the received bytes hold `count` occurrences of `marker`.
  std::string read_until_count(const std::string& marker, std::size_t count, milliseconds timeout);
  // True when the bridge has closed (or reset) the connection within `timeout`.
  bool closed_within(milliseconds timeout);
  // Half-closes: the bridge sees the end of the request stream.
  void end_sending();
  // Closes with a reset instead of an orderly close.
  void reset();
  const simrelay::Socket& socket() const { return socket_; }

 private:
  simrelay::Socket socket_;
};

// One whole exchange: sends `request`, returns everything until the close.
std::string http_exchange(std::uint16_t port, const std::string& request,
                          milliseconds timeout = milliseconds(5000));

// The body after the blank line of an answer.
std::string body_of(const std::string& answer);

// Stands in for X-Plane on UDP port 49000 of its own loopback address.
class FakeXplane {
 public:
  FakeXplane();  // Claims the first free address of 127.0.0.2 to 127.0.0.99.
  const std::string& host() const { return host_; }

  struct Datagram {
    std::string bytes;
    simrelay::Ipv4Endpoint from;
    Clock::time_point at;
  };
  // The next datagram, or nothing after `timeout`.
  std::optional<Datagram> receive(milliseconds timeout);
  // Collects `count` datagrams; fewer when the time runs out.
  std::vector<Datagram> receive_many(std::size_t count, milliseconds timeout);
  void send_to(const simrelay::Ipv4Endpoint& to, const std::string& bytes);
  // The requests with rate 0 that `subscriber` sends, up to eight, in the
  // order they came; other datagrams are passed over.
  std::vector<std::string> receive_cancellations(const simrelay::Ipv4Endpoint& subscriber,
                                                 milliseconds timeout);

 private:
  std::string host_;
  simrelay::Socket socket_;
};

// The bridge's subscription request for one row, built by hand.
std::string rref_request(std::uint8_t row, std::uint8_t rate_hz);
// The eight requests with rate 0 that cancel a subscription, in row order.
std::vector<std::string> rref_cancellations();

// A reply datagram: "RREF", one byte, then (index, value) records.
std::string rref_reply(const std::vector<std::pair<std::uint32_t, float>>& records);

}  // namespace e2e
